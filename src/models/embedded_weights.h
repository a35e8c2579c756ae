#pragma once
// The weight blobs of the registry's networks, compiled into the module
// (the definition is generated at build time from src/models/<name>.eisnn).
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvora::models {

// Blob of registry entry `index`; empty when the build found no blob.
std::span<const std::uint8_t> embedded_weights(std::size_t index);

}  // namespace kelvora::models
