#include "fit/fit_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "circuit/tree.h"
#include "support/number_format.h"

namespace kelvora {
namespace {

// Six significant digits, for the summary's columns.
std::string six(double x) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6g", x);
  return buffer;
}

}  // namespace

FitStatistics fit_statistics(const FitOutcome& outcome, const ParamConstraints& constraints) {
  FitStatistics s;
  s.observations = outcome.residuals.size();
  s.free_params = constraints.size() == outcome.params.size() ? constraints.free_count() : outcome.params.size();
  s.dof = static_cast<std::int64_t>(s.observations) - static_cast<std::int64_t>(s.free_params);
  const double n = static_cast<double>(s.observations);
  const double k = static_cast<double>(s.free_params);
  s.reduced_chi_square = s.dof > 0 ? outcome.chi_square / static_cast<double>(s.dof) : std::nan("");
  const double fit_term = n * std::log(outcome.chi_square / n);
  s.aic = fit_term + 2.0 * k;
  s.bic = fit_term + k * std::log(n);
  return s;
}

std::vector<double> correlation(const std::vector<double>& covariance, std::size_t p) {
  std::vector<double> r(p * p, 0.0);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      const double vi = covariance[i * p + i];
      const double vj = covariance[j * p + j];
      if (vi == 0.0 || vj == 0.0) continue;
      r[i * p + j] = i == j ? 1.0 : covariance[i * p + j] / std::sqrt(vi * vj);
    }
  return r;
}

std::string fit_summary(const FitOutcome& outcome, const ParamConstraints& constraints, std::string_view method,
                        std::span<const double> start) {
  const FitStatistics s = fit_statistics(outcome, constraints);
  const auto units = param_units(outcome.circuit);
  const std::size_t p = outcome.params.size();
  // Appended piece by piece (chains of operator+ trip a false -Wrestrict of GCC 12).
  std::string out;
  for (std::string_view piece :
       {std::string_view("Fit by "), method, std::string_view(outcome.success ? " (success): " : " (no success): "),
        fit_ending_info(outcome.ending).message, std::string_view("\n")})
    out += piece;
  const std::string numbers[] = {format_scientific6(outcome.chi_square), format_scientific6(s.reduced_chi_square),
                                 std::to_string(s.dof), six(s.aic), six(s.bic)};
  const char* labels[] = {"chi_square = ", ", reduced_chi_square = ", ", dof = ", ", aic = ", ", bic = "};
  for (std::size_t i = 0; i < 5; ++i) {
    out += labels[i];
    out += numbers[i];
  }
  out += '\n';

  std::vector<std::vector<std::string>> rows;
  rows.push_back({"parameter", "value", "±", "stderr", "rel. error", "unit", ""});
  for (std::size_t i = 0; i < p; ++i) {
    const double value = outcome.params[i];
    const bool fixed = i < constraints.fixed.size() && constraints.fixed[i];
    std::string mark;
    if (fixed) {
      mark = "fixed";
    } else if (i < constraints.bounds.size() &&
               (value == constraints.bounds[i].first || value == constraints.bounds[i].second)) {
      mark = "at bound";
    } else if (i < start.size() && i < constraints.bounds.size() && std::isinf(constraints.bounds[i].second)) {
      const double ratio = value / std::fmax(std::fabs(start[i]), 1e-300);
      const bool undetermined = !outcome.standard_errors || i >= outcome.standard_errors->size() ||
                                !((*outcome.standard_errors)[i] <= std::fabs(value));
      if (std::isfinite(ratio) && (ratio > 1e6 || ratio < 1e-6) && undetermined) mark = "diverged";
    }
    std::string error = "-", relative = "-";
    if (outcome.standard_errors && i < outcome.standard_errors->size()) {
      const double e = (*outcome.standard_errors)[i];
      error = six(e);
      if (value != 0.0) {
        relative = six(100.0 * e / std::fabs(value));
        relative += " %";
      }
    }
    std::string unit;
    if (i < units.size()) {
      unit = "[";
      unit += units[i];
      unit += "]";
    }
    rows.push_back({i < outcome.names.size() ? outcome.names[i] : std::to_string(i), six(value), "±", error,
                    relative, unit, mark});
  }
  std::vector<std::size_t> width(rows[0].size(), 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) {
      // "±" is two bytes and one column wide.
      const std::size_t shown = row[c] == "±" ? 1 : row[c].size();
      width[c] = std::max(width[c], shown);
    }
  for (const auto& row : rows) {
    std::string line = " ";
    for (std::size_t c = 0; c < row.size(); ++c) {
      const std::size_t shown = row[c] == "±" ? 1 : row[c].size();
      line += ' ';
      line += row[c];
      line.append(width[c] - shown, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
  }
  out.pop_back();
  return out;
}

}  // namespace kelvora
