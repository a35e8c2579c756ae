#pragma once
// The signature of Circuit.fit, from its parameter table (fit_parameters.def):
// the keyword list and argument format of its binding and the text signature
// that opens its docstring.
#include <array>
#include <cstddef>
#include <iterator>
#include <string_view>

namespace kelvora::py {

struct FitParameter {
  std::string_view name;
  std::string_view default_text;  // as the text signature shows it; empty when required
};

inline constexpr FitParameter kFitParameters[] = {
#define KELVORA_FIT_REQUIRED(name) {#name, ""},
#define KELVORA_FIT_PARAMETER(name, default_value, conversion, destination) {#name, #default_value},
#include "python/fit_parameters.def"
#undef KELVORA_FIT_REQUIRED
#undef KELVORA_FIT_PARAMETER
};
inline constexpr std::size_t kFitParameterCount = std::size(kFitParameters);

// Position of each parameter in kFitParameters: kFit_frequencies, ...
enum FitParameterIndex : std::size_t {
#define KELVORA_FIT_REQUIRED(name) kFit_##name,
#define KELVORA_FIT_PARAMETER(name, default_value, conversion, destination) kFit_##name,
#include "python/fit_parameters.def"
#undef KELVORA_FIT_REQUIRED
#undef KELVORA_FIT_PARAMETER
};

// The names, then a null pointer, as PyArg_ParseTupleAndKeywords takes them.
inline constexpr std::array<const char*, kFitParameterCount + 1> kFitKeywords = {
#define KELVORA_FIT_REQUIRED(name) #name,
#define KELVORA_FIT_PARAMETER(name, default_value, conversion, destination) #name,
#include "python/fit_parameters.def"
#undef KELVORA_FIT_REQUIRED
#undef KELVORA_FIT_PARAMETER
    nullptr,
};

namespace detail {

// Appends to a fixed buffer; with a null buffer it only counts.
struct TextWriter {
  char* out;
  std::size_t size = 0;
  constexpr void put(std::string_view text) {
    for (char c : text) {
      if (out) out[size] = c;
      ++size;
    }
  }
};

// "O|OO...O:fit": one object per parameter, the optional ones after '|'.
constexpr void write_fit_format(TextWriter& w) {
  bool optional = false;
  for (const FitParameter& p : kFitParameters) {
    if (!p.default_text.empty() && !optional) {
      w.put("|");
      optional = true;
    }
    w.put("O");
  }
  w.put(":fit");
}

// "fit($self, frequencies, impedances=None, ...)\n--\n\n" followed by `body`.
constexpr void write_fit_doc(TextWriter& w, std::string_view body) {
  w.put("fit($self");
  for (const FitParameter& p : kFitParameters) {
    w.put(", ");
    w.put(p.name);
    if (!p.default_text.empty()) {
      w.put("=");
      w.put(p.default_text);
    }
  }
  w.put(")\n--\n\n");
  w.put(body);
}

constexpr std::size_t fit_format_size() {
  TextWriter w{nullptr};
  write_fit_format(w);
  return w.size;
}

constexpr std::size_t fit_doc_size(std::string_view body) {
  TextWriter w{nullptr};
  write_fit_doc(w, body);
  return w.size;
}

}  // namespace detail

// The argument format, null-terminated.
inline constexpr auto kFitFormat = [] {
  std::array<char, detail::fit_format_size() + 1> text{};
  detail::TextWriter w{text.data()};
  detail::write_fit_format(w);
  return text;
}();

// The docstring: the text signature, then `body` (a string literal).
template <std::size_t N>
constexpr std::array<char, detail::fit_doc_size(std::string_view("", 0)) + N> fit_docstring(const char (&body)[N]) {
  std::array<char, detail::fit_doc_size(std::string_view("", 0)) + N> text{};
  detail::TextWriter w{text.data()};
  detail::write_fit_doc(w, std::string_view(body, N - 1));
  return text;
}

}  // namespace kelvora::py
