#pragma once
// What a reader returns: the spectra of one file, or a typed error value
// that says where reading stopped and what was expected there.  Readers work
// on a byte buffer in memory and never throw.
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "support/expected.h"

namespace kelvora::readers {

// One sweep.  The imaginary part carries its physical sign (negative for
// capacitive points).  `time` and `cycle` are empty when the file has no
// such column; otherwise they have one entry per point.
struct SpectrumRecord {
  std::vector<double> frequency;  // Hz
  std::vector<double> real;       // ohm
  std::vector<double> imag;       // ohm
  std::vector<double> time;       // s
  std::vector<double> cycle;
  std::string label;  // channel, segment or cycle, for messages and tests
};

inline constexpr std::size_t kNoPosition = std::numeric_limits<std::size_t>::max();

struct ReadError {
  std::size_t line = 0;              // 1-based text line; 0 when not tied to a line
  std::size_t offset = kNoPosition;  // byte offset, for binary formats
  std::string expected;              // "expected ...", with what was found where useful
};

using ReadResult = Expected<std::vector<SpectrumRecord>, ReadError>;

inline Unexpected<ReadError> fail_at_line(std::size_t line, std::string expected) {
  return unexpected(ReadError{line, kNoPosition, std::move(expected)});
}
inline Unexpected<ReadError> fail_at_offset(std::size_t offset, std::string expected) {
  return unexpected(ReadError{0, offset, std::move(expected)});
}

// `"file", line 12: expected ...` (or `byte offset 1234`, or neither).
std::string describe(const ReadError& error, std::string_view file);

}  // namespace kelvora::readers
