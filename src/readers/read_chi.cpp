// CH Instruments text: a date line, the technique ("A.C. Impedance"),
// "Name: value" and "Name (unit) = value" lines, then the column names
// "Freq/Hz, Z'/ohm, Z"/ohm, Z/ohm, Phase/deg" and comma-separated rows.
#include "readers/readers.h"
#include "readers/table.h"

namespace kelvora::readers {

// The technique or instrument line, within the first kChiHeaderLines
// lines (detection asks the same question).
constexpr std::size_t kChiHeaderLines = 12;

bool chi_header_line(const Line& line) {
  const std::string_view t = trim(line.text);
  return line.number <= kChiHeaderLines &&
         (t == "A.C. Impedance" || (starts_with_ci(t, "Instrument Model:") && contains_ci(t, "CHI")));
}

ReadResult read_chi(std::string_view bytes) {
  const Text text = decode_text(bytes);
  LineCursor cursor(text.view);
  Line line;
  bool recognised = false;
  std::vector<std::string_view> names;
  while (cursor.next(line)) {
    if (!recognised) {
      recognised = chi_header_line(line);
      if (!recognised && line.number >= kChiHeaderLines)
        return fail_at_line(0, "expected \"A.C. Impedance\" or \"Instrument Model:  CHI...\" among the first lines of a "
                               "CH Instruments file, found neither");
      continue;
    }
    if (line.text.find(',') == std::string_view::npos) continue;
    split_fields(line.text, ',', names);
    if (!map_columns(names).has(Quantity::frequency)) continue;
    TableOptions options;
    options.separator = ',';
    options.what = "an impedance table";
    return read_rows(cursor, line, names, options);
  }
  if (!recognised)
    return fail_at_line(0, "expected \"A.C. Impedance\" or \"Instrument Model:  CHI...\" among the first lines of a "
                           "CH Instruments file, found neither");
  return fail_at_line(cursor.line_number(), "expected the column names \"Freq/Hz, Z'/ohm, Z\"/ohm, ...\", found the end of the file");
}

}  // namespace kelvora::readers
