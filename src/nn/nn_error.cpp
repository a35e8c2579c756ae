#include "nn/nn_error.h"

#include <system_error>
#include <utility>

#include "support/quote.h"

namespace kelvora::nn {

NnError NnError::io(int errnum) {
  NnError e;
  e.kind = Kind::Io;
  e.errnum = errnum;
  // strerror's text, without the thread-safety trouble of strerror itself.
  e.text = std::system_category().message(errnum);
  return e;
}

NnError NnError::bad_magic() {
  NnError e;
  e.kind = Kind::BadMagic;
  return e;
}

NnError NnError::truncated(std::uint64_t size) {
  NnError e;
  e.kind = Kind::Truncated;
  e.count = size;
  return e;
}

NnError NnError::missing(std::string name) {
  NnError e;
  e.kind = Kind::Missing;
  e.text = std::move(name);
  return e;
}

NnError NnError::unparsable(std::string what) {
  NnError e;
  e.kind = Kind::Unparsable;
  e.text = std::move(what);
  return e;
}

NnError NnError::unsupported_estimator(std::string found) {
  NnError e;
  e.kind = Kind::UnsupportedEstimator;
  e.text = std::move(found);
  return e;
}

NnError NnError::unknown_encoding(std::uint8_t code) {
  NnError e;
  e.kind = Kind::UnknownEncoding;
  e.count = code;
  return e;
}

NnError NnError::element_count(std::string name, std::uint64_t found, std::uint64_t expected) {
  NnError e;
  e.kind = Kind::ElementCount;
  e.text = std::move(name);
  e.count = found;
  e.expected = expected;
  return e;
}

NnError NnError::too_few_points(std::size_t n) {
  NnError e;
  e.kind = Kind::TooFewPoints;
  e.count = n;
  return e;
}

std::string NnError::message() const {
  switch (kind) {
    case Kind::Io:
      return "reading weights: " + text + " (os error " + std::to_string(errnum) + ")";
    case Kind::BadMagic:
      return "not an eisnn weight file (bad magic bytes)";
    case Kind::Truncated:
      return "weight file is truncated";
    case Kind::Missing:
      return "weight file is missing " + quoted(text);
    case Kind::Unparsable:
      return "weight file has an unparsable value for " + quoted(text);
    case Kind::UnsupportedEstimator:
      return "weight file was normalised with the " + quoted(text) +
             " scale estimator, which this build does not implement (supported: " + kSupportedEstimators + ")";
    case Kind::UnknownEncoding:
      return "weight file uses tensor encoding " + std::to_string(count) + ", which this build does not know";
    case Kind::ElementCount:
      return "tensor " + quoted(text) + " has " + std::to_string(count) + " elements, expected " +
             std::to_string(expected);
    case Kind::TooFewPoints:
      return "need at least 2 frequency points to guess, got " + std::to_string(count);
  }
  return "weight file error";
}

}  // namespace kelvora::nn
