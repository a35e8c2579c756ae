// Metrohm Autolab exports.
//  - NOVA ASCII: ';'-separated, column names on the first line such as
//    "Frequency (Hz)", "Z' (Ω)", "-Z'' (Ω)", "-Phase (°)", "Time (s)"; the
//    column set is user-configurable, so columns are found by name.  A
//    decimal comma is read too.  A new sweep starts where the frequency
//    returns to the first frequency of the sweep (scans exported together).
//  - FRA .dfr: "VERSION..." on line 1, the point count on line 2, one more
//    line, then nine lines per frequency: frequency, Z', -Z'' and six
//    further numbers.
#include <charconv>

#include "readers/readers.h"
#include "readers/table.h"

namespace kelvora::readers {
namespace {

constexpr std::size_t kDfrLinesPerPoint = 9;

ReadResult read_dfr(LineCursor& cursor, const Line& first) {
  Line line;
  if (!cursor.next(line)) return fail_at_line(first.number + 1, "expected the point count on line 2, found the end of the file");
  const std::string_view digits = trim(line.text);
  std::size_t count = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (ec != std::errc() || end != digits.data() + digits.size() || count == 0)
    return fail_at_line(line.number, "expected a positive point count, found " + shown(digits));
  if (!cursor.next(line)) return fail_at_line(line.number + 1, "expected a third header line, found the end of the file");
  SweepBuilder builder;
  builder.begin_sweep("dfr");
  double values[3] = {0, 0, 0};
  for (std::size_t point = 0; point < count; ++point) {
    for (std::size_t k = 0; k < kDfrLinesPerPoint; ++k) {
      if (!cursor.next(line))
        return fail_at_line(cursor.line_number() + 1, "expected " + std::to_string(count) + " points of " +
                                                          std::to_string(kDfrLinesPerPoint) + " lines as declared, found " +
                                                          std::to_string(point) + " before the end of the file");
      const auto number = parse_number(line.text, true);
      if (!number) return fail_at_line(line.number, "expected a number, found " + shown(trim(line.text)));
      if (k == 0 && *number < 0.0)
        return fail_at_line(line.number, "expected a frequency of 0 Hz or more, found " + shown(trim(line.text)));
      if (k < 3) values[k] = *number;
    }
    builder.add(values[0], values[1], -values[2], 0.0, 0.0);
  }
  return finish_sweeps(builder, cursor.line_number(), "an impedance point");
}

}  // namespace

bool autolab_header_line(std::string_view line) {
  if (line.find(';') == std::string_view::npos) return false;
  std::vector<std::string_view> names;
  split_fields(line, ';', names);
  bool nova_names = false;
  for (std::string_view n : names)
    nova_names = nova_names || n == "Index" || n.find("(\xCE\xA9)") != std::string_view::npos || n == "Frequency (Hz)";
  return nova_names && map_columns(names).complete();
}

ReadResult read_autolab(std::string_view bytes) {
  const Text text = decode_text(bytes);
  LineCursor cursor(text.view);
  Line line;
  if (!first_nonblank(cursor, line)) return fail_at_line(0, "expected an Autolab export, found an empty file");
  if (starts_with_ci(trim(line.text), "VERSION")) return read_dfr(cursor, line);
  if (!autolab_header_line(line.text))
    return unexpected(refusal(line, "NOVA column names separated by ';' (\"Frequency (Hz);Z' (\xCE\xA9);-Z'' (\xCE\xA9);...\") "
                                    "or \"VERSION\" on the first line"));
  std::vector<std::string_view> names;
  split_fields(line.text, ';', names);
  TableOptions options;
  options.separator = ';';
  options.decimal_comma = true;
  options.split_on_restart = true;  // several scans exported together
  options.what = "a sweep";
  return read_rows(cursor, line, names, options);
}

}  // namespace kelvora::readers
