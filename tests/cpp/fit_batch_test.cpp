// FitBatch: slots in input order equal to one run_fit_method call each,
// whatever the thread count; slots without a spectrum; failures as values;
// chained starts; cancellation before and during the run.
#include <chrono>
#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "batch/fit_batch.h"
#include "circuit/evaluate.h"
#include "circuit/parser.h"
#include "circuit/tree.h"
#include "fit/fit_inputs.h"
#include "fit/fit_method.h"

#include "check.h"

using namespace kelvora;

#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

namespace {

struct Data {
  std::vector<double> f;
  std::vector<Complex> z;
};

const SeriesList& circuit() {
  static const SeriesList c = parse(std::string_view("R0-p(R1,C1)")).value();
  return c;
}

Data spectrum(double r1) {
  Data d;
  const std::vector<double> x{10.0, r1, 1e-5};
  const SeriesList truth = rebuild(circuit(), x);
  for (int i = 0; i < 30; ++i) {
    const double hz = std::pow(10.0, -1.0 + 6.0 * i / 29.0);
    Complex zi;
    series_impedance_with_params(truth, x, hz * 6.283185307179586, zi);
    d.f.push_back(hz);
    d.z.push_back(zi);
  }
  return d;
}

BatchJob job(std::string method, std::size_t threads, bool chain = false) {
  static const ParamConstraints constraints = default_constraints(circuit());
  BatchJob j;
  j.circuit = &circuit();
  j.constraints = &constraints;
  j.method = std::move(method);
  j.settings.nelder_mead_iterations = 200;
  j.threads = threads;
  j.chain = chain;
  return j;
}

void wait(FitBatch& batch) {
  while (!batch.wait_for(std::chrono::milliseconds(50))) {
  }
  batch.join();
}

void equal_to_one_fit_at_a_time() {
  std::vector<Data> data;
  for (int k = 0; k < 9; ++k) data.push_back(spectrum(20.0 + 10.0 * k));
  data[4].z.pop_back();  // lengths differ
  for (const char* method : {"levenberg_marquardt", "nelder_mead"}) {
    for (std::size_t threads : {1u, 3u}) {
      std::vector<BatchSpectrum> views;
      for (std::size_t k = 0; k < data.size(); ++k)
        views.push_back(k == 6 ? BatchSpectrum{} : BatchSpectrum{&data[k].f, &data[k].z});
      FitBatch batch(job(method, threads), views);
      CHECK(batch.done() == 1);  // the slot without a spectrum
      batch.start();
      wait(batch);
      CHECK(batch.done() == data.size());
      const auto& slots = batch.slots();
      CHECK(std::holds_alternative<std::monostate>(slots[6]));
      const auto* failure = std::get_if<FitFailure>(&slots[4]);
      CHECK(failure && std::get<FitError>(*failure).kind == FitError::Kind::LengthMismatch);
      for (std::size_t k = 0; k < data.size(); ++k) {
        if (k == 4 || k == 6) continue;
        const auto want = run_fit_method(method, FitInputs{circuit(), data[k].f, data[k].z, Weighting::Modulus,
                                                           job(method, 1).constraints},
                                         job(method, 1).settings);
        const auto* got = std::get_if<BatchFit>(&slots[k]);
        CHECK(got && want && got->outcome.params == want->params && got->outcome.cost == want->cost &&
              got->outcome.impedance_evals == want->impedance_evals && got->start_kind == BatchStart::Given);
      }
    }
  }
}

void chained_starts() {
  std::vector<Data> data;
  for (int k = 0; k < 5; ++k) data.push_back(spectrum(40.0 + k));
  data[2].f.clear();  // no points: fails, and the next starts from slot 1
  std::vector<BatchSpectrum> views;
  for (auto& d : data) views.push_back(BatchSpectrum{&d.f, &d.z});
  FitBatch batch(job("levenberg_marquardt", 4, true), views);
  batch.start();
  wait(batch);
  const auto& slots = batch.slots();
  const auto* first = std::get_if<BatchFit>(&slots[0]);
  CHECK(first && first->start_kind == BatchStart::Given && param_values(first->start) == param_values(circuit()));
  CHECK(std::holds_alternative<FitFailure>(slots[2]));
  for (std::size_t k : {1u, 3u, 4u}) {
    const auto* fit = std::get_if<BatchFit>(&slots[k]);
    const auto* before = std::get_if<BatchFit>(&slots[k == 3 ? 1 : k - 1]);
    CHECK(fit && before && fit->start_kind == BatchStart::Chained &&
          param_values(fit->start) == before->outcome.params);
  }
}

void cancellation() {
  const Data d = spectrum(50.0);
  std::vector<BatchSpectrum> views(40, BatchSpectrum{&d.f, &d.z});
  {
    FitBatch batch(job("levenberg_marquardt", 2), views);
    batch.cancel();
    batch.start();
    wait(batch);
    CHECK(batch.done() == 0);
  }
  // A search far too long to finish stops soon after cancel().
  BatchJob slow = job("particle_swarm", 2);
  slow.settings.num_particles = 400;
  slow.settings.generations = 100'000'000;
  slow.settings.seed = 1;
  FitBatch batch(slow, views);
  batch.start();
  CHECK(!batch.wait_for(std::chrono::milliseconds(100)));
  const auto asked = std::chrono::steady_clock::now();
  batch.cancel();
  wait(batch);
  CHECK(std::chrono::steady_clock::now() - asked < std::chrono::milliseconds(500));
  CHECK(batch.done() == 0 && std::holds_alternative<std::monostate>(batch.slots()[0]));
}

}  // namespace

int main() {
  equal_to_one_fit_at_a_time();
  chained_starts();
  cancellation();
  return test::finish();
}
