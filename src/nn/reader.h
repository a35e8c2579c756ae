#pragma once
// A bounds-checked cursor over the bytes of a weight file.  Every read fails
// with NnError::Truncated when fewer bytes remain than it needs, so nothing
// is ever read past the end and no size taken from the file is trusted
// before it has been compared with what remains.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "nn/nn_error.h"
#include "support/expected.h"

namespace kelvora::nn {

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes, std::size_t pos = 0) : bytes_(bytes), pos_(pos) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }

  Expected<std::uint8_t, NnError> u8();
  // Unsigned 32-bit little-endian.
  Expected<std::uint32_t, NnError> u32();
  // u32 byte length, then that many bytes of UTF-8; invalid UTF-8 also counts as Truncated.
  Expected<std::string, NnError> string();
  // The next n bytes, without copying.
  Expected<std::span<const std::uint8_t>, NnError> bytes(std::size_t n);

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_;
};

}  // namespace kelvora::nn
