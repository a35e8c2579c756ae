#pragma once
// Column names to quantities, and the assembly of rows into sweeps.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "readers/spectrum_file.h"

namespace kelvora::readers {

enum class Quantity { frequency, real, imag, modulus, phase, time, cycle };

// What a column name says: the quantity, and the factor that turns its
// values into Hz, ohm (physical sign), radians or seconds.  Names are
// compared without case, spaces or underscores; a unit may follow as
// "/unit", "(unit)", "[unit]" or directly ("frequency_hertz").  A leading
// '-' negates ("-Z''", "-Im(Z)/Ohm", "-Phase (°)").
struct ColumnMeaning {
  Quantity quantity;
  double factor;
};
std::optional<ColumnMeaning> column_meaning(std::string_view name);

// Where each quantity sits in a row.
struct ColumnMap {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t index[7] = {kNone, kNone, kNone, kNone, kNone, kNone, kNone};
  double factor[7] = {1, 1, 1, 1, 1, 1, 1};
  bool used[7] = {};  // read from each row (modulus and phase only without real and imaginary part)
  std::size_t width = 0;     // fields the used columns need
  std::size_t required = 0;  // fields a row must have (all named columns)
  std::vector<std::string> names;

  std::size_t at(Quantity q) const { return index[static_cast<int>(q)]; }
  bool has(Quantity q) const { return at(q) != kNone; }
  // Frequency and either real and imaginary part or modulus and phase.
  bool complete() const;
};
ColumnMap map_columns(const std::vector<std::string_view>& names);
// "expected a frequency column ... among the column names ..." for a map
// that is not complete.
std::string missing_columns(const ColumnMap& map);

// Collects points into sweeps.  Frequencies are 0 Hz or more (readers
// refuse negative ones where they can name the place); points at 0 Hz (the
// DC records some instruments interleave) are dropped.  A new sweep starts at begin_sweep(),
// when the cycle number changes, or (when split_on_restart is set) when the
// frequency comes back to the first frequency of the current sweep.
class SweepBuilder {
 public:
  void set_split_on_restart(bool on) { split_on_restart_ = on; }
  void set_has_time(bool on) { has_time_ = on; }
  void set_has_cycle(bool on) { has_cycle_ = on; }
  void begin_sweep(std::string label = {});
  void add(double frequency, double real, double imag, double time, double cycle);
  void reserve(std::size_t n);
  // The sweeps with at least one point.
  std::vector<SpectrumRecord> finish();

 private:
  void close();
  std::vector<SpectrumRecord> done_;
  SpectrumRecord current_;
  bool split_on_restart_ = false;
  bool has_time_ = false;
  bool has_cycle_ = false;
  bool open_ = false;
  std::size_t reserve_ = 0;
};

// Where a file's numbers first showed a decimal point and a decimal comma.
// A file that writes "12.5" in one place and "10,000" in another groups
// thousands with the comma: read as a decimal comma it would give 10.
struct DecimalMarks {
  std::size_t point_line = 0;
  std::size_t comma_line = 0;
};

// Reads the values of one row by the map into the builder.  The row holds
// `map.required` fields or more, and nothing but empty fields after the
// named columns.  With `decimal_comma` and `marks`, the numbers of all rows
// passed the same `marks` must use one decimal mark.  On failure an error
// naming the line, the column and what was found.
std::optional<ReadError> add_row(const std::vector<std::string_view>& fields, const ColumnMap& map,
                                 bool decimal_comma, std::size_t line, SweepBuilder& out,
                                 DecimalMarks* marks = nullptr);

// Every reader's last step: at least one sweep with points.
ReadResult finish_sweeps(SweepBuilder& builder, std::size_t line, const char* what);

}  // namespace kelvora::readers
