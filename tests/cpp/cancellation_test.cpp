// Cooperative cancellation (Ctrl-C): how often the residual evaluations of a
// fit ask the poll, and that a stop unwinds from the evaluation that hears it.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/parser.h"
#include "circuit/tree.h"
#include "fit/cancellation.h"
#include "fit/evaluation_counter.h"
#include "fit/residuals.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

namespace {

const std::vector<double> kValues = {1.0, 2.0, 1e-3};

// R0-(R1,C1) against a spectrum of n points.
ResidualModel model_of(std::size_t n) {
  const SeriesList circuit = rebuild(parse(std::string_view("R0-(R1,C1)")).value(), kValues);
  std::vector<double> omega(n);
  for (std::size_t i = 0; i < n; ++i) omega[i] = 1.0 + static_cast<double>(i);
  return ResidualModel(circuit, omega, std::vector<Complex>(n, Complex{1.0, 0.0}), std::vector<double>(n, 1.0));
}

// Whether one evaluation threw FitCancelled.
bool hears_stop(const ResidualModel& model) {
  std::vector<double> r(model.residual_count());
  EvaluationCounter counter{0};
  try {
    (void)model.evaluate(kValues, r, counter);
  } catch (const FitCancelled&) {
    return true;
  }
  return false;
}

// A short spectrum evaluates in microseconds, less than reading the clock
// costs: the poll is asked on every 16th evaluation only.
void short_spectra_ask_every_sixteenth_evaluation() {
  int polls = 0;
  Cancellation cancellation([&] { return ++polls, false; }, std::chrono::milliseconds(0));
  CancellationScope scope(cancellation);
  const ResidualModel model = model_of(20);
  for (int i = 0; i < 15; ++i) CHECK(!hears_stop(model));
  CHECK(polls == 0);
  CHECK(!hears_stop(model));
  CHECK(polls == 1);
}

// One evaluation of a long spectrum takes tens of milliseconds; sixteen of
// them before the clock is read kept a Ctrl-C waiting for a second or more.
// The clock is read as soon as the evaluations since the last reading add
// up to a few milliseconds of work.
void a_long_spectrum_asks_at_its_first_evaluation() {
  int polls = 0;
  Cancellation cancellation([&] { return ++polls, true; }, std::chrono::milliseconds(0));
  CancellationScope scope(cancellation);
  const ResidualModel model = model_of(200000);
  CHECK(hears_stop(model));
  CHECK(polls == 1);
  CHECK(cancellation.cancelled());
  CHECK(hears_stop(model));  // and every later evaluation stops at once
  CHECK(polls == 1);
}

// Work adds up across evaluations: a spectrum of a few thousand points asks
// within a few evaluations, not sixteen.
void medium_spectra_ask_once_their_work_adds_up() {
  int polls = 0;
  Cancellation cancellation([&] { return ++polls, false; }, std::chrono::milliseconds(0));
  CancellationScope scope(cancellation);
  const ResidualModel model = model_of(3000);
  int evaluations = 0;
  while (polls == 0 && evaluations < 16) {
    hears_stop(model);
    ++evaluations;
  }
  CHECK(polls == 1);
  CHECK(evaluations < 16);
}

// Without an installed cancellation nothing polls or throws.
void no_cancellation_installed() { CHECK(!hears_stop(model_of(200000))); }

}  // namespace

int main() {
  short_spectra_ask_every_sixteenth_evaluation();
  a_long_spectrum_asks_at_its_first_evaluation();
  medium_spectra_ask_once_their_work_adds_up();
  no_cancellation_installed();
  return test::finish();
}
