#include "nn/reader.h"

#include "support/quote.h"

namespace kelvora::nn {

Expected<std::span<const std::uint8_t>, NnError> Reader::bytes(std::size_t n) {
  if (n > remaining()) return unexpected(NnError::truncated(n));
  auto out = bytes_.subspan(pos_, n);
  pos_ += n;
  return out;
}

Expected<std::uint8_t, NnError> Reader::u8() {
  if (remaining() < 1) return unexpected(NnError::truncated(1));
  return bytes_[pos_++];
}

Expected<std::uint32_t, NnError> Reader::u32() {
  if (remaining() < 4) return unexpected(NnError::truncated(4));
  const std::uint8_t* p = bytes_.data() + pos_;
  pos_ += 4;
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

Expected<std::string, NnError> Reader::string() {
  auto len = u32();
  if (!len) return unexpected(len.error());
  auto raw = bytes(*len);
  if (!raw) return unexpected(raw.error());
  std::string text(reinterpret_cast<const char*>(raw->data()), raw->size());
  // Invalid text is reported like a short read: the record cannot be trusted.
  if (!is_valid_utf8(text)) return unexpected(NnError::truncated(*len));
  return text;
}

}  // namespace kelvora::nn
