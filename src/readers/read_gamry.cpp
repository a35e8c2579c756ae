// Gamry Framework .DTA: a header of tab-separated key lines, then tables.
// A table starts with "NAME<TAB>TABLE[<TAB>count]", then a column-name line
// and a unit line, then rows; every line of a table starts with a tab, and
// the table ends at the first non-blank line that does not.  The impedance
// tables are named ZCURVE; each is one sweep.  Numbers follow the Windows
// locale, so a decimal comma is read too.
#include "readers/readers.h"
#include "readers/table.h"

namespace kelvora::readers {

ReadResult read_gamry(std::string_view bytes) {
  const Text text = decode_text(bytes);
  LineCursor cursor(text.view);
  Line line;
  if (!first_nonblank(cursor, line)) return fail_at_line(0, "expected a Gamry .DTA file, found an empty file");
  if (trim(line.text) != "EXPLAIN") return unexpected(refusal(line, "\"EXPLAIN\" on the first line of a Gamry .DTA file"));

  SweepBuilder builder;
  std::vector<std::string_view> fields;
  std::size_t tables = 0;
  DecimalMarks marks;  // one for the whole file: all its tables follow one locale
  bool have_line = cursor.next(line);
  while (have_line) {
    split_fields(line.text, '\t', fields);
    const bool zcurve = !line.text.empty() && line.text[0] != '\t' && fields.size() >= 2 && fields[0] == "ZCURVE" &&
                        fields[1] == "TABLE";
    if (!zcurve) {
      have_line = cursor.next(line);
      continue;
    }
    ++tables;
    const std::size_t table_line = line.number;
    Line names, units;
    if (!cursor.next(names) || names.text.empty() || names.text[0] != '\t')
      return fail_at_line(table_line + 1, "expected the column names of table ZCURVE on a line starting with a tab");
    if (!cursor.next(units) || units.text.empty() || units.text[0] != '\t')
      return fail_at_line(table_line + 2, "expected the units of table ZCURVE on a line starting with a tab");
    std::vector<std::string_view> columns;
    split_fields(names.text, '\t', columns);
    const ColumnMap map = map_columns(columns);
    if (!map.complete()) return fail_at_line(names.number, missing_columns(map));
    builder.set_has_time(map.has(Quantity::time));
    builder.begin_sweep("ZCURVE " + std::to_string(tables));
    // Blank lines (an editor's or a spreadsheet's, or a pause in the
    // export) do not end a table: rows after them still belong to it.
    have_line = cursor.next(line);
    while (have_line && ((!line.text.empty() && line.text[0] == '\t') || blank(line.text))) {
      if (!blank(line.text)) {
        split_fields(line.text, '\t', fields);
        if (auto error = add_row(fields, map, true, line.number, builder, &marks)) return unexpected(*error);
      }
      have_line = cursor.next(line);
    }
  }
  if (tables == 0) return fail_at_line(cursor.line_number(), "expected a ZCURVE table before the end of the file");
  return finish_sweeps(builder, cursor.line_number(), "a ZCURVE table");
}

}  // namespace kelvora::readers
