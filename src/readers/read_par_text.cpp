// Princeton Applied Research text exports.
//  - PowerSuite: a header "Frequency<TAB> Zre<TAB> Zimg" and tab-separated
//    rows (line ends may be CR CR LF).
//  - Parstat / VersaStudio text: one header row with "Frequency (Hz)",
//    "Zre (ohms)", "Zim (ohms)" among other columns; rows of DC steps carry
//    frequency 0 and are left out.
// Both keep the imaginary part's physical sign.  Where the frequency
// returns to the first frequency of a sweep (an experiment of several
// impedance steps, or a second run pasted below the first), a new sweep
// starts.
#include "readers/readers.h"
#include "readers/table.h"

namespace kelvora::readers {
namespace {

bool has_names(const std::vector<std::string_view>& names, std::initializer_list<std::string_view> wanted) {
  for (std::string_view w : wanted) {
    bool found = false;
    for (std::string_view n : names) found = found || n == w;
    if (!found) return false;
  }
  return true;
}

ReadResult read_headed(std::string_view bytes, std::initializer_list<std::string_view> wanted, const char* refusal_text,
                       const char* what) {
  const Text text = decode_text(bytes);
  LineCursor cursor(text.view);
  Line line;
  if (!first_nonblank(cursor, line)) return fail_at_line(0, std::string("expected ") + refusal_text + ", found an empty file");
  std::vector<std::string_view> names;
  split_fields(line.text, '\t', names);
  if (!has_names(names, wanted)) return unexpected(refusal(line, refusal_text));
  TableOptions options;
  options.separator = '\t';
  options.decimal_comma = true;
  options.split_on_restart = true;  // a second impedance step, or a run pasted below the first
  options.what = what;
  return read_rows(cursor, line, names, options);
}

}  // namespace

ReadResult read_powersuite(std::string_view bytes) {
  return read_headed(bytes, {"Frequency", "Zre", "Zimg"},
                     "the PowerSuite column names \"Frequency\", \"Zre\", \"Zimg\" on the first line", "a sweep");
}

ReadResult read_parstat(std::string_view bytes) {
  return read_headed(bytes, {"Frequency (Hz)", "Zre (ohms)", "Zim (ohms)"},
                     "the Parstat column names \"Frequency (Hz)\", \"Zre (ohms)\", \"Zim (ohms)\" on the first line",
                     "an impedance step");
}

}  // namespace kelvora::readers
