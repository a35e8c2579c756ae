// EC-Lab text export (.mpt).  Line 1 "EC-Lab ASCII FILE", line 2
// "Nb header lines : N"; the column names are on line N and the rows
// follow, tab-separated (lines counted from "EC-Lab ASCII FILE", which
// blank lines may precede).  Exports without the header block start with the
// column names.  The imaginary column is "-Im(Z)/Ohm"; repeated sweeps are
// told apart by "cycle number", or, in files that hold several sweeps under
// one cycle number, by the frequency returning to its first value.
#include <charconv>

#include "readers/readers.h"
#include "readers/table.h"

namespace kelvora::readers {

// Tab-separated column names with "freq/Hz" and "Re(Z)/Ohm" or "|Z|/Ohm",
// in any letter case: what a bare export starts with.  Detection asks the
// same question.
bool ec_lab_column_names(std::string_view line) {
  if (line.find('\t') == std::string_view::npos) return false;
  std::vector<std::string_view> names;
  split_fields(line, '\t', names);
  bool freq = false, impedance = false;
  for (std::string_view n : names) {
    freq = freq || equals_ci(n, "freq/Hz");
    impedance = impedance || equals_ci(n, "Re(Z)/Ohm") || equals_ci(n, "|Z|/Ohm");
  }
  return freq && impedance;
}

ReadResult read_biologic_mpt(std::string_view bytes) {
  const Text text = decode_text(bytes);
  LineCursor cursor(text.view);
  Line line;
  if (!first_nonblank(cursor, line)) return fail_at_line(0, "expected an EC-Lab text file, found an empty file");
  TableOptions options;
  options.separator = '\t';
  options.decimal_comma = true;
  options.split_on_restart = true;
  options.what = "an impedance sweep";
  std::vector<std::string_view> names;
  if (starts_with_ci(trim(line.text), "EC-Lab ASCII FILE")) {
    // The header counts its lines from "EC-Lab ASCII FILE", wherever that
    // line is (blank lines before it are not part of the header).
    const std::size_t first = line.number;
    Line count_line;
    if (!cursor.next(count_line) || !starts_with_ci(trim(count_line.text), "Nb header lines"))
      return fail_at_line(first + 1, "expected \"Nb header lines : N\" on the line after \"EC-Lab ASCII FILE\"");
    const std::string_view rest = count_line.text.substr(count_line.text.find(':') == std::string_view::npos
                                                             ? count_line.text.size()
                                                             : count_line.text.find(':') + 1);
    const std::string_view digits = trim(rest);
    std::size_t count = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    if (ec != std::errc() || end != digits.data() + digits.size() || count < 3)
      return fail_at_line(count_line.number, "expected a header line count of at least 3 after \"Nb header lines :\", found " +
                                                 shown(digits));
    const std::size_t names_line = first + count - 1;
    while (cursor.line_number() + 1 < names_line)
      if (!cursor.next(line))
        return fail_at_line(cursor.line_number(), "expected " + std::to_string(count) + " header lines as declared on line " +
                                                      std::to_string(count_line.number) + ", found the end of the file");
    if (!cursor.next(line))
      return fail_at_line(names_line, "expected the column names on line " + std::to_string(names_line) +
                                          ", found the end of the file");
  } else {
    if (!ec_lab_column_names(line.text))
      return unexpected(refusal(line, "\"EC-Lab ASCII FILE\" or tab-separated EC-Lab column names such as \"freq/Hz\""));
  }
  split_fields(line.text, '\t', names);
  return read_rows(cursor, line, names, options);
}

}  // namespace kelvora::readers
