#pragma once
// Reading measured spectra from potentiostat export files.
//
// Every function here takes the whole file as bytes and returns the sweeps
// it holds or a ReadError; none throws, none reads outside the buffer, and
// the memory used is a small multiple of the file size.
#include <optional>
#include <string_view>

#include "readers/spectrum_file.h"

namespace kelvora::readers {

enum class Format {
  gamry,          // Gamry Framework .DTA
  biologic_mpt,   // EC-Lab text export
  biologic_mpr,   // EC-Lab binary
  zplot,          // ZPlot/ZView .z, ZPlotW and Z60W text
  autolab,        // NOVA ASCII export, FRA .dfr
  versastudio,    // VersaStudio .par
  powersuite,     // PowerSuite text export
  parstat,        // Parstat/VersaStudio text export
  chi,            // CH Instruments text
  zahner,         // Zahner Thales .ism
  palmsens,       // PSTrace .pssession
  csv,            // delimited text with recognisable column names
};
inline constexpr int kFormatCount = 12;

// The name used by format= ("gamry", "biologic_mpt", ...).
std::string_view format_name(Format format);
std::optional<Format> format_from_name(std::string_view name);
// "'gamry', 'biologic_mpt', ..." for messages.
std::string format_names_listed();

// The format the content shows; `extension` (".DTA", with the dot, any
// case, or empty) breaks ties only.  Nothing when no reader recognises it.
std::optional<Format> detect_format(std::string_view bytes, std::string_view extension);

// Reads with the named format's reader, which refuses content of another
// format; without a format, detects it first.
ReadResult read_spectra(std::string_view bytes, std::optional<Format> format, std::string_view extension);

// The individual readers (used by read_spectra and the fuzz target).
ReadResult read_gamry(std::string_view bytes);
ReadResult read_biologic_mpt(std::string_view bytes);
ReadResult read_biologic_mpr(std::string_view bytes);
ReadResult read_zplot(std::string_view bytes);
ReadResult read_autolab(std::string_view bytes);
ReadResult read_versastudio(std::string_view bytes);
ReadResult read_powersuite(std::string_view bytes);
ReadResult read_parstat(std::string_view bytes);
ReadResult read_chi(std::string_view bytes);
ReadResult read_zahner(std::string_view bytes);
ReadResult read_palmsens(std::string_view bytes);
ReadResult read_csv(std::string_view bytes);

}  // namespace kelvora::readers
