#include "readers/json.h"

#include <charconv>
#include <cmath>

namespace kelvora::readers::json {
namespace {

class Parser {
 public:
  Parser(std::string_view text, ParseError& error) : s_(text), error_(error) {}

  bool document(Value& out) {
    if (!value(out, 0)) return false;
    skip_space();
    if (i_ != s_.size()) return fail("expected the end of the text after the JSON value");
    return true;
  }

 private:
  bool fail(std::string expected) {
    error_ = ParseError{i_, std::move(expected)};
    return false;
  }

  void skip_space() {
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') ++i_;
      else if (s_.substr(i_, 3) == "\xEF\xBB\xBF") i_ += 3;  // stray byte-order marks
      else break;
    }
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return fail("expected a JSON value");
    i_ += word.size();
    return true;
  }

  bool value(Value& out, int depth) {
    skip_space();
    if (i_ >= s_.size()) return fail("expected a JSON value, found the end of the text");
    out.offset = i_;
    switch (s_[i_]) {
      case '{': return object(out, depth);
      case '[': return array(out, depth);
      case '"':
        out.kind = Value::Kind::string;
        return string(out.raw);
      case 't':
        out.kind = Value::Kind::boolean;
        out.boolean = true;
        return literal("true");
      case 'f':
        out.kind = Value::Kind::boolean;
        return literal("false");
      case 'n':
        out.kind = Value::Kind::null;
        return literal("null");
      default:
        out.kind = Value::Kind::number;
        return number(out.number);
    }
  }

  bool string(std::string_view& raw) {
    const std::size_t start = ++i_;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == '"') {
        raw = s_.substr(start, i_ - start);
        ++i_;
        return true;
      }
      if (c == '\\') {
        if (i_ + 1 >= s_.size()) break;
        i_ += 2;
        continue;
      }
      if (static_cast<unsigned char>(c) < 0x20) return fail("expected a closing quote, found a control character in a string");
      ++i_;
    }
    i_ = s_.size();
    return fail("expected a closing quote, found the end of the text");
  }

  bool number(double& out) {
    const std::size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    while (i_ < s_.size() && ((s_[i_] >= '0' && s_[i_] <= '9') || s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E' ||
                              s_[i_] == '+' || s_[i_] == '-'))
      ++i_;
    if (i_ == start) return fail("expected a JSON value");
    const auto [end, ec] = std::from_chars(s_.data() + start, s_.data() + i_, out);
    if (ec != std::errc() || end != s_.data() + i_ || !std::isfinite(out)) {
      i_ = start;
      return fail("expected a number");
    }
    return true;
  }

  bool array(Value& out, int depth) {
    if (depth >= kMaxDepth) return fail("expected at most " + std::to_string(kMaxDepth) + " levels of nesting");
    out.kind = Value::Kind::array;
    ++i_;
    skip_space();
    if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
    while (true) {
      out.items.emplace_back();
      if (!value(out.items.back(), depth + 1)) return false;
      skip_space();
      if (i_ >= s_.size()) return fail("expected ',' or ']', found the end of the text");
      if (s_[i_] == ']') return ++i_, true;
      if (s_[i_] != ',') return fail("expected ',' or ']' in an array");
      ++i_;
    }
  }

  bool object(Value& out, int depth) {
    if (depth >= kMaxDepth) return fail("expected at most " + std::to_string(kMaxDepth) + " levels of nesting");
    out.kind = Value::Kind::object;
    ++i_;
    skip_space();
    if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
    while (true) {
      skip_space();
      if (i_ >= s_.size() || s_[i_] != '"') return fail("expected a member name in double quotes");
      std::string_view key;
      if (!string(key)) return false;
      skip_space();
      if (i_ >= s_.size() || s_[i_] != ':') return fail("expected ':' after a member name");
      ++i_;
      out.members.push_back(Member{key, Value{}});
      if (!value(out.members.back().value, depth + 1)) return false;
      skip_space();
      if (i_ >= s_.size()) return fail("expected ',' or '}', found the end of the text");
      if (s_[i_] == '}') return ++i_, true;
      if (s_[i_] != ',') return fail("expected ',' or '}' in an object");
      ++i_;
    }
  }

  std::string_view s_;
  std::size_t i_ = 0;
  ParseError& error_;
};

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const Value* Value::find(std::string_view key) const {
  for (const Member& m : members)
    if (m.key == key) return &m.value;
  return nullptr;
}

std::string Value::text() const {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 >= raw.size()) {
      out.push_back(raw[i]);
      continue;
    }
    const char e = raw[++i];
    switch (e) {
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'u': {
        unsigned code = 0;
        bool ok = i + 4 < raw.size();
        for (std::size_t k = 1; ok && k <= 4; ++k) {
          const int h = hex(raw[i + k]);
          ok = h >= 0;
          code = code * 16 + static_cast<unsigned>(h < 0 ? 0 : h);
        }
        if (!ok || (code >= 0xD800 && code < 0xE000)) code = 0xFFFD;  // surrogates are not paired here
        if (ok) i += 4;
        if (code < 0x80) {
          out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
          out.push_back(static_cast<char>(0xC0 | (code >> 6)));
          out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
          out.push_back(static_cast<char>(0xE0 | (code >> 12)));
          out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
          out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
        break;
      }
      default: out.push_back(e); break;  // \" \\ \/
    }
  }
  return out;
}

bool parse(std::string_view text, Value& out, ParseError& error) {
  Parser p(text, error);
  return p.document(out);
}

}  // namespace kelvora::readers::json
