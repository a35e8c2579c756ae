#include "fit/search/nelder_mead.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace kelvora {

namespace {

constexpr double kAlpha = 1.0;  // reflection
constexpr double kGamma = 2.0;  // expansion
constexpr double kRho = 0.5;    // contraction
constexpr double kSigma = 0.5;  // shrink
constexpr double kSpreadTolerance = 2.220446049250313e-16;  // 2^-52

struct Vertex {
  std::vector<double> z;
  double cost;
};

// a + k * (b - a), coordinate by coordinate.
std::vector<double> toward(const std::vector<double>& a, const std::vector<double>& b, double k) {
  std::vector<double> out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] + k * (b[i] - a[i]);
  return out;
}

void sort_simplex(std::vector<Vertex>& simplex) {
  std::stable_sort(simplex.begin(), simplex.end(),
                   [](const Vertex& a, const Vertex& b) { return cost_less(a.cost, b.cost); });
}

// Sample standard deviation of the vertex costs (m - 1 in the denominator).
double cost_spread(const std::vector<Vertex>& simplex) {
  const double m = static_cast<double>(simplex.size());
  double mean = 0.0;
  for (const auto& v : simplex) mean += v.cost;
  mean /= m;
  double ss = 0.0;
  for (const auto& v : simplex) ss += (v.cost - mean) * (v.cost - mean);
  return std::sqrt(ss / (m - 1.0));
}

}  // namespace

SearchExpected nelder_mead_search(const SearchCost& cost, std::vector<double> z0, std::uint64_t max_iterations) {
  const std::size_t n = z0.size();
  if (n == 0) return unexpected(search_error("nelder-mead needs at least one coordinate"));
  // No target cost is set: the search never stops on reaching one.
  constexpr double kTargetCost = -std::numeric_limits<double>::infinity();

  std::vector<Vertex> simplex;
  simplex.reserve(n + 1);
  simplex.push_back({z0, 0.0});
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> v = z0;
    const double a = std::fabs(z0[i]);
    v[i] += a > 1e-8 ? 0.1 * a : 0.1;
    simplex.push_back({std::move(v), 0.0});
  }
  for (auto& v : simplex) v.cost = cost(v.z);
  sort_simplex(simplex);

  SearchResult result;
  BestPoint best;
  auto record_best = [&] { best.offer(simplex[0].z, simplex[0].cost); };
  record_best();

  while (true) {
    // A NaN spread (a NaN or infinite cost among the vertices) never stops.
    if (cost_spread(simplex) < kSpreadTolerance) {
      result.ending = FitEnding::SimplexConverged;
      break;
    }
    if (result.iterations >= max_iterations) {
      result.ending = FitEnding::SimplexStepLimit;
      break;
    }
    if (simplex[0].cost <= kTargetCost) {
      result.ending = FitEnding::SimplexConverged;
      break;
    }

    const double c0 = simplex[0].cost;
    const double c_second_worst = simplex[n - 1].cost;  // n >= 1
    const double c_worst = simplex[n].cost;
    const std::vector<double>& worst = simplex[n].z;

    // Centroid of all vertices but the worst: their sum times 1/n.
    std::vector<double> centroid(n, 0.0);
    for (std::size_t j = 0; j < n; ++j)
      for (std::size_t i = 0; i < n; ++i) centroid[i] += simplex[j].z[i];
    const double inv_n = 1.0 / static_cast<double>(n);
    for (double& c : centroid) c *= inv_n;

    // x_r = centroid + alpha * (centroid - worst)
    std::vector<double> reflected(n);
    for (std::size_t i = 0; i < n; ++i) reflected[i] = centroid[i] + kAlpha * (centroid[i] - worst[i]);
    const double cr = cost(reflected);

    bool shrink = false;
    if (cr < c_second_worst && cr >= c0) {
      simplex[n] = {std::move(reflected), cr};
    } else if (cr < c0) {
      std::vector<double> expanded = toward(centroid, reflected, kGamma);
      const double ce = cost(expanded);
      if (ce < cr)
        simplex[n] = {std::move(expanded), ce};
      else
        simplex[n] = {std::move(reflected), cr};
    } else if (cr >= c_second_worst) {
      if (cr < c_worst) {
        std::vector<double> contracted = toward(centroid, reflected, kRho);
        const double cc = cost(contracted);
        if (cc <= cr)
          simplex[n] = {std::move(contracted), cc};
        else
          shrink = true;
      } else {
        std::vector<double> contracted = toward(centroid, worst, kRho);
        const double cc = cost(contracted);
        if (cc < c_worst)
          simplex[n] = {std::move(contracted), cc};
        else
          shrink = true;
      }
    } else {
      // Only a NaN among the compared costs (the reflected point's, or a
      // vertex's after a shrink) leaves every test false.
      return unexpected(
          search_error("nelder-mead step reached an unexpected state: a NaN cost left no simplex move to take"));
    }
    if (shrink) {
      for (std::size_t j = 1; j <= n; ++j) {
        simplex[j].z = toward(simplex[0].z, simplex[j].z, kSigma);
        simplex[j].cost = cost(simplex[j].z);
      }
    }
    sort_simplex(simplex);
    record_best();
    ++result.iterations;
  }

  return best.finish(std::move(result), "nelder-mead");
}

FitExpected nelder_mead_fit(const SeriesList& circuit, std::span<const double> frequencies,
                            std::span<const Complex> impedances, Weighting weighting,
                            const NelderMeadOptions& options,
                            const ParamConstraints* constraints) {
  return run_search(FitInputs{circuit, frequencies, impedances, weighting, constraints}, options.validate(),
                    [&](SearchProblem& problem) {
                      const SearchCost cost = problem.cost_function();
                      return nelder_mead_search(cost, problem.start_z(), options.iterations);
                    });
}

FitExpected run_nelder_mead(const FitInputs& in, const FitSettings& s) {
  return nelder_mead_fit(in.circuit, in.frequencies, in.impedances, in.weighting,
                         NelderMeadOptions{s.nelder_mead_iterations}, in.constraints);
}

}  // namespace kelvora
