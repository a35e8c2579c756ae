#include "models/registry.h"

#include "circuit/parser.h"
#include "circuit/tree.h"
#include "models/embedded_weights.h"
#include "support/quote.h"

namespace kelvora::models {

namespace {

// One load result per model, filled exactly once.
struct Slot {
  std::once_flag once;
  std::optional<nn::Guesser> guesser;
  std::string error;
};

Slot& slot(std::size_t index) {
  // Never destroyed: the networks live until the process ends, so no thread
  // can outlive them during interpreter shutdown.
  static Slot* const slots = new Slot[kModelCount];
  return slots[index];
}

std::string unparsable(std::string payload) { return nn::NnError::unparsable(std::move(payload)).message(); }

// Decodes the blob and checks that it is the network this entry promises.
void load(const Model& model, Slot& s) {
  auto decoded = nn::Guesser::from_bytes(model.weights());
  if (!decoded) {
    s.error = decoded.error().message();
    return;
  }
  nn::Guesser& g = *decoded;
  if (g.circuit != model.circuit) {
    s.error = unparsable("model " + quoted(model.name) + " is registered as " + quoted(model.circuit) +
                         " but its weights were trained for " + quoted(g.circuit));
    return;
  }
  auto nodes = parse(model.circuit);
  if (!nodes) {
    s.error = unparsable("registry circuit " + quoted(model.circuit));
    return;
  }
  const auto expected = param_names(*nodes);
  if (expected != g.param_names) {
    s.error = unparsable("model " + quoted(model.name) + " has parameters " + quoted_list(g.param_names) +
                         ", expected " + quoted_list(expected));
    return;
  }
  s.guesser = std::move(g);
}

}  // namespace

std::span<const std::uint8_t> Model::weights() const { return embedded_weights(index); }

Expected<const nn::Guesser*, std::string> Model::guesser() const {
  Slot& s = slot(index);
  // Concurrent first callers block here until the one load has finished.
  std::call_once(s.once, [&] { load(*this, s); });
  if (s.guesser) return &*s.guesser;
  return unexpected(s.error);
}

std::vector<std::string> names() {
  std::vector<std::string> out;
  for (const Model& m : MODELS) out.emplace_back(m.name);
  return out;
}

std::string quoted_names() {
  std::string out;
  for (const Model& m : MODELS) {
    if (!out.empty()) out += ", ";
    out += '\'';
    out += m.name;
    out += '\'';
  }
  return out;
}

std::optional<TopologyHit> find_for_topology(const SeriesList& user) {
  for (const Model& m : MODELS) {
    auto nodes = parse(m.circuit);
    if (!nodes) continue;
    if (auto match = match_or_expand(*nodes, user)) return TopologyHit{std::move(*match), m.index};
  }
  return std::nullopt;
}

}  // namespace kelvora::models
