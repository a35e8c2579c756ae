#pragma once
// The text metadata table of a weight file and the number syntax of its values.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "nn/nn_error.h"
#include "support/expected.h"

namespace kelvora::nn {

// Plain decimal digits with an optional leading "+", no whitespace, fitting size_t.
std::optional<std::size_t> parse_unsigned(std::string_view text);
// Optional sign; digits with an optional fraction (at least one digit) and an
// optional exponent; or inf, infinity, nan in any letter case.  Magnitudes
// beyond the double range read as infinity, tiny ones as zero.
std::optional<double> parse_double(std::string_view text);
// Without leading and trailing Unicode white space.
std::string_view trim_whitespace(std::string_view utf8);

class Metadata {
 public:
  // A later entry with an existing key replaces the earlier value.
  void set(std::string key, std::string value) { entries_.insert_or_assign(std::move(key), std::move(value)); }

  Expected<std::string, NnError> meta(std::string_view key) const;
  Expected<std::size_t, NnError> unsigned_value(std::string_view key) const;
  Expected<double, NnError> double_value(std::string_view key) const;

 private:
  std::map<std::string, std::string, std::less<>> entries_;
};

}  // namespace kelvora::nn
