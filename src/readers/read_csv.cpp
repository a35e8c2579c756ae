// Delimited text with column names: tab, ';', ',' or white space between
// fields, the names in the first line that names a frequency and either
// real and imaginary part or modulus and phase (lines before it, such as
// comments, are skipped, up to kHeaderSearchLines).  A decimal comma is
// read when the separator is not a comma.  Repeated sweeps are split where
// a "cycle number" column changes or the frequency returns to the first
// frequency of the sweep (exports that loop a sweep, with or without a
// loop counter the reader does not know).
#include "readers/readers.h"
#include "readers/table.h"

namespace kelvora::readers {

ReadResult read_csv(std::string_view bytes) {
  const Text text = decode_text(bytes);
  LineCursor cursor(text.view);
  Line line;
  std::vector<std::string_view> names;
  while (cursor.next(line) && line.number <= kHeaderSearchLines) {
    if (blank(line.text)) continue;
    const char separator = guess_separator(line.text);
    split_names(line.text, separator, names);
    if (!map_columns(names).complete()) continue;
    TableOptions options;
    options.separator = separator;
    options.decimal_comma = separator != ',';
    options.split_on_restart = true;
    options.what = "a data row";
    return read_rows(cursor, line, names, options);
  }
  if (cursor.line_number() == 0) return fail_at_line(0, "expected column names, found an empty file");
  return fail_at_line(1, "expected a line of column names with a frequency (such as \"Freq/Hz\") and real and imaginary "
                         "parts (such as \"Z'\" and \"-Z''\") or modulus and phase (\"|Z|\", \"Phase\") within the first " +
                             std::to_string(kHeaderSearchLines) + " lines");
}

}  // namespace kelvora::readers
