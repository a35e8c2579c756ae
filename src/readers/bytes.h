#pragma once
// Bounds-checked reads of fixed-size numbers from a byte buffer.  Callers
// check `fits` before reading.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kelvora::readers {

inline bool fits(std::string_view bytes, std::size_t offset, std::size_t size) {
  return offset <= bytes.size() && size <= bytes.size() - offset;
}

inline std::uint64_t load_le(std::string_view bytes, std::size_t offset, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i) v |= std::uint64_t{static_cast<unsigned char>(bytes[offset + i])} << (8 * i);
  return v;
}

inline std::uint64_t load_be(std::string_view bytes, std::size_t offset, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return v;
}

inline double as_double(std::uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline float as_float(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

}  // namespace kelvora::readers
