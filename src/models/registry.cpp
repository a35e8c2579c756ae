#include "models/registry.h"

#include "models/embedded_weights.h"

namespace kelvora::models {

std::span<const std::uint8_t> Model::weights() const { return embedded_weights(index); }

Expected<const nn::Guesser*, std::string> Model::guesser() const {
  return unexpected(std::string("model loading is not built yet"));
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

std::optional<TopologyHit> find_for_topology(const SeriesList&) { return std::nullopt; }

Expected<const nn::Guesser*, std::string> load_external(const std::string&) {
  return unexpected(std::string("weight files are not supported yet"));
}

}  // namespace kelvora::models
