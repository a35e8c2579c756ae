// EC-Lab binary files (.mpr), little-endian.  "BIO-LOGIC MODULAR FILE",
// 0x1A, spaces to offset 0x30, four zero bytes; modules follow from 0x34.
// A module header is "MODULE", a 10-byte short name, a 25-byte long name,
// then either body length, version and an 8-byte date (57 bytes in all), or
// FF FF FF FF, body length, a zero word, version and date (65 bytes).
// The "VMP data" body holds the record count, the column count (one byte in
// module versions up to 3, two bytes later), one uint16 id per column, and
// the records in the last count x record-size bytes of the body.  A record
// has one leading byte for all flag columns (when any is present), then the
// value columns in id order.  An unknown id leaves the record size unknown,
// so such a module is refused rather than guessed at.
#include <cmath>

#include "readers/bytes.h"
#include "readers/columns.h"
#include "readers/readers.h"
#include "support/number_format.h"

namespace kelvora::readers {
namespace {

constexpr std::string_view kMagic = "BIO-LOGIC MODULAR FILE\x1A";
constexpr std::size_t kFirstModule = 0x34;

enum class Kind { flag, f32, f64, u16 };
struct ColumnId {
  std::uint16_t id;
  Kind kind;
};

constexpr ColumnId kColumns[] = {
    {1, Kind::flag},  {2, Kind::flag},  {3, Kind::flag},   {21, Kind::flag},  {31, Kind::flag},  {65, Kind::flag},
    {4, Kind::f64},   {13, Kind::f64},  {24, Kind::f64},   {32, Kind::f32},   {33, Kind::f32},   {34, Kind::f32},
    {35, Kind::f32},  {36, Kind::f32},  {37, Kind::f32},   {38, Kind::f32},   {39, Kind::u16},   {76, Kind::f32},
    {77, Kind::f32},  {96, Kind::f32},  {98, Kind::f32},   {99, Kind::f32},   {100, Kind::f32},  {101, Kind::f32},
    {131, Kind::u16}, {169, Kind::f32}, {172, Kind::f32},  {430, Kind::f32},  {431, Kind::f32},  {432, Kind::f32},
    {433, Kind::f32}, {471, Kind::f32},
};
constexpr std::uint16_t kTime = 4, kCycle = 24, kFrequency = 32, kPhase = 35, kModulus = 36, kReal = 37, kMinusImag = 38;

const ColumnId* find_column(std::uint16_t id) {
  for (const ColumnId& c : kColumns)
    if (c.id == id) return &c;
  return nullptr;
}

std::size_t size_of(Kind k) { return k == Kind::f64 ? 8 : k == Kind::f32 ? 4 : k == Kind::u16 ? 2 : 0; }

std::string_view trimmed_name(std::string_view bytes, std::size_t offset, std::size_t size) {
  std::string_view s = bytes.substr(offset, size);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

// One data module's body (starting at `start` in the file) into sweeps.
ReadResult read_data_module(std::string_view file, std::size_t start, std::size_t length, std::uint32_t version) {
  const std::string_view body = file.substr(start, length);
  const bool wide_count = version > 3;
  const std::size_t ids_at = wide_count ? 6 : 5;
  if (!fits(body, 0, ids_at)) return fail_at_offset(start, "expected the record and column counts of the data module");
  const std::uint64_t records = load_le(body, 0, 4);
  const std::size_t columns = static_cast<std::size_t>(load_le(body, 4, wide_count ? 2 : 1));
  if (!fits(body, ids_at, 2 * columns))
    return fail_at_offset(start + ids_at, "expected " + std::to_string(columns) + " column ids, found the end of the module");
  std::size_t record_size = 0;
  bool flags = false;
  std::size_t at[5] = {};  // offsets in a record of time, cycle, frequency, real/modulus, imaginary/phase
  bool have[5] = {};
  bool have_polar[2] = {};
  std::size_t polar_at[2] = {};
  std::string ids;
  for (std::size_t c = 0; c < columns; ++c) {
    const auto id = static_cast<std::uint16_t>(load_le(body, ids_at + 2 * c, 2));
    ids += (c ? ", " : "") + std::to_string(id);
    const ColumnId* col = find_column(id);
    if (!col)
      return fail_at_offset(start + ids_at + 2 * c, "expected a known column id, found id " + std::to_string(id) +
                                                        " (column " + std::to_string(c + 1) +
                                                        "), whose size is unknown, so the records cannot be read");
    if (col->kind == Kind::flag) {
      flags = true;
      continue;
    }
    const std::size_t offset = record_size;
    record_size += size_of(col->kind);
    const int slot = id == kTime ? 0 : id == kCycle ? 1 : id == kFrequency ? 2 : id == kReal ? 3 : id == kMinusImag ? 4 : -1;
    if (slot >= 0 && !have[slot]) have[slot] = true, at[slot] = offset;
    if (id == kModulus && !have_polar[0]) have_polar[0] = true, polar_at[0] = offset;
    if (id == kPhase && !have_polar[1]) have_polar[1] = true, polar_at[1] = offset;
  }
  const bool cartesian = have[3] && have[4];
  if (!have[2] || !(cartesian || (have_polar[0] && have_polar[1])))
    return fail_at_offset(start + ids_at, "expected impedance columns (ids 32 freq/Hz, 37 Re(Z)/Ohm, 38 -Im(Z)/Ohm) in the "
                                          "data module, found ids [" + ids + "]; not an impedance record");
  if (flags) {
    for (std::size_t& o : at) ++o;
    for (std::size_t& o : polar_at) ++o;
    ++record_size;
  }
  const std::size_t header_end = ids_at + 2 * columns;
  if (record_size == 0 || records > (body.size() - header_end) / record_size)
    return fail_at_offset(start, "expected " + std::to_string(records) + " records of " + std::to_string(record_size) +
                                     " bytes after the column ids, found a body of " + std::to_string(body.size()) + " bytes");
  const std::size_t first = body.size() - static_cast<std::size_t>(records) * record_size;
  SweepBuilder builder;
  builder.set_has_time(have[0]);
  builder.set_has_cycle(have[1]);
  builder.begin_sweep("VMP data");
  builder.reserve(static_cast<std::size_t>(records));
  auto f32 = [&](std::size_t r, std::size_t o) { return double{as_float(static_cast<std::uint32_t>(load_le(body, r + o, 4)))}; };
  auto f64 = [&](std::size_t r, std::size_t o) { return as_double(load_le(body, r + o, 8)); };
  for (std::size_t k = 0; k < records; ++k) {
    const std::size_t r = first + k * record_size;
    const double f = f32(r, at[2]);
    double re, im;
    if (cartesian) {
      re = f32(r, at[3]);
      im = -f32(r, at[4]);
    } else {
      const double m = f32(r, polar_at[0]), phi = f32(r, polar_at[1]) * 0.017453292519943295;
      re = m * std::cos(phi);
      im = m * std::sin(phi);
    }
    const double t = have[0] ? f64(r, at[0]) : 0.0;
    const double cycle = have[1] ? f64(r, at[1]) : 0.0;
    if (!std::isfinite(f) || !std::isfinite(re) || !std::isfinite(im) || !std::isfinite(t) || !std::isfinite(cycle))
      return fail_at_offset(start + r, "expected finite values in record " + std::to_string(k + 1));
    if (f < 0.0)
      return fail_at_offset(start + r + at[2], "expected a frequency of 0 Hz or more in record " + std::to_string(k + 1) +
                                                   ", found " + format_compact(f));
    builder.add(f, re, im, t, cycle);
  }
  auto sweeps = builder.finish();
  return sweeps;
}

}  // namespace

bool biologic_mpr_magic(std::string_view bytes) { return bytes.substr(0, kMagic.size()) == kMagic; }

ReadResult read_biologic_mpr(std::string_view bytes) {
  if (!biologic_mpr_magic(bytes))
    return fail_at_offset(0, "expected \"BIO-LOGIC MODULAR FILE\" at the start of an EC-Lab .mpr file");
  std::vector<SpectrumRecord> out;
  std::size_t pos = kFirstModule;
  std::size_t data_modules = 0;
  std::optional<ReadError> refused;
  while (pos < bytes.size()) {
    if (!fits(bytes, pos, 41) || bytes.substr(pos, 6) != "MODULE")
      return fail_at_offset(pos, "expected a module header (\"MODULE\" and two names) at the start of the next module");
    const std::string_view name = trimmed_name(bytes, pos + 6, 10);
    std::size_t header, length;
    std::uint32_t version;
    if (fits(bytes, pos + 41, 4) && load_le(bytes, pos + 41, 4) == 0xFFFFFFFFu) {
      if (!fits(bytes, pos, 65)) return fail_at_offset(pos + 41, "expected a 65-byte module header, found the end of the file");
      length = static_cast<std::size_t>(load_le(bytes, pos + 45, 4));
      version = static_cast<std::uint32_t>(load_le(bytes, pos + 53, 4));
      header = 65;
    } else {
      if (!fits(bytes, pos, 57)) return fail_at_offset(pos + 41, "expected a 57-byte module header, found the end of the file");
      length = static_cast<std::size_t>(load_le(bytes, pos + 41, 4));
      version = static_cast<std::uint32_t>(load_le(bytes, pos + 45, 4));
      header = 57;
    }
    if (!fits(bytes, pos + header, length))
      return fail_at_offset(pos + header, "expected a module body of " + std::to_string(length) + " bytes, found " +
                                              std::to_string(bytes.size() - pos - header) + " before the end of the file");
    if (name == "VMP data") {
      ++data_modules;
      auto sweeps = read_data_module(bytes, pos + header, length, version);
      if (!sweeps) {
        refused = sweeps.error();
      } else {
        for (auto& s : *sweeps) out.push_back(std::move(s));
      }
    }
    pos += header + length;
  }
  if (out.empty()) {
    if (refused) return unexpected(*refused);
    if (data_modules == 0) return fail_at_offset(bytes.size(), "expected a \"VMP data\" module, found none");
    return fail_at_offset(bytes.size(), "expected an impedance point above 0 Hz in the data module, found none");
  }
  return out;
}

}  // namespace kelvora::readers
