// Guesser::from_bytes: decoding and validation of one weight blob.
//
//   "EISNN001" | u32 M | M x (key, value) | u32 T | T x tensor record
//   tensor record: name | u8 encoding | u8 rank | rank x u32 dim | data
//
// Every data block is bounded by the bytes that remain before anything is
// allocated, so a corrupt size can only ever produce an error.
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "nn/encoding.h"
#include "nn/guesser.h"
#include "nn/limits.h"
#include "nn/metadata.h"
#include "nn/reader.h"

namespace kelvora::nn {

namespace {

constexpr char kMagic[8] = {'E', 'I', 'S', 'N', 'N', '0', '0', '1'};

#define TRY_ASSIGN(var, expr)                        \
  auto var##_result = (expr);                        \
  if (!var##_result) return unexpected(var##_result.error()); \
  auto var = std::move(*var##_result)

Expected<std::pair<std::string, Tensor>, NnError> read_tensor(Reader& in) {
  TRY_ASSIGN(name, in.string());
  TRY_ASSIGN(encoding, in.u8());
  TRY_ASSIGN(rank, in.u8());
  Tensor tensor;
  tensor.dims.reserve(rank);
  // N = product of the dimensions, at least 1.  A product beyond any
  // possible blob is a truncated record: its data cannot follow.
  std::uint64_t n = 1;
  bool overflow = false;
  bool zero = false;
  for (unsigned i = 0; i < rank; ++i) {
    TRY_ASSIGN(dim, in.u32());
    tensor.dims.push_back(dim);
    if (dim == 0) zero = true;
    if (!overflow && dim != 0) {
      if (n > std::numeric_limits<std::uint64_t>::max() / dim) {
        overflow = true;
      } else {
        n *= dim;
      }
    }
  }
  if (zero) {
    n = 1;
    overflow = false;
  }
  if (encoding > 2) return unexpected(NnError::unknown_encoding(encoding));
  const auto size = overflow ? std::nullopt : encoded_size(encoding, n);
  if (!size) return unexpected(NnError::truncated(std::numeric_limits<std::uint64_t>::max()));
  TRY_ASSIGN(data, in.bytes(*size));
  tensor.values = decode_values(encoding, data, static_cast<std::size_t>(n));
  return std::pair<std::string, Tensor>(std::move(name), std::move(tensor));
}

Expected<std::vector<std::size_t>, NnError> parse_dilations(const Metadata& meta) {
  TRY_ASSIGN(text, meta.meta("dilations"));
  std::vector<std::size_t> out;
  std::string_view rest = text;
  while (true) {
    const auto comma = rest.find(',');
    const auto piece = trim_whitespace(rest.substr(0, comma));
    const auto value = parse_unsigned(piece);
    if (!value) return unexpected(NnError::unparsable("dilations"));
    out.push_back(*value);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return out;
}

std::vector<std::string> split_commas(std::string_view text) {
  std::vector<std::string> out;
  while (true) {
    const auto comma = text.find(',');
    out.emplace_back(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return out;
}

// Rounds to the nearest integer (halves away from zero), saturating; NaN is 0.
std::int32_t round_to_i32(double v) {
  if (std::isnan(v)) return 0;
  const double r = std::round(v);
  if (r <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) return std::numeric_limits<std::int32_t>::min();
  if (r >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(r);
}

}  // namespace

Expected<const Tensor*, NnError> Guesser::tensor(std::string_view name) const {
  const auto it = tensors.find(name);
  if (it == tensors.end()) return unexpected(NnError::missing(std::string(name)));
  return &it->second;
}

Expected<Guesser, NnError> Guesser::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 8) return unexpected(NnError::truncated(8));
  if (std::memcmp(bytes.data(), kMagic, 8) != 0) return unexpected(NnError::bad_magic());
  if (bytes.size() < 12) return unexpected(NnError::truncated(4));
  Reader in(bytes, 8);

  Guesser g;
  Metadata meta;
  TRY_ASSIGN(entries, in.u32());
  for (std::uint32_t i = 0; i < entries; ++i) {
    TRY_ASSIGN(key, in.string());
    TRY_ASSIGN(value, in.string());
    meta.set(std::move(key), std::move(value));
  }
  TRY_ASSIGN(count, in.u32());
  for (std::uint32_t i = 0; i < count; ++i) {
    TRY_ASSIGN(record, read_tensor(in));
    g.tensors.insert_or_assign(std::move(record.first), std::move(record.second));
  }
  // Bytes after the last tensor are ignored.

  TRY_ASSIGN(mean, g.tensor("target_mean"));
  TRY_ASSIGN(std_dev, g.tensor("target_std"));
  TRY_ASSIGN(log_params, g.tensor("log_params"));
  TRY_ASSIGN(scaling, g.tensor("scaling"));
  const std::size_t p = mean->values.size();
  if (scaling->values.size() != 4 * static_cast<std::uint64_t>(p)) {
    return unexpected(NnError::element_count("scaling", scaling->values.size(), 4 * static_cast<std::uint64_t>(p)));
  }
  g.scaling.reserve(p);
  for (std::size_t i = 0; i < p; ++i) {
    const double* row = scaling->values.data() + 4 * i;
    g.scaling.push_back(Scaling{row[0], row[1], row[2], round_to_i32(row[3])});
  }
  TRY_ASSIGN(dilations, parse_dilations(meta));
  g.dilations = std::move(dilations);
  TRY_ASSIGN(estimator, meta.meta("estimator"));
  if (estimator != "reactive_centroid") return unexpected(NnError::unsupported_estimator(estimator));
  TRY_ASSIGN(circuit, meta.meta("circuit"));
  g.circuit = std::move(circuit);
  TRY_ASSIGN(names, meta.meta("param_names"));
  g.param_names = split_commas(names);
  TRY_ASSIGN(n_grid, meta.unsigned_value("n_grid"));
  TRY_ASSIGN(channels, meta.unsigned_value("channels"));
  TRY_ASSIGN(kernel, meta.unsigned_value("kernel"));
  TRY_ASSIGN(groups, meta.unsigned_value("groups"));
  TRY_ASSIGN(alpha_min, meta.double_value("alpha_min"));
  TRY_ASSIGN(alpha_max, meta.double_value("alpha_max"));
  g.n_grid = n_grid;
  g.channels = channels;
  g.kernel = kernel;
  g.groups = groups;
  g.alpha_min = alpha_min;
  g.alpha_max = alpha_max;

  // Consistency the forward pass relies on, so that it never reads out of
  // range, divides by zero or allocates without bound.
  if (std_dev->values.size() != p) return unexpected(NnError::element_count("target_std", std_dev->values.size(), p));
  if (log_params->values.size() != p) {
    return unexpected(NnError::element_count("log_params", log_params->values.size(), p));
  }
  if (g.param_names.size() != p) return unexpected(NnError::element_count("target_mean", p, g.param_names.size()));
  for (const Scaling& s : g.scaling) {
    if (s.alpha_index >= 0 && static_cast<std::size_t>(s.alpha_index) >= p) {
      return unexpected(NnError::unparsable("scaling"));
    }
  }
  if (g.n_grid > kMaxGridPoints) return unexpected(NnError::unparsable("n_grid"));
  if (g.channels > kMaxChannels) return unexpected(NnError::unparsable("channels"));
  if (g.channels * g.n_grid > kMaxActivations) return unexpected(NnError::unparsable("channels"));
  if (g.groups == 0) return unexpected(NnError::unparsable("groups"));
  if (std::isnan(g.alpha_min)) return unexpected(NnError::unparsable("alpha_min"));
  if (std::isnan(g.alpha_max) || g.alpha_min > g.alpha_max) return unexpected(NnError::unparsable("alpha_max"));

  g.target_mean = mean->values;
  g.target_std = std_dev->values;
  g.log_params.reserve(p);
  for (double v : log_params->values) g.log_params.push_back(v != 0.0);
  return g;
}

}  // namespace kelvora::nn
