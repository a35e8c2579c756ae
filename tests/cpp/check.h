#pragma once
// The few helpers the C++ unit tests share: a failure count, a named check,
// and the exit status.
#include <cstdio>
#include <string>

namespace test {

inline int failures = 0;

inline void check(bool ok, const std::string& what) {
  if (!ok) {
    std::printf("FAIL %s\n", what.c_str());
    ++failures;
  }
}

inline int finish() {
  if (failures) std::printf("%d failures\n", failures);
  return failures ? 1 : 0;
}

}  // namespace test
