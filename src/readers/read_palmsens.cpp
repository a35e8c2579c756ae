// PSTrace session files (.pssession): one JSON document, usually UTF-16 with
// a byte-order mark and a stray U+FEFF after the closing brace.
// "Measurements" holds measurements; each has "EISDataList", one entry per
// channel, holding either its own "DataSet" or "SubScans" with a "DataSet"
// each.  A data set's "Values" are arrays with a "Description"
// ("Frequency", "ZRe", "ZIm", "Z", "Phase", "time", ...) and "DataValues",
// objects whose "V" is the value.  "ZIm" holds -Z'' and "Phase" the negated
// phase in degrees.
#include <cmath>

#include "readers/json.h"
#include "readers/readers.h"
#include "readers/text.h"
#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora::readers {
namespace {

using json::Value;

// Byte offset in the file of a position in the decoded text.
std::size_t file_offset(std::string_view bytes, std::string_view text, std::size_t pos) {
  if (!has_utf16_bom(bytes)) return pos + (bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0);
  std::size_t units = 0;
  for (std::size_t i = 0; i < pos && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  }
  return 2 + 2 * units;
}

const Value* values_named(const Value& data_set, std::string_view description) {
  const Value* values = data_set.find("Values");
  if (!values || !values->is(Value::Kind::array)) return nullptr;
  for (const Value& v : values->items) {
    const Value* d = v.find("Description");
    if (d && d->is(Value::Kind::string) && d->raw == description) {
      const Value* data = v.find("DataValues");
      return data && data->is(Value::Kind::array) ? data : nullptr;
    }
  }
  return nullptr;
}

struct Context {
  std::string_view bytes, text;
};

ReadError error_at(const Context& c, const Value& at, std::string expected) {
  return ReadError{0, file_offset(c.bytes, c.text, at.offset), std::move(expected)};
}

// The numbers "V" of an array of {"V": number} objects.
std::optional<ReadError> numbers(const Context& c, const Value& array, std::string_view name, std::vector<double>& out) {
  out.clear();
  out.reserve(array.items.size());
  for (const Value& item : array.items) {
    const Value* v = item.find("V");
    if (!v || !v->is(Value::Kind::number))
      return error_at(c, item, "expected a number \"V\" in every entry of " + quoted(name) + ", found an entry " +
                                   (v ? "with another value" : "without one"));
    out.push_back(v->number);
  }
  return std::nullopt;
}

// A data set into a sweep; nothing (and no error) when it is not an
// impedance data set.
std::optional<ReadError> read_data_set(const Context& c, const Value& data_set, std::string label,
                                       std::vector<SpectrumRecord>& out, bool& found) {
  const Value* f = values_named(data_set, "Frequency");
  const Value* re = values_named(data_set, "ZRe");
  const Value* im = values_named(data_set, "ZIm");
  const Value* mod = values_named(data_set, "Z");
  const Value* phase = values_named(data_set, "Phase");
  const Value* time = values_named(data_set, "time");
  const bool cartesian = re && im;
  if (!f || !(cartesian || (mod && phase))) return std::nullopt;
  found = true;
  SpectrumRecord s;
  s.label = std::move(label);
  std::vector<double> a, b;
  if (auto e = numbers(c, *f, "Frequency", s.frequency)) return e;
  if (auto e = numbers(c, cartesian ? *re : *mod, cartesian ? "ZRe" : "Z", a)) return e;
  if (auto e = numbers(c, cartesian ? *im : *phase, cartesian ? "ZIm" : "Phase", b)) return e;
  if (time)
    if (auto e = numbers(c, *time, "time", s.time)) return e;
  const std::size_t n = s.frequency.size();
  if (a.size() != n || b.size() != n || (time && s.time.size() != n))
    return error_at(c, data_set, "expected arrays of equal length in data set " + quoted(s.label) + ", found " + std::to_string(n) +
                        " frequencies, " + std::to_string(a.size()) + " and " + std::to_string(b.size()) +
                        " impedance values");
  for (std::size_t i = 0; i < n; ++i)
    if (s.frequency[i] < 0.0)
      return error_at(c, f->items[i], "expected a frequency of 0 Hz or more in data set " + quoted(s.label) + ", found " +
                                          format_compact(s.frequency[i]) + " in entry " + std::to_string(i + 1));
  s.real.resize(n);
  s.imag.resize(n);
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (s.frequency[i] == 0.0) continue;
    double x = a[i], y = -b[i];
    if (!cartesian) {
      const double phi = -b[i] * 0.017453292519943295;
      x = a[i] * std::cos(phi);
      y = a[i] * std::sin(phi);
    }
    s.frequency[k] = s.frequency[i];
    s.real[k] = x;
    s.imag[k] = y;
    if (time) s.time[k] = s.time[i];
    ++k;
  }
  s.frequency.resize(k);
  s.real.resize(k);
  s.imag.resize(k);
  if (time) s.time.resize(k);
  if (k) out.push_back(std::move(s));
  return std::nullopt;
}

std::string title_of(const Value& v) {
  const Value* t = v.find("Title");
  return t && t->is(Value::Kind::string) ? t->text() : std::string();
}

}  // namespace

ReadResult read_palmsens(std::string_view bytes) {
  const Text decoded = decode_text(bytes);
  std::string_view text = decoded.view;
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos || text[start] != '{')
    return fail_at_offset(file_offset(bytes, text, start == std::string_view::npos ? text.size() : start),
                          "expected a PalmSens session file (a JSON object)");
  // The document ends at the last '}' (PSTrace writes a stray U+FEFF after
  // it); without one, the file was cut short.
  const std::size_t end = text.rfind('}');
  if (end == std::string_view::npos)
    return fail_at_offset(bytes.size(), "expected a '}' to close the session object, found the end of the file "
                                        "(a truncated file?)");
  const Context c{bytes, text};
  text = text.substr(0, end + 1);
  Value root;
  json::ParseError perror;
  if (!json::parse(text, root, perror))
    return fail_at_offset(file_offset(bytes, text, perror.offset),
                          perror.offset < text.size() ? perror.expected : perror.expected + " (a truncated file?)");
  const Value* measurements = root.find("Measurements");
  if (!measurements || !measurements->is(Value::Kind::array))
    return fail_at_offset(file_offset(bytes, text, start), "expected a \"Measurements\" list in the session file");
  std::vector<SpectrumRecord> out;
  bool found = false;
  for (const Value& m : measurements->items) {
    const Value* list = m.find("EISDataList");
    bool from_list = false;
    if (list && list->is(Value::Kind::array)) {
      for (const Value& entry : list->items) {
        const std::string title = title_of(entry);
        const Value* subs = entry.find("SubScans");
        if (subs && subs->is(Value::Kind::array) && !subs->items.empty()) {
          for (const Value& sub : subs->items) {
            const Value* ds = sub.find("DataSet");
            if (!ds) continue;
            from_list = true;
            if (auto e = read_data_set(c, *ds, title + " | " + title_of(sub), out, found)) return unexpected(*e);
          }
        } else if (const Value* ds = entry.find("DataSet")) {
          from_list = true;
          if (auto e = read_data_set(c, *ds, title, out, found)) return unexpected(*e);
        }
      }
    }
    if (!from_list)
      if (const Value* ds = m.find("DataSet"))
        if (auto e = read_data_set(c, *ds, title_of(m), out, found)) return unexpected(*e);
  }
  if (!found)
    return fail_at_offset(file_offset(bytes, text, start), "expected an impedance data set (\"Frequency\", \"ZRe\" and "
                                                           "\"ZIm\" values) in the measurements, found none");
  if (out.empty()) return fail_at_offset(file_offset(bytes, text, start), "expected an impedance point above 0 Hz, found none");
  return out;
}

}  // namespace kelvora::readers
