#include "readers/readers.h"

#include <exception>
#include <new>

#include "readers/columns.h"
#include "readers/table.h"
#include "readers/text.h"
#include "support/quote.h"

namespace kelvora::readers {

// Signatures defined next to their readers.
bool biologic_mpr_magic(std::string_view bytes);
bool zahner_marker(std::string_view bytes);
bool chi_header_line(const Line& line);
bool autolab_header_line(std::string_view line);
bool ec_lab_column_names(std::string_view line);

namespace {

struct FormatEntry {
  Format format;
  std::string_view name;
  ReadResult (*read)(std::string_view);
};

constexpr FormatEntry kFormats[kFormatCount] = {
    {Format::gamry, "gamry", read_gamry},
    {Format::biologic_mpt, "biologic_mpt", read_biologic_mpt},
    {Format::biologic_mpr, "biologic_mpr", read_biologic_mpr},
    {Format::zplot, "zplot", read_zplot},
    {Format::autolab, "autolab", read_autolab},
    {Format::versastudio, "versastudio", read_versastudio},
    {Format::powersuite, "powersuite", read_powersuite},
    {Format::parstat, "parstat", read_parstat},
    {Format::chi, "chi", read_chi},
    {Format::zahner, "zahner", read_zahner},
    {Format::palmsens, "palmsens", read_palmsens},
    {Format::csv, "csv", read_csv},
};

// How much of the start of a file detection looks at: these bytes, and of
// them the lines a reader searches (kHeaderSearchLines).
constexpr std::size_t kDetectBytes = 1 << 16;

bool has_fields(std::string_view line, std::initializer_list<std::string_view> wanted) {
  std::vector<std::string_view> names;
  split_fields(line, '\t', names);
  for (std::string_view w : wanted) {
    bool found = false;
    for (std::string_view n : names) found = found || n == w;
    if (!found) return false;
  }
  return true;
}

// Zahner files have no magic number beyond the marker; without it, the
// sample count must fit the file and the first frequency be plausible.
bool zahner_plausible(std::string_view bytes) {
  if (bytes.size() < 20) return false;
  return static_cast<bool>(read_zahner(bytes));
}

std::optional<Format> detect_text(std::string_view head) {
  const Text text = decode_text(head);
  LineCursor cursor(text.view);
  Line line;
  if (!first_nonblank(cursor, line)) return std::nullopt;
  const std::string_view first = trim(line.text);
  const std::string_view unquoted = trim_field(line.text);
  if (first == "EXPLAIN") return Format::gamry;
  if (starts_with_ci(first, "EC-Lab ASCII FILE")) return Format::biologic_mpt;
  if (starts_with_ci(unquoted, "ZPLOT2 ASCII") || starts_with_ci(unquoted, "ZPlotW Data File") ||
      starts_with_ci(unquoted, "Z60W Data File"))
    return Format::zplot;
  if (first == "<Application>") return Format::versastudio;
  if (!first.empty() && first.front() == '{' && text.view.find("\"Measurements\"") != std::string_view::npos)
    return Format::palmsens;
  if (has_fields(line.text, {"Frequency (Hz)", "Zre (ohms)", "Zim (ohms)"})) return Format::parstat;
  if (has_fields(line.text, {"Frequency", "Zre", "Zimg"})) return Format::powersuite;
  if (autolab_header_line(line.text)) return Format::autolab;
  if (starts_with_ci(first, "VERSION")) {
    Line count;
    if (cursor.next(count) && parse_number(count.text, false)) return Format::autolab;
  }
  if (ec_lab_column_names(line.text)) return Format::biologic_mpt;
  // Formats recognised by a line further down.
  bool chi = false;
  bool csv = false;
  do {
    chi = chi || chi_header_line(line);
    if (!csv && !blank(line.text)) {
      std::vector<std::string_view> names;
      split_names(line.text, guess_separator(line.text), names);
      csv = map_columns(names).complete();
    }
  } while (!chi && cursor.next(line) && line.number <= kHeaderSearchLines);
  if (chi) return Format::chi;
  if (csv) return Format::csv;
  return std::nullopt;
}

}  // namespace

std::string_view format_name(Format format) { return kFormats[static_cast<int>(format)].name; }

std::optional<Format> format_from_name(std::string_view name) {
  for (const FormatEntry& e : kFormats)
    if (e.name == name) return e.format;
  return std::nullopt;
}

std::string format_names_listed() {
  std::string out;
  for (const FormatEntry& e : kFormats) out += (out.empty() ? "'" : ", '") + std::string(e.name) + "'";
  return out;
}

std::optional<Format> detect_format(std::string_view bytes, std::string_view extension) {
  if (biologic_mpr_magic(bytes)) return Format::biologic_mpr;
  if (zahner_marker(bytes)) return Format::zahner;
  const std::string_view head = bytes.substr(0, std::min(bytes.size(), kDetectBytes));
  if (auto text = detect_text(head)) return text;
  if (has_utf16_bom(bytes) && equals_ci(extension, ".pssession")) return Format::palmsens;
  if (equals_ci(extension, ".ism") && zahner_plausible(bytes)) return Format::zahner;
  return std::nullopt;
}

ReadResult read_spectra(std::string_view bytes, std::optional<Format> format, std::string_view extension) {
  try {
    if (!format) format = detect_format(bytes, extension);
    // Delimited text that names no recognisable columns gets the table
    // reader's message, which says what it looked for.
    if (!format && !bytes.empty() && (equals_ci(extension, ".csv") || equals_ci(extension, ".tsv") || equals_ci(extension, ".txt")))
      format = Format::csv;
    if (!format) {
      if (bytes.empty()) return fail_at_line(0, "expected an impedance file, found an empty file");
      return fail_at_line(0, "expected a file in one of the formats " + format_names_listed() +
                                 ", found content none of them recognises");
    }
    return kFormats[static_cast<int>(*format)].read(bytes);
  } catch (const std::bad_alloc&) {
    return fail_at_line(0, "expected a file whose spectra fit in memory");
  } catch (const std::exception& e) {
    return fail_at_line(0, std::string("expected a readable file (") + e.what() + ")");
  }
}

std::string describe(const ReadError& error, std::string_view file) {
  std::string out = quoted(file);
  if (error.offset != kNoPosition) out += ", byte offset " + std::to_string(error.offset);
  else if (error.line) out += ", line " + std::to_string(error.line);
  return out + ": " + error.expected;
}

}  // namespace kelvora::readers
