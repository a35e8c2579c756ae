#include "circuit/parser.h"

#include <set>

#include "circuit/tree.h"
#include "support/quote.h"

namespace kelvora {
namespace {

bool is_ascii_letter(char32_t c) { return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z'); }
bool is_ascii_digit(char32_t c) { return c >= U'0' && c <= U'9'; }

// Recursive descent over code points.  Groups recurse once per nesting
// level; deeper than kMaxNestingDepth, or than the calling thread's stack
// allows (nesting_limit), is refused with TooDeep.
class Parser {
 public:
  Parser(std::u32string_view text, bool relaxed) : s_(text), relaxed_(relaxed), limit_(nesting_limit()) {}

  Expected<SeriesList, ParseError> run() {
    SeriesList nodes;
    if (!parse_series(nodes, 0)) return unexpected(error_);
    if (pos_ != s_.size()) return unexpected(ParseError{ParseError::Kind::TrailingInput, pos_, {}});
    if (relaxed_) return nodes;
    std::set<std::string> seen;
    for (const LeafRef& leaf : collect_leaves(nodes)) {
      const std::string& label = **leaf.label;
      if (!seen.insert(label).second) return unexpected(ParseError{ParseError::Kind::DuplicateLabel, 0, label});
    }
    return nodes;
  }

 private:
  bool at_end() const { return pos_ >= s_.size(); }

  bool fail(ParseError::Kind kind, std::size_t pos, std::string text = {}) {
    error_ = ParseError{kind, pos, std::move(text)};
    return false;
  }

  bool parse_series(SeriesList& out, std::size_t depth) {
    if (relaxed_ && (at_end() || s_[pos_] == U',' || s_[pos_] == U')')) return true;  // empty series
    if (!parse_term(out, depth)) return false;
    while (!at_end() && s_[pos_] == U'-') {
      ++pos_;
      if (!parse_term(out, depth)) return false;
    }
    return true;
  }

  bool parse_term(SeriesList& out, std::size_t depth) {
    if (!at_end() && s_[pos_] == U'(') {
      ++pos_;
      return parse_parallel_body(out, depth + 1);
    }
    if (pos_ + 1 < s_.size() && s_[pos_] == U'p' && s_[pos_ + 1] == U'(') {
      pos_ += 2;
      return parse_parallel_body(out, depth + 1);
    }
    return parse_element(out);
  }

  bool parse_parallel_body(SeriesList& out, std::size_t depth) {
    if (depth > limit_) {
      fail(ParseError::Kind::TooDeep, pos_ - 1);
      error_.limit = limit_;
      return false;
    }
    ParallelGroup group;
    if (relaxed_ && !at_end() && s_[pos_] == U')') {  // a group without branches
      ++pos_;
      out.push_back(Node{std::move(group)});
      return true;
    }
    group.branches.emplace_back();
    if (!parse_series(group.branches.back(), depth)) return false;
    while (!at_end() && s_[pos_] == U',') {
      ++pos_;
      group.branches.emplace_back();
      if (!parse_series(group.branches.back(), depth)) return false;
    }
    if (at_end()) return fail(ParseError::Kind::UnexpectedEnd, pos_);
    if (s_[pos_] != U')') return fail(ParseError::Kind::UnexpectedCharacter, pos_);
    ++pos_;
    out.push_back(Node{std::move(group)});
    return true;
  }

  bool parse_element(SeriesList& out) {
    if (at_end()) return fail(ParseError::Kind::UnexpectedEnd, pos_);
    if (!is_ascii_letter(s_[pos_])) return fail(ParseError::Kind::UnexpectedCharacter, pos_);
    const std::size_t code_start = pos_;
    while (!at_end() && is_ascii_letter(s_[pos_])) ++pos_;
    const std::size_t code_end = pos_;
    while (!at_end() && is_ascii_digit(s_[pos_])) ++pos_;
    if (pos_ == code_end) return fail(ParseError::Kind::UnexpectedCharacter, code_end);
    const std::u32string_view code = s_.substr(code_start, code_end - code_start);
    const auto element = default_for_code(code);
    if (!element) return fail(ParseError::Kind::UnknownElement, code_start, u32_to_utf8(code));
    out.push_back(Node{Leaf{*element, u32_to_utf8(s_.substr(code_start, pos_ - code_start))}});
    return true;
  }

  std::u32string_view s_;
  bool relaxed_;
  std::size_t limit_;
  std::size_t pos_ = 0;
  ParseError error_{ParseError::Kind::UnexpectedEnd, 0, {}};
};

}  // namespace

bool ParseError::has_position() const {
  return kind == Kind::UnexpectedCharacter || kind == Kind::UnknownElement || kind == Kind::TrailingInput ||
         kind == Kind::TooDeep;
}

std::string ParseError::message() const {
  switch (kind) {
    case Kind::UnexpectedCharacter:
      return "unexpected character at position " + std::to_string(position);
    case Kind::UnexpectedEnd:
      return "unexpected end of input";
    case Kind::UnknownElement:
      return "unknown element code " + quoted(text) + " at position " + std::to_string(position);
    case Kind::TrailingInput:
      return "unexpected trailing input at position " + std::to_string(position);
    case Kind::DuplicateLabel:
      return "duplicate element label " + quoted(text);
    case Kind::TooDeep:
      return "parallel groups nested deeper than " + std::to_string(limit) + " levels at position " +
             std::to_string(position) + (limit < kMaxNestingDepth ? " (the most this thread's stack holds)" : "");
  }
  return {};
}

Expected<SeriesList, ParseError> parse(std::u32string_view text) { return Parser(text, false).run(); }

Expected<SeriesList, ParseError> parse(std::string_view utf8) {
  const std::u32string text = utf8_to_u32(utf8);
  return parse(std::u32string_view(text));
}

}  // namespace kelvora

namespace kelvora {

Expected<SeriesList, ParseError> parse_relaxed(std::string_view utf8) {
  const std::u32string text = utf8_to_u32(utf8);
  return Parser(text, true).run();
}

}  // namespace kelvora
