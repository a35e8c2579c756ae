#pragma once
// The linear Kramers-Kronig test (Schönleber, Klotz and Ivers-Tiffée,
// Electrochimica Acta 131 (2014) 20-27), with the real and imaginary fits of
// Boukamp (J. Electrochem. Soc. 142 (1995) 1885).
//
// A spectrum that obeys the Kramers-Kronig relations is described to within
// its noise by a series resistance and M Voigt elements R_k || C_k, whose
// time constants tau_k = R_k C_k are fixed in advance, log-spaced over the
// measured range, plus optionally a series inductance and capacitance:
//
//   Z_fit(w) = R_s + j w L + 1 / (j w C) + sum_k R_k / (1 + j w tau_k)
//
// With the time constants fixed the model is linear in R_s, L, 1/C and the
// R_k, so it is fitted by weighted linear least squares (weights 1/|Z|).
// The number M starts at 1 and grows until the fit begins to overfit, which
// shows as negative resistances: M is the smallest for which
//
//   mu = 1 - sum_{R_k < 0} |R_k| / sum_{R_k >= 0} |R_k|  <  c,
//
// passing over fits that are under-resolved rather than overfitted: those
// that a few more elements improve many times over (see poor_fit_factor).
//
// The residuals (Z - Z_fit) / |Z| at that M, small and without trend for a
// valid spectrum, are the test's verdict.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/complex.h"
#include "support/expected.h"

namespace kelvora::kk {

// Which parts of the spectrum the linear model is fitted to.
enum class KkTest {
  complex,    // real and imaginary parts together (Schönleber et al.)
  real,       // the real part; L and C from the imaginary part afterwards (Boukamp)
  imaginary,  // the imaginary part; R_s from the real part afterwards (Boukamp)
};

struct KkSettings {
  double c = 0.85;                // threshold of mu, 0 < c <= 1
  std::size_t max_m = 0;          // largest M tried, >= 1; 0: the number of points, at most half of kk_largest_m
  KkTest test = KkTest::complex;  // parts fitted
  bool add_capacitance = false;   // fit a series capacitance (blocking electrodes)
  bool add_inductance = true;     // fit a series inductance (cables, high-frequency tail)
  // Decades by which the range of time constants is widened beyond
  // [1 / w_max, 1 / w_min] at each end; 0 keeps the measured range.
  double extension_decades = 0.0;
  // A fit with mu < c is passed over as under-resolved while one of the next
  // M / 2 + 2 fits has a residual sum of squares smaller by more than this
  // factor (> 1; infinity turns the guard off).
  double poor_fit_factor = 10.0;
};

// A user error: bad settings or data the test cannot take.
struct KkError {
  std::string message;
};

struct KkResult {
  std::size_t m = 0;                         // Voigt elements in the accepted fit
  double mu = 1.0;                           // mu at that M
  double series_resistance = 0.0;            // R_s, ohm
  std::optional<double> inductance;          // L, henry, when fitted
  std::optional<double> capacitance;         // C, farad, when fitted (may be infinite when 1/C = 0)
  std::vector<double> resistances;           // R_k, ohm
  std::vector<double> time_constants;        // tau_k, seconds, ascending
  std::vector<double> frequencies;           // the measured frequencies, hertz, in the order given
  std::vector<kelvora::Complex> impedance;   // Z_fit at the measured frequencies
  std::vector<double> residuals_real;        // (Z' - Z_fit') / |Z|
  std::vector<double> residuals_imag;        // (Z'' - Z_fit'') / |Z|
  double pseudo_chi_square = 0.0;            // sum of both residuals squared
};

// "complex", "real" or "imaginary"; KkError naming the text otherwise.
Expected<KkTest, KkError> parse_kk_test(std::string_view name);
const char* kk_test_name(KkTest test);

// Checks the settings alone: c, max_m and the extension.
std::optional<KkError> check_kk_settings(const KkSettings& settings);

// The m time constants for the angular-frequency range [w_min, w_max]:
// tau_1 = 1 / w_max and tau_m = 1 / w_min (each widened by the extension),
// log-spaced in between; for m = 1 the single one is their geometric mean.
std::vector<double> kk_time_constants(double omega_min, double omega_max, std::size_t m, double extension_decades);

// The largest M whose fit the data determine: each fitted part gives one
// equation per distinct frequency (points repeated at one frequency add
// none), and the unknowns besides the R_k take their share.
std::size_t kk_largest_m(std::size_t frequencies, const KkSettings& settings);

// Runs the test.  frequencies in hertz (positive, finite, any order, at
// least three distinct ones, 2 pi f and its inverse within double precision)
// and impedances in ohms (finite, nonzero) of the same length.  The fit does
// not depend on the unit of the impedances: it is posed on them scaled
// exactly to magnitudes around 1, down to subnormal and up to the largest.
Expected<KkResult, KkError> lin_kk(std::span<const double> frequencies, std::span<const kelvora::Complex> impedances,
                                   const KkSettings& settings);

}  // namespace kelvora::kk
