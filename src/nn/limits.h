#pragma once
// Size limits of a loadable network.  The format itself bounds every tensor
// by the bytes of the blob, but the grid length and channel count are plain
// metadata numbers that size the activations; these caps keep a corrupt file
// from asking for an unbounded allocation.  The shipped networks use 64 grid
// points and at most 64 channels.
#include <cstddef>

namespace kelvora::nn {

inline constexpr std::size_t kMaxGridPoints = 1 << 16;
inline constexpr std::size_t kMaxChannels = 1 << 12;
// channels * grid points, the size of one activation map.
inline constexpr std::size_t kMaxActivations = 1 << 22;

}  // namespace kelvora::nn
