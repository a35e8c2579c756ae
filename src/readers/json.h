#pragma once
// A small JSON reader: enough for instrument session files.  Strings stay as
// views into the text (escapes are decoded only on request), numbers are
// doubles, and nesting is limited so that hostile input cannot exhaust the
// stack.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora::readers::json {

struct Member;

struct Value {
  enum class Kind { null, boolean, number, string, array, object };
  Kind kind = Kind::null;
  std::size_t offset = 0;  // where the value starts in the text
  bool boolean = false;
  double number = 0.0;
  std::string_view raw;  // string contents without the quotes, escapes undecoded
  std::vector<Value> items;
  std::vector<Member> members;

  // The member named `key` (compared with the undecoded key), or null.
  const Value* find(std::string_view key) const;
  bool is(Kind k) const { return kind == k; }
  // The decoded string.
  std::string text() const;
};

struct Member {
  std::string_view key;  // undecoded
  Value value;
};

struct ParseError {
  std::size_t offset;    // byte offset in the text
  std::string expected;  // "expected ..."
};

inline constexpr int kMaxDepth = 128;

// Parses one value that spans the whole text (white space around allowed).
bool parse(std::string_view text, Value& out, ParseError& error);

}  // namespace kelvora::readers::json
