#include "readers/table.h"

#include "support/quote.h"

namespace kelvora::readers {

ReadResult read_rows(LineCursor& cursor, const Line& header, const std::vector<std::string_view>& names,
                     const TableOptions& options) {
  const ColumnMap map = map_columns(names);
  if (!map.complete()) return fail_at_line(header.number, missing_columns(map));
  SweepBuilder builder;
  builder.set_has_time(map.has(Quantity::time));
  builder.set_has_cycle(map.has(Quantity::cycle));
  builder.set_split_on_restart(options.split_on_restart);
  std::vector<std::string_view> fields;
  Line line;
  DecimalMarks marks;
  std::size_t last = header.number;
  while (cursor.next(line)) {
    if (blank(line.text)) continue;
    split_fields(line.text, options.separator, fields);
    if (auto error = add_row(fields, map, options.decimal_comma, line.number, builder, &marks)) return unexpected(*error);
    last = line.number;
  }
  return finish_sweeps(builder, last, options.what);
}

void split_names(std::string_view line, char separator, std::vector<std::string_view>& out) {
  std::vector<std::string_view> tokens;
  split_fields(line, separator, tokens);
  out.clear();
  for (std::string_view t : tokens) {
    if (separator == ' ' && !out.empty() && !t.empty() && (t.front() == '(' || t.front() == '[')) {
      std::string_view& last = out.back();
      last = std::string_view(last.data(), static_cast<std::size_t>(t.data() + t.size() - last.data()));
    } else {
      out.push_back(t);
    }
  }
}

char guess_separator(std::string_view header) {
  if (header.find('\t') != std::string_view::npos) return '\t';
  if (header.find(';') != std::string_view::npos) return ';';
  if (header.find(',') != std::string_view::npos) return ',';
  return ' ';
}

bool first_nonblank(LineCursor& cursor, Line& line) {
  while (cursor.next(line))
    if (!blank(line.text)) return true;
  return false;
}

ReadError refusal(const Line& line, const char* what) {
  return ReadError{line.number, kNoPosition, std::string("expected ") + what + ", found " + shown(trim(line.text))};
}

}  // namespace kelvora::readers
