#pragma once
// Number formats used in text forms and messages.  All use the shortest
// digit string that reads back to the same double (std::to_chars).
#include <string>

namespace kelvora {

// Element text form and FitResult params: scientific when the value is
// non-zero and |x| < 1e-4 or |x| >= 1e16 ("1e-6", "2.5e-5", "1e16"), plain
// decimal with at least one digit after the point otherwise ("1.0", "0.001").
// NaN, inf, -inf; negative zero is "-0.0".
std::string format_element_number(double x);

// Compact format of circuit summaries: plain decimal without a trailing ".0"
// when x is zero, infinite or 1e-4 <= |x| < 1e6 ("1", "0.0001", "250000");
// scientific otherwise ("1e-5", "1.234567e6").  NaN prints as "NaN".
std::string format_compact(double x);

// Six digits after the point, exponent without '+' or leading zeros:
// "1.234568e-3", "0.000000e0".  NaN prints as "NaN", infinities as "inf"/"-inf".
std::string format_scientific6(double x);

}  // namespace kelvora
