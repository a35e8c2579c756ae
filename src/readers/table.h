#pragma once
// Helpers the text readers share.
#include <cstddef>
#include <string_view>
#include <vector>

#include "readers/columns.h"
#include "readers/text.h"

namespace kelvora::readers {

// How many lines from the top of a file the column names of delimited text
// may sit on: detection and the reader search the same lines.
inline constexpr std::size_t kHeaderSearchLines = 64;

struct TableOptions {
  char separator = '\t';
  bool decimal_comma = false;
  bool split_on_restart = false;
  const char* what = "a spectrum";  // for "expected <what> with at least one point"
};

// Reads the rows that follow a column-name line up to the end of the text.
// Blank lines are skipped; every other line must be a row.
ReadResult read_rows(LineCursor& cursor, const Line& header, const std::vector<std::string_view>& names,
                     const TableOptions& options);

// Column names separated by `separator`; with white space as separator, a
// unit in parentheses or brackets may stand apart from its name
// ("Freq (Hz)").
void split_names(std::string_view line, char separator, std::vector<std::string_view>& out);

// The separator a column-name line uses: tab, ';', ',' or white space, in
// that order of preference.
char guess_separator(std::string_view header);

// The first non-blank line, or false.
bool first_nonblank(LineCursor& cursor, Line& line);

// "expected <what>, found <first 40 characters of the line>".
ReadError refusal(const Line& line, const char* what);

}  // namespace kelvora::readers
