// The text layer of the readers: column names to quantities and factors,
// numbers with either decimal mark, line ends, encodings, and the JSON
// reader's limits.
#include <cmath>
#include <cstdio>
#include <string>

#include "readers/columns.h"
#include "readers/json.h"
#include "readers/readers.h"
#include "readers/text.h"

#include "check.h"

using namespace kelvora::readers;

#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static bool means(std::string_view name, Quantity q, double factor) {
  const auto m = column_meaning(name);
  return m && m->quantity == q && std::fabs(m->factor - factor) <= 1e-15 * std::fabs(factor);
}

static void column_names() {
  constexpr double deg = 0.017453292519943295;
  CHECK(means("freq/Hz", Quantity::frequency, 1));
  CHECK(means("Frequency (kHz)", Quantity::frequency, 1e3));
  CHECK(means("frequency_hertz", Quantity::frequency, 1));
  CHECK(means("Re(Z)/Ohm", Quantity::real, 1));
  CHECK(means("-Im(Z)/Ohm", Quantity::imag, -1));
  CHECK(means("Z''(b)", Quantity::imag, 1));
  CHECK(means("Z\"/ohm", Quantity::imag, 1));
  CHECK(means("-Z'' (\xCE\xA9)", Quantity::imag, -1));
  CHECK(means("Zre (ohms)", Quantity::real, 1));
  CHECK(means("Z' (mOhm)", Quantity::real, 1e-3));
  CHECK(means("|Z| (MOhm)", Quantity::modulus, 1e6));
  CHECK(means("Z/ohm", Quantity::modulus, 1));
  CHECK(means("-Phase (\xC2\xB0)", Quantity::phase, -deg));
  CHECK(means("phase_degree", Quantity::phase, deg));
  CHECK(means("Phase/rad", Quantity::phase, 1));
  CHECK(means("Time(Sec)", Quantity::time, 1));
  CHECK(means("time_second", Quantity::time, 1));
  CHECK(means("cycle number", Quantity::cycle, 1));
  // Neighbours that are not impedance columns.
  for (const char* other : {"Im(Y)/Ohm-1", "Re(Zce)/Ohm", "-Im(Zwe-ce)/Ohm", "Phase(Zce)/deg", "|Zce|/Ohm", "Zsig",
                            "ZrealDrCor", "I Range", "Ampl", "Cs/\xC2\xB5" "F", "|Ewe|/V", "Idc", "Z Real2"})
    CHECK(!column_meaning(other));
}

static void numbers() {
  CHECK(parse_number("1.5E+003", false) == 1500.0);
  CHECK(parse_number(" +2.5 ", false) == 2.5);
  CHECK(parse_number("50015,62", true) == 50015.62);
  CHECK(!parse_number("50015,62", false));
  CHECK(!parse_number("1.000,5", true));
  CHECK(!parse_number("1,2,3", true));
  CHECK(!parse_number("nan", false) && !parse_number("inf", false) && !parse_number("", false));
  CHECK(!parse_number("1e400", false));
  CHECK(!parse_number("1.0x", false));
  CHECK(parse_number("-0", false) == 0.0 && std::signbit(*parse_number("-0", false)));
  CHECK(parse_number("1e-310", false) == 1e-310);  // subnormal
  CHECK(!parse_number("+-1", false) && !parse_number("++1", false) && !parse_number("+-1,5", true));
}

static void lines_and_encodings() {
  for (std::string_view text : {"a\nb\n", "a\r\nb\r\n", "a\r\r\nb", "a\rb\r"}) {
    LineCursor cursor(text);
    Line a, b, c;
    CHECK(cursor.next(a) && a.text == "a" && a.number == 1);
    CHECK(cursor.next(b) && b.text == "b" && b.number == 2);
    CHECK(!cursor.next(c));
  }
  CHECK(decode_text("\xEF\xBB\xBFok").view == "ok");
  CHECK(decode_text("\xB5\xB0").view == "\xC2\xB5\xC2\xB0");             // Latin-1
  CHECK(decode_text("\x80").view == "\xE2\x82\xAC");                     // cp1252 euro sign
  CHECK(decode_text(std::string_view("\xFF\xFE{\0\xA9\x03", 6)).view == "{\xCE\xA9");  // UTF-16 LE
  std::vector<std::string_view> fields;
  split_fields("\ta\t b \t\"c d\"\t", '\t', fields);
  CHECK(fields.size() == 4 && fields[0].empty() && fields[1] == "a" && fields[2] == "b" && fields[3] == "c d");
  split_fields("  Freq(Hz)    Ampl  ", ' ', fields);
  CHECK(fields.size() == 2 && fields[1] == "Ampl");
}

static void json_limits() {
  json::Value v;
  json::ParseError e;
  CHECK(json::parse(R"({"a": [1, -2.5e3, "x\"y", true, null], "b": {}})", v, e));
  CHECK(v.find("a") && v.find("a")->items.size() == 5 && v.find("a")->items[1].number == -2500.0);
  CHECK(v.find("a")->items[2].text() == "x\"y");
  std::string deep(200, '[');
  CHECK(!json::parse(deep, v, e) && e.expected.find("levels of nesting") != std::string::npos);
  CHECK(!json::parse(R"({"a": 1,})", v, e) && e.offset == 8);
  CHECK(!json::parse("\"open", v, e));
}

static void formats() {
  for (int f = 0; f < kFormatCount; ++f) {
    const auto format = static_cast<Format>(f);
    CHECK(format_from_name(format_name(format)) == format);
  }
  CHECK(!format_from_name("excel"));
  CHECK(detect_format("EXPLAIN\nTAG\tEISPOT\n", "") == Format::gamry);
  CHECK(detect_format("Frequency\t Zre\t Zimg\n", "") == Format::powersuite);
  CHECK(detect_format("# comment\nf,Z',Z''\n1,2,3\n", "") == Format::csv);
  CHECK(!detect_format("hello\n", ".txt"));
  const ReadError line_error{12, kNoPosition, "expected x"};
  CHECK(describe(line_error, "a.txt") == "\"a.txt\", line 12: expected x");
  const ReadError byte_error{0, 34, "expected y"};
  CHECK(describe(byte_error, "b.mpr") == "\"b.mpr\", byte offset 34: expected y");
}

int main() {
  column_names();
  numbers();
  lines_and_encodings();
  json_limits();
  formats();
  return test::finish();
}
