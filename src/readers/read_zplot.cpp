// ZPlot/ZView .z files and the ZPlotW and Z60W text layouts.  Columns are
// always Freq(Hz), Ampl, Bias, Time(Sec), Z'(a), Z''(b), GD, Err, Range, the
// imaginary part with its physical sign; the declared point count may
// disagree with the rows present, so rows are read to the end of the file.
//  - "ZPLOT2 ASCII": key lines, the tab-separated column names, the line
//    "End Comments", then tab-separated rows.
//  - "ZPlotW Data File" / "Z60W Data File": a few mostly quoted lines, the
//    sweep limits, the point count, the quoted column names separated by
//    spaces, then comma-separated rows.
#include "readers/readers.h"
#include "readers/table.h"

namespace kelvora::readers {
ReadResult read_zplot(std::string_view bytes) {
  const Text text = decode_text(bytes);
  LineCursor cursor(text.view);
  Line line;
  if (!first_nonblank(cursor, line)) return fail_at_line(0, "expected a ZPlot file, found an empty file");
  const std::string_view first = trim_field(line.text);
  TableOptions options;
  options.what = "a ZPlot sweep";
  if (starts_with_ci(first, "ZPLOT2 ASCII")) {
    Line previous = line;
    while (cursor.next(line)) {
      if (trim(line.text) == "End Comments") {
        std::vector<std::string_view> names;
        split_fields(previous.text, '\t', names);
        options.separator = '\t';
        return read_rows(cursor, previous, names, options);
      }
      previous = line;
    }
    return fail_at_line(cursor.line_number(), "expected the line \"End Comments\" before the data, found the end of the file");
  }
  if (!starts_with_ci(first, "ZPlotW Data File") && !starts_with_ci(first, "Z60W Data File"))
    return unexpected(refusal(line, "\"ZPLOT2 ASCII\", \"ZPlotW Data File\" or \"Z60W Data File\" on the first line"));
  while (cursor.next(line)) {
    const std::string_view t = trim_field(line.text);
    if (starts_with_ci(t, "Freq") && t.find('\'') != std::string_view::npos) {
      options.separator = ',';
      std::vector<std::string_view> names;
      split_names(trim_field(line.text), ' ', names);
      return read_rows(cursor, line, names, options);
    }
  }
  return fail_at_line(cursor.line_number(), "expected the column names (\"Freq(Hz) ... Z'(a) Z''(b) ...\"), found the end of the file");
}

}  // namespace kelvora::readers
