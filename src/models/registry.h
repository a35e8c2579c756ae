#pragma once
// The registry of trained initial-guess networks, one per common
// equivalent-circuit topology, and the cache of weight files read from disk.
//
// Each embedded network is decoded and validated at most once per process,
// on first use; concurrent first callers wait for the one decoding.  A
// failure is kept as text and never retried.  Weight files named by the user
// are cached by their path text for the life of the process.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/node.h"
#include "models/topology_match.h"
#include "nn/guesser.h"
#include "nn/nn_error.h"
#include "support/expected.h"

namespace kelvora::models {

inline constexpr std::size_t kModelCount = 11;

struct Model {
  std::string_view name;     // "rc"
  std::string_view circuit;  // "R0-(R1,C1)"
  std::size_t index;         // position in MODELS

  std::span<const std::uint8_t> weights() const;
  // The decoded network, or the text of the error that stopped it loading
  // (decoding, or a network that disagrees with the registry entry).
  Expected<const nn::Guesser*, std::string> guesser() const;
};

inline constexpr std::array<Model, kModelCount> MODELS{{
    {"rc", "R0-(R1,C1)", 0},
    {"rc_l", "L0-R0-(R1,C1)", 1},
    {"rq", "R0-(R1,CPE1)", 2},
    {"rq_l", "L0-R0-(R1,CPE1)", 3},
    {"two_rc", "R0-(R1,C1)-(R2,C2)", 4},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)", 5},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)", 6},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)", 7},
    {"randles", "R0-(R1-W1,CPE1)", 8},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)", 9},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)", 10},
}};

// The eleven names in registry order.
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

  // The cached network for this exact path text, reading and decoding the
  // file on first use.  Failures are not cached.  The pointer stays valid
  // for the life of the process.
  Expected<const nn::Guesser*, nn::NnError> load(const std::string& path);

 private:
  explicit ExternalCacheLock(std::unique_lock<std::mutex> lock);
  std::unique_lock<std::mutex> lock_;
  int exceptions_on_entry_;
};

// Lock, load, unlock.  Error: the poisoned-cache text or the NnError text.
Expected<const nn::Guesser*, std::string> load_external(const std::string& path);

}  // namespace kelvora::models
