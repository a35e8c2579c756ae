#pragma once
// The registry of trained initial-guess networks, one per common
// equivalent-circuit topology, and the cache of weight files read from disk.
//
// Each embedded network is decoded and validated at most once per process,
// on first use; concurrent first callers wait for the one decoding.  A
// failure is kept as text and never retried.  Weight files named by the user
// are cached by their absolute path for the life of the process.
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/model_names.h"
#include "circuit/node.h"
#include "models/topology_match.h"
#include "nn/guesser.h"
#include "nn/nn_error.h"
#include "support/expected.h"

namespace kelvora::models {

inline constexpr std::size_t kModelCount = std::size(kModelNames);

struct Model {
  std::string_view name;     // "rc"
  std::string_view circuit;  // "R0-(R1,C1)"
  std::size_t index;         // position in MODELS

  std::span<const std::uint8_t> weights() const;
  // The decoded network, or the text of the error that stopped it loading
  // (decoding, or a network that disagrees with the registry entry).
  Expected<const nn::Guesser*, std::string> guesser() const;
};

// The model table (models.def) with each entry's position.
inline constexpr std::array<Model, kModelCount> MODELS = [] {
  std::array<Model, kModelCount> out{};
  for (std::size_t i = 0; i < kModelCount; ++i) out[i] = {kModelNames[i].name, kModelNames[i].expression, i};
  return out;
}();

// The model names in registry order.
std::vector<std::string> names();
// "'rc', 'rc_l', ..., 'sei_randles_wo'"
std::string quoted_names();

struct TopologyHit {
  Match match;
  std::size_t model;  // index into MODELS
};
// The first registry model whose circuit matches `user` (directly or after
// K/Zarc expansion).
std::optional<TopologyHit> find_for_topology(const SeriesList& user);

// The external weight-file cache, locked for the lifetime of this object.
// The guess pipeline keeps it until it has matched the network's circuit.
class ExternalCacheLock {
 public:
  // Fails with "weights cache poisoned" when an earlier holder left by an
  // exception (the cache may then be half-updated).
  static Expected<ExternalCacheLock, std::string> acquire();
  ExternalCacheLock(ExternalCacheLock&&) noexcept;
  ExternalCacheLock& operator=(ExternalCacheLock&&) = delete;
  ~ExternalCacheLock();

  // The cached network for this file, reading and decoding it on first use;
  // a stored network is never reloaded, even if the file changes, and lives
  // as long as the process.  Failures are not cached.
  Expected<const nn::Guesser*, nn::NnError> load(const std::string& path);

 private:
  explicit ExternalCacheLock(std::unique_lock<std::mutex> lock);
  std::unique_lock<std::mutex> lock_;
  int exceptions_on_entry_;
};

// Lock, load, unlock.  Error: the poisoned-cache text or the NnError text.
Expected<const nn::Guesser*, std::string> load_external(const std::string& path);

}  // namespace kelvora::models
