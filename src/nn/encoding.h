#pragma once
// Tensor data encodings of the weight format.
//
//   0: IEEE 754 binary32, little-endian, 4 bytes per value
//   1: IEEE 754 binary16, little-endian, 2 bytes per value
//   2: a binary32 scale s, then one signed byte q per value; value = s * q
//
// All decode to double.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelvora::nn {

// binary16 bit pattern -> double, exactly:
//   exponent 0:  sign * mantissa * 2^-24
//   exponent 31: +-infinity (mantissa 0) or NaN
//   otherwise:   sign * 2^(exponent - 15) * (1 + mantissa / 1024)
double decode_binary16(std::uint16_t bits);
double decode_binary32(std::uint32_t bits);

// Bytes that n values take in `encoding` (nothing for an unknown encoding,
// or when the count does not fit the size type).
std::optional<std::size_t> encoded_size(std::uint8_t encoding, std::uint64_t n);

// Decodes n values from exactly encoded_size(encoding, n) bytes.
std::vector<double> decode_values(std::uint8_t encoding, std::span<const std::uint8_t> data, std::size_t n);

}  // namespace kelvora::nn
