// VersaStudio .par: tagged sections of Key=Value lines.  Data sit in
// <SegmentN> ... </SegmentN> blocks: Key=Value lines ending with
// "Definition=" and the comma-separated column names, then comma-separated
// rows.  Each segment with a frequency column is one sweep; the definition
// may name more columns than the rows hold, so only the fields needed are
// required.
#include "readers/readers.h"
#include "readers/table.h"
#include "support/quote.h"

namespace kelvora::readers {
namespace {

// "<Segment12>" -> "Segment12"; empty for other lines.
std::string_view segment_tag(std::string_view line, bool closing) {
  line = trim(line);
  const std::string_view open = closing ? "</Segment" : "<Segment";
  if (line.size() < open.size() + 2 || line.substr(0, open.size()) != open || line.back() != '>') return {};
  const std::string_view digits = line.substr(open.size(), line.size() - open.size() - 1);
  for (char c : digits)
    if (c < '0' || c > '9') return {};
  return line.substr(closing ? 2 : 1, line.size() - (closing ? 3 : 2));
}

}  // namespace

ReadResult read_versastudio(std::string_view bytes) {
  const Text text = decode_text(bytes);
  LineCursor cursor(text.view);
  Line line;
  if (!first_nonblank(cursor, line)) return fail_at_line(0, "expected a VersaStudio .par file, found an empty file");
  if (trim(line.text) != "<Application>" && segment_tag(line.text, false).empty())
    return unexpected(refusal(line, "\"<Application>\" on the first line of a VersaStudio .par file"));

  SweepBuilder builder;
  std::vector<std::string_view> names, fields;
  std::size_t segments = 0;
  bool have_line = true;
  while (have_line) {
    const std::string_view tag = segment_tag(line.text, false);
    if (tag.empty()) {
      have_line = cursor.next(line);
      continue;
    }
    ++segments;
    const std::size_t opened = line.number;
    names.clear();
    bool defined = false;
    while (!defined && cursor.next(line)) {
      const std::string_view t = trim(line.text);
      if (t.substr(0, 11) == "Definition=") {
        split_fields(t.substr(11), ',', names);
        defined = true;
      } else if (t.find('=') == std::string_view::npos) {
        return fail_at_line(line.number, "expected \"Definition=\" with the column names of " + quoted(tag) +
                                             " (opened on line " + std::to_string(opened) + "), found " + shown(t));
      }
    }
    if (!defined)
      return fail_at_line(cursor.line_number(), "expected \"Definition=\" in " + quoted(tag) + ", found the end of the file");
    ColumnMap map = map_columns(names);
    map.required = map.width;  // the definition may name more columns than rows hold
    const bool usable = map.complete();
    builder.set_has_time(map.has(Quantity::time));
    builder.begin_sweep(std::string(tag));
    bool closed = false;
    while (cursor.next(line)) {
      if (segment_tag(line.text, true) == tag) {
        closed = true;
        break;
      }
      if (blank(line.text) || !usable) continue;
      split_fields(line.text, ',', fields);
      if (auto error = add_row(fields, map, false, line.number, builder)) return unexpected(*error);
    }
    if (!closed)
      return fail_at_line(cursor.line_number(), "expected \"</" + std::string(tag) + ">\" to close the segment opened on line " +
                                                    std::to_string(opened) + ", found the end of the file");
    have_line = cursor.next(line);
  }
  if (segments == 0) return fail_at_line(cursor.line_number(), "expected a <SegmentN> data block, found none");
  return finish_sweeps(builder, cursor.line_number(), "a segment with a frequency column");
}

}  // namespace kelvora::readers
