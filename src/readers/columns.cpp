#include "readers/columns.h"

#include <cmath>

#include "readers/text.h"
#include "support/quote.h"

namespace kelvora::readers {
namespace {

constexpr double kDegree = 0.017453292519943295;

struct Base {
  std::string_view key;
  Quantity quantity;
};

// Name stems, compared after lower-casing and removing spaces and underscores.
constexpr Base kBases[] = {
    {"frequency", Quantity::frequency}, {"freq", Quantity::frequency}, {"f", Quantity::frequency},
    {"realimpedance", Quantity::real}, {"re(z)", Quantity::real}, {"zreal", Quantity::real},
    {"zre", Quantity::real}, {"z'", Quantity::real}, {"zr", Quantity::real}, {"realz", Quantity::real},
    {"real", Quantity::real}, {"re", Quantity::real},
    {"imaginaryimpedance", Quantity::imag}, {"im(z)", Quantity::imag}, {"zimag", Quantity::imag},
    {"zimg", Quantity::imag}, {"zim", Quantity::imag}, {"z''", Quantity::imag}, {"z\"", Quantity::imag},
    {"zi", Quantity::imag}, {"imagz", Quantity::imag}, {"imaginary", Quantity::imag}, {"imag", Quantity::imag},
    {"im", Quantity::imag},
    {"absoluteimpedance", Quantity::modulus}, {"|z|", Quantity::modulus}, {"zmod", Quantity::modulus},
    {"mod(z)", Quantity::modulus}, {"abs(z)", Quantity::modulus}, {"modulus", Quantity::modulus},
    {"magnitude", Quantity::modulus}, {"zabs", Quantity::modulus}, {"z", Quantity::modulus},
    {"phase(z)", Quantity::phase}, {"phaseangle", Quantity::phase}, {"phase", Quantity::phase},
    {"zphz", Quantity::phase}, {"zphase", Quantity::phase}, {"phi", Quantity::phase}, {"theta", Quantity::phase},
    {"elapsedtime", Quantity::time}, {"time", Quantity::time}, {"t", Quantity::time},
    {"cyclenumber", Quantity::cycle}, {"cycleno", Quantity::cycle}, {"cycle#", Quantity::cycle},
    {"cycle", Quantity::cycle},
};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool any_of_ci(std::string_view unit, std::initializer_list<std::string_view> options) {
  for (auto o : options)
    if (equals_ci(unit, o)) return true;
  return false;
}

// Scale of an SI prefix in front of `rest` (case matters: m milli, M mega).
std::optional<double> prefixed(std::string_view unit, std::initializer_list<std::string_view> bare) {
  if (any_of_ci(unit, bare)) return 1.0;
  if (unit.empty()) return std::nullopt;
  double scale = 0.0;
  std::size_t skip = 1;
  if (unit[0] == 'k' || unit[0] == 'K') scale = 1e3;
  else if (unit[0] == 'M') scale = 1e6;
  else if (unit[0] == 'm') scale = 1e-3;
  else if (unit.substr(0, 2) == "\xC2\xB5" || unit.substr(0, 2) == "\xCE\xBC") scale = 1e-6, skip = 2;
  else if (unit[0] == 'u') scale = 1e-6;
  if (scale == 0.0 || !any_of_ci(unit.substr(skip), bare)) return std::nullopt;
  return scale;
}

// The factor a unit implies for a quantity, or nothing when the text is not
// a unit of that quantity.
std::optional<double> unit_factor(Quantity q, std::string_view unit) {
  switch (q) {
    case Quantity::frequency:
      if (unit.empty()) return 1.0;
      return prefixed(unit, {"hz", "hertz"});
    case Quantity::real:
    case Quantity::imag:
    case Quantity::modulus:
      if (unit.empty() || any_of_ci(unit, {"a", "b"})) return 1.0;
      return prefixed(unit, {"ohm", "ohms", "\xCE\xA9", "\xE2\x84\xA6"});
    case Quantity::phase:
      if (unit.empty() || any_of_ci(unit, {"deg", "degree", "degrees", "\xC2\xB0", "\xC2\xBA"})) return kDegree;
      if (any_of_ci(unit, {"rad", "radian", "radians"})) return 1.0;
      return std::nullopt;
    case Quantity::time:
      if (unit.empty() || any_of_ci(unit, {"s", "sec", "second", "seconds"})) return 1.0;
      if (any_of_ci(unit, {"ms"})) return 1e-3;
      if (any_of_ci(unit, {"min"})) return 60.0;
      if (any_of_ci(unit, {"h", "hour", "hours"})) return 3600.0;
      return std::nullopt;
    case Quantity::cycle:
      if (unit.empty() || any_of_ci(unit, {"number", "#"})) return 1.0;
      return std::nullopt;
  }
  return std::nullopt;
}

// The unit text after a stem: "/Ohm", "(ohms)", "[Hz]", "hertz".
std::string_view unit_text(std::string_view rest) {
  if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  if (rest.size() >= 2 && ((rest.front() == '(' && rest.back() == ')') || (rest.front() == '[' && rest.back() == ']')))
    rest = rest.substr(1, rest.size() - 2);
  return rest;
}

}  // namespace

std::optional<ColumnMeaning> column_meaning(std::string_view name) {
  name = trim_field(name);
  std::string key, orig;
  key.reserve(name.size());
  orig.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == ' ' || c == '_' || c == '\t') continue;
    // A spreadsheet writes the quote of a quoted name twice: Z""/ohm is Z"/ohm.
    if (c == '"' && i > 0 && name[i - 1] == '"') continue;
    key.push_back(lower(c));
    orig.push_back(c);
  }
  double sign = 1.0;
  std::size_t start = 0;
  if (!key.empty() && key[0] == '-') {
    sign = -1.0;
    start = 1;
  }
  const std::string_view k = std::string_view(key).substr(start);
  const std::string_view o = std::string_view(orig).substr(start);
  std::optional<ColumnMeaning> best;
  std::size_t best_length = 0;
  for (const Base& b : kBases) {
    if (b.key.size() <= best_length || k.substr(0, b.key.size()) != b.key) continue;
    const auto factor = unit_factor(b.quantity, unit_text(o.substr(b.key.size())));
    if (!factor) continue;
    best = ColumnMeaning{b.quantity, sign * *factor};
    best_length = b.key.size();
  }
  return best;
}

bool ColumnMap::complete() const {
  return has(Quantity::frequency) &&
         ((has(Quantity::real) && has(Quantity::imag)) || (has(Quantity::modulus) && has(Quantity::phase)));
}

ColumnMap map_columns(const std::vector<std::string_view>& names) {
  ColumnMap map;
  map.required = names.size();
  for (std::size_t i = 0; i < names.size(); ++i) {
    map.names.emplace_back(names[i]);
    const auto meaning = column_meaning(names[i]);
    if (!meaning) continue;
    const int q = static_cast<int>(meaning->quantity);
    if (map.index[q] != ColumnMap::kNone) continue;
    map.index[q] = i;
    map.factor[q] = meaning->factor;
  }
  // Real and imaginary part are used when both exist; modulus and phase otherwise.
  const bool cartesian = map.has(Quantity::real) && map.has(Quantity::imag);
  for (int q = 0; q < 7; ++q) {
    const auto quantity = static_cast<Quantity>(q);
    const bool used = quantity == Quantity::frequency || quantity == Quantity::time || quantity == Quantity::cycle ||
                      (cartesian ? (quantity == Quantity::real || quantity == Quantity::imag)
                                 : (quantity == Quantity::modulus || quantity == Quantity::phase));
    if (!used || map.index[q] == ColumnMap::kNone) continue;
    map.used[q] = true;
    if (map.index[q] + 1 > map.width) map.width = map.index[q] + 1;
  }
  return map;
}

std::string missing_columns(const ColumnMap& map) {
  // A line of thousands of names (a matrix export, a wrong separator) would
  // make a message of megabytes: the first names, each cut to 40 characters,
  // say enough.
  constexpr std::size_t kShownNames = 20;
  std::string what;
  if (!map.has(Quantity::frequency)) what = "a frequency column (such as \"Freq/Hz\")";
  else what = "real and imaginary impedance columns (such as \"Z'\" and \"Z''\") or modulus and phase";
  std::string names = "[";
  for (std::size_t i = 0; i < map.names.size() && i < kShownNames; ++i) names += (i ? ", " : "") + shown(map.names[i]);
  names += ']';
  if (map.names.size() > kShownNames) names += " and " + std::to_string(map.names.size() - kShownNames) + " more";
  return "expected " + what + " among the column names " + names;
}

void SweepBuilder::reserve(std::size_t n) { reserve_ = n; }

void SweepBuilder::close() {
  if (open_ && !current_.frequency.empty()) done_.push_back(std::move(current_));
  current_ = SpectrumRecord{};
  open_ = false;
}

void SweepBuilder::begin_sweep(std::string label) {
  close();
  current_.label = std::move(label);
  open_ = true;
}

void SweepBuilder::add(double frequency, double real, double imag, double time, double cycle) {
  if (frequency == 0.0) return;
  if (!open_) begin_sweep();
  if (!current_.frequency.empty()) {
    const bool new_cycle = has_cycle_ && cycle != current_.cycle.back();
    const double first = current_.frequency.front();
    const bool restart = split_on_restart_ && current_.frequency.size() >= 2 &&
                         std::fabs(frequency - first) <= 1e-6 * std::fabs(first) &&
                         std::fabs(current_.frequency.back() - first) > 1e-6 * std::fabs(first);
    if (new_cycle || restart) {
      std::string label = current_.label;
      begin_sweep(std::move(label));
    }
  }
  if (current_.frequency.empty() && reserve_) {
    current_.frequency.reserve(reserve_);
    current_.real.reserve(reserve_);
    current_.imag.reserve(reserve_);
  }
  current_.frequency.push_back(frequency);
  current_.real.push_back(real);
  current_.imag.push_back(imag);
  if (has_time_) current_.time.push_back(time);
  if (has_cycle_) current_.cycle.push_back(cycle);
}

std::vector<SpectrumRecord> SweepBuilder::finish() {
  close();
  return std::move(done_);
}

std::optional<ReadError> add_row(const std::vector<std::string_view>& fields, const ColumnMap& map,
                                 bool decimal_comma, std::size_t line, SweepBuilder& out, DecimalMarks* marks) {
  double v[7] = {0, 0, 0, 0, 0, 0, 0};
  if (fields.size() < map.required)
    return ReadError{line, kNoPosition,
                     "expected " + std::to_string(map.required) + " fields as in the column names, found " +
                         std::to_string(fields.size()) + " (a truncated row?)"};
  // Values past the named columns would shift every column after them
  // unseen; empty fields there (from trailing separators) are harmless.
  std::size_t filled = fields.size();
  while (filled > map.names.size() && fields[filled - 1].empty()) --filled;
  if (filled > map.names.size())
    return ReadError{line, kNoPosition,
                     "expected " + std::to_string(map.names.size()) + " fields as in the column names, found " +
                         std::to_string(filled) +
                         " (a row name without a column name, or decimal commas in comma-separated values?)"};
  for (int q = 0; q < 7; ++q) {
    if (!map.used[q]) continue;
    const std::size_t i = map.index[q];
    const std::string& name = map.names[i];
    if (i >= fields.size())
      return ReadError{line, kNoPosition,
                       "expected a value in column " + quoted(name) + " (field " + std::to_string(i + 1) +
                           "), found a row of " + std::to_string(fields.size()) + " field" +
                           (fields.size() == 1 ? "" : "s")};
    const auto number = parse_number(fields[i], decimal_comma);
    if (!number)
      return ReadError{line, kNoPosition, "expected a number in column " + quoted(name) + ", found " + shown(fields[i])};
    if (decimal_comma && marks) {
      const bool point = fields[i].find('.') != std::string_view::npos;
      const bool comma = fields[i].find(',') != std::string_view::npos;
      if (comma && marks->point_line)
        return ReadError{line, kNoPosition,
                         "expected a decimal point as on line " + std::to_string(marks->point_line) + " in column " +
                             quoted(name) + ", found " + shown(fields[i]) + " (a comma grouping thousands?)"};
      if (point && marks->comma_line)
        return ReadError{line, kNoPosition,
                         "expected a decimal comma as on line " + std::to_string(marks->comma_line) + " in column " +
                             quoted(name) + ", found " + shown(fields[i])};
      if (point && !marks->point_line) marks->point_line = line;
      if (comma && !marks->comma_line) marks->comma_line = line;
    }
    v[q] = *number * map.factor[q];
    if (q == static_cast<int>(Quantity::frequency) && v[q] < 0.0)
      return ReadError{line, kNoPosition,
                       "expected a frequency of 0 Hz or more in column " + quoted(name) + ", found " + shown(fields[i])};
  }
  double re = v[static_cast<int>(Quantity::real)];
  double im = v[static_cast<int>(Quantity::imag)];
  if (!(map.has(Quantity::real) && map.has(Quantity::imag))) {
    const double m = v[static_cast<int>(Quantity::modulus)];
    const double phi = v[static_cast<int>(Quantity::phase)];
    re = m * std::cos(phi);
    im = m * std::sin(phi);
  }
  out.add(v[static_cast<int>(Quantity::frequency)], re, im, v[static_cast<int>(Quantity::time)],
          v[static_cast<int>(Quantity::cycle)]);
  return std::nullopt;
}

ReadResult finish_sweeps(SweepBuilder& builder, std::size_t line, const char* what) {
  auto sweeps = builder.finish();
  if (sweeps.empty())
    return fail_at_line(line, std::string("expected ") + what + " with at least one point above 0 Hz, found none");
  return sweeps;
}

}  // namespace kelvora::readers
