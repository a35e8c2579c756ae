#include "fit/search/simulated_annealing.h"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "fit/random/range.h"
#include "fit/random/seed.h"
#include "support/number_format.h"

namespace kelvora {

std::optional<FitError> SimulatedAnnealingOptions::validate() const {
  const double t0 = initial_temperature;
  if (t0 <= 0.0) return search_error("Invalid parameter: \"`SimulatedAnnealing`: Initial temperature must be > 0.\"");
  if (!std::isfinite(2.0 * t0))
    return search_error("sa_initial_temperature must be a finite number > 0 whose double is finite, got " +
                        format_element_number(t0));
  return std::nullopt;
}

SearchExpected simulated_annealing_search(const SearchCost& cost, std::vector<double> z0, double initial_temperature,
                                          std::uint64_t iterations, ChaCha12& moves, ChaCha12& acceptance) {
  const std::size_t n = z0.size();
  const double t0 = initial_temperature;
  double temperature = t0;
  std::uint64_t k = 0;  // temperature steps taken

  std::vector<double> current = std::move(z0);
  double current_cost = cost(current);

  SearchResult result;
  result.ending = FitEnding::AnnealingStepsDone;
  BestPoint best;
  auto record_best = [&] { best.offer(current, current_cost); };
  record_best();

  std::vector<double> candidate(n);
  while (result.iterations < iterations) {
    // Exactly one move draw per coordinate, uniform shift in [-T, T).
    for (std::size_t i = 0; i < n; ++i) {
      const double u = unit_from_bits52(moves.next_u64());
      candidate[i] = current[i] + (2.0 * temperature * u - temperature);
    }
    const double candidate_cost = cost(candidate);
    // Drawn on every step, needed or not, so the stream stays in step.
    const double p = unit_from_bits53(acceptance.next_u64());
    const bool accept =
        candidate_cost < current_cost || 1.0 / (1.0 + std::exp((candidate_cost - current_cost) / temperature)) > p;
    ++k;
    temperature = t0 / static_cast<double>(k + 1);
    if (accept) {
      current.swap(candidate);
      current_cost = candidate_cost;
    }
    record_best();
    ++result.iterations;
  }

  return best.finish(std::move(result), "simulated annealing");
}

FitExpected simulated_annealing_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                    std::span<const Complex> impedances, Weighting weighting,
                                    const SimulatedAnnealingOptions& options,
                                    const ParamConstraints* constraints) {
  return run_search(
      FitInputs{circuit, frequencies, impedances, weighting, constraints}, options.validate(), [&](SearchProblem& problem) {
        // Without a seed the move generator is keyed first, then the acceptance one.
        ChaCha12 moves = make_chacha12(options.seed);
        ChaCha12 acceptance =
            make_chacha12(options.seed ? std::optional<std::uint64_t>(*options.seed + 1) : std::nullopt);
        const SearchCost cost = problem.cost_function();
        return simulated_annealing_search(cost, problem.start_z(), options.initial_temperature, options.iterations,
                                          moves, acceptance);
      });
}

FitExpected run_simulated_annealing(const FitInputs& in, const FitSettings& s) {
  return simulated_annealing_fit(in.circuit, in.frequencies, in.impedances, in.weighting,
                                 SimulatedAnnealingOptions{s.sa_initial_temperature, s.sa_iterations, s.seed}, in.constraints);
}

}  // namespace kelvora
