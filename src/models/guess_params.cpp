#include "models/guess_params.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "circuit/parser.h"
#include "circuit/evaluate.h"
#include "circuit/tree.h"
#include "models/registry.h"
#include "support/quote.h"

namespace kelvora {

namespace {

using models::Match;

std::string unparsable(std::string payload) { return nn::NnError::unparsable(std::move(payload)).message(); }

struct Chosen {
  const nn::Guesser* guesser;
  Match match;
};

Expected<Chosen, std::string> choose_external(const SeriesList& nodes, const std::string& path) {
  // The cache stays locked until the network's circuit has been matched.
  auto lock = models::ExternalCacheLock::acquire();
  if (!lock) return unexpected(lock.error());
  auto loaded = lock->load(path);
  if (!loaded) return unexpected(loaded.error().message());
  const nn::Guesser* g = *loaded;
  auto network = parse(g->circuit);
  if (!network) return unexpected(unparsable("circuit " + quoted(g->circuit) + " in " + path));
  auto match = models::match_or_expand(*network, nodes);
  if (!match) {
    return unexpected(unparsable(path + " was trained for " + quoted(g->circuit) + ", which is a different circuit"));
  }
  // A file whose circuit and parameter list disagree cannot be mapped.
  if (param_count(*network) != g->param_names.size()) return unexpected(unparsable("param_names"));
  return Chosen{g, std::move(*match)};
}

Expected<Chosen, std::string> choose_registered(const SeriesList& nodes) {
  auto hit = models::find_for_topology(nodes);
  if (!hit) {
    return unexpected("No training data on this circuit. Machine-learning based initial parameters available for " +
                      models::quoted_names());
  }
  auto g = models::MODELS[hit->model].guesser();
  if (!g) return unexpected(unparsable(g.error()));
  return Chosen{*g, std::move(hit->match)};
}

// K and Zarc values back from the parallel pairs the network estimated:
//   K:    (R, C)    -> r = R, tau_k = R C
//   Zarc: (R, Q, a) -> r = R, tau_k = (R Q)^(1/a), gamma = a   (a floored at 1e-6)
std::vector<double> contract(const SeriesList& nodes, const std::vector<double>& out) {
  std::vector<double> values;
  values.reserve(param_count(nodes));
  std::size_t pos = 0;
  for (const LeafRef& leaf : collect_leaves(nodes)) {
    switch (leaf.element->kind) {
      case Kind::K: {
        const double r = out[pos], c = out[pos + 1];
        values.push_back(r);
        values.push_back(r * c);
        pos += 2;
        break;
      }
      case Kind::Zarc: {
        const double r = out[pos], q = out[pos + 1], alpha = out[pos + 2];
        const double a = std::isnan(alpha) ? 1e-6 : std::max(alpha, 1e-6);
        values.push_back(r);
        values.push_back(std::pow(r * q, 1.0 / a));
        values.push_back(alpha);
        pos += 3;
        break;
      }
      default:
        for (std::size_t j = 0; j < leaf.element->count(); ++j) values.push_back(out[pos + j]);
        pos += leaf.element->count();
        break;
    }
  }
  return values;
}

}  // namespace

Expected<std::vector<double>, std::string> guess_params(const SeriesList& nodes, const std::vector<double>& freqs,
                                                        const std::vector<Complex>& z,
                                                        const std::optional<std::string>& weights_path) {
  auto chosen = weights_path ? choose_external(nodes, *weights_path) : choose_registered(nodes);
  if (!chosen) return unexpected(chosen.error());
  const nn::Guesser& g = *chosen->guesser;
  const Match& match = chosen->match;

  if (freqs.size() < 2 || z.size() < 2) {
    return unexpected(nn::NnError::too_few_points(std::min(freqs.size(), z.size())).message());
  }
  auto values = g.predict(freqs, z);
  if (!values) return unexpected(values.error().message());

  std::vector<double> out(match.index.size());
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (match.index[k] >= values->size()) return unexpected(unparsable("param_names"));
    out[k] = (*values)[match.index[k]];
  }
  if (!match.expanded) return out;
  return contract(nodes, out);
}

Expected<SeriesList, GuessFailure> guessed_start(const SeriesList& nodes, const ParamConstraints& constraints,
                                                 const std::vector<double>& freqs, const std::vector<Complex>& z,
                                                 const std::optional<std::string>& weights_path) {
  // A point with a frequency that is not a positive finite number, or an
  // impedance that is not finite or is zero, makes every guessed value NaN
  // (guess() itself hands the values back as they are).  A fit started there
  // ends clamped to the bounds, possibly reported as a success, so the start
  // is guessed from the points the network can read when at least two are
  // left.
  const auto readable_point = [](double f, Complex c) {
    return std::isfinite(f) && f > 0.0 && std::isfinite(c.re) && std::isfinite(c.im) && (c.re != 0.0 || c.im != 0.0);
  };
  const bool sizes_match = freqs.size() == z.size();
  std::size_t good = 0;
  if (sizes_match)
    for (std::size_t i = 0; i < freqs.size(); ++i) good += readable_point(freqs[i], z[i]) ? 1 : 0;
  const bool readable = sizes_match && good == freqs.size();
  const bool use_kept = sizes_match && !readable && good >= 2;
  // Only a spectrum with unreadable points is copied.
  std::vector<double> kept_f;
  std::vector<Complex> kept_z;
  if (use_kept) {
    kept_f.reserve(good);
    kept_z.reserve(good);
    for (std::size_t i = 0; i < freqs.size(); ++i) {
      if (!readable_point(freqs[i], z[i])) continue;
      kept_f.push_back(freqs[i]);
      kept_z.push_back(z[i]);
    }
  }
  auto values = use_kept ? guess_params(nodes, kept_f, kept_z, weights_path) : guess_params(nodes, freqs, z, weights_path);
  if (!values) return unexpected(GuessFailure{std::move(values.error())});
  // Readable points give a finite guess from any sound network.  A value
  // that is no number then comes from damaged weights, and a fit started
  // there would end at meaningless values reported as a success, so it does
  // not start.
  const auto finite = [](double v) { return std::isfinite(v); };
  if ((readable || use_kept) && !std::all_of(values->begin(), values->end(), finite)) {
    return unexpected(GuessFailure{std::string("the network ") +
                                   (weights_path ? "of " + *weights_path + " " : std::string()) +
                                   "guessed values that are not finite numbers from a spectrum it can read; its "
                                   "weights are damaged"});
  }
  if (values->size() < param_count(nodes)) return unexpected(GuessFailure{InternalError{kNotEnoughValues}});
  // The network proposes the free parameters; fixed ones keep their values,
  // and so does every parameter the network could not guess from a spectrum
  // with fewer than two readable points.
  const auto own = param_values(nodes);
  for (std::size_t i = 0; i < own.size(); ++i) {
    const bool fixed = i < constraints.fixed.size() && constraints.fixed[i];
    if (fixed || !std::isfinite((*values)[i])) (*values)[i] = own[i];
  }
  return rebuild(nodes, *values);
}

}  // namespace kelvora
