#pragma once
// The one error type of the initial-guess networks: weight-file decoding,
// inference and the guess pipeline all fail with an NnError value.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvora::nn {

struct NnError {
  // Declaration order is part of the contract (see message()).
  enum class Kind {
    Io,                    // errnum, text = system description
    BadMagic,              //
    Truncated,             // count = size of the read that failed
    Missing,               // text = key or tensor name
    Unparsable,            // text = key or composed description
    UnsupportedEstimator,  // text = estimator found
    UnknownEncoding,       // count = encoding code
    ElementCount,          // text = tensor or layer name, count = found, expected
    TooFewPoints,          // count = number of points
  };

  Kind kind = Kind::Truncated;
  std::string text;
  std::uint64_t count = 0;
  std::uint64_t expected = 0;
  int errnum = 0;

  static NnError io(int errnum);
  static NnError bad_magic();
  static NnError truncated(std::uint64_t size);
  static NnError missing(std::string name);
  static NnError unparsable(std::string what);
  static NnError unsupported_estimator(std::string found);
  static NnError unknown_encoding(std::uint8_t code);
  static NnError element_count(std::string name, std::uint64_t found, std::uint64_t expected);
  static NnError too_few_points(std::size_t n);

  // The text shown to users, e.g. `weight file is missing "target_mean"`.
  std::string message() const;
};

// Estimators the feature extraction implements, joined by ", ".
inline constexpr const char* kSupportedEstimators = "reactive_centroid";

}  // namespace kelvora::nn
