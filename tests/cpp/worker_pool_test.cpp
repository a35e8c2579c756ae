// parallel_for: every index is visited once, and an exception thrown by a
// body -- on whichever thread -- reaches the caller instead of ending the
// process; the pool keeps working afterwards.
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/worker_pool.h"

#include "check.h"

using namespace kelvora;

#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static bool covers_each_index_once(std::size_t n, std::size_t grain) {
  std::vector<std::atomic<int>> seen(n);
  parallel_for(n, grain, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) seen[i].fetch_add(1);
  });
  for (const auto& s : seen)
    if (s.load() != 1) return false;
  return true;
}

template <class Exception>
static bool rethrown_on_the_caller(std::size_t n, std::size_t grain, std::size_t failing_index) {
  try {
    parallel_for(n, grain, [&](std::size_t b, std::size_t e) {
      if (b <= failing_index && failing_index < e) throw Exception("body failed");
    });
  } catch (const Exception&) {
    return true;
  }
  return false;
}

int main() {
  CHECK(covers_each_index_once(10000, 7));
  CHECK(covers_each_index_once(5, 100));  // a single range, run on the caller
  // The failing range is the caller's own (index 0), or one taken by a
  // worker (the last index), or a range of one.
  CHECK(rethrown_on_the_caller<std::runtime_error>(10000, 16, 0));
  CHECK(rethrown_on_the_caller<std::runtime_error>(10000, 16, 9999));
  CHECK(rethrown_on_the_caller<std::runtime_error>(3, 10, 1));
  // Every range throws.
  bool all = false;
  try {
    parallel_for(1000, 1, [](std::size_t, std::size_t) { throw std::logic_error("every range"); });
  } catch (const std::logic_error&) {
    all = true;
  }
  CHECK(all);
  // Nested calls: an inner failure leaves through the outer call.
  bool nested = false;
  try {
    parallel_for(64, 1, [](std::size_t b, std::size_t) {
      parallel_for(64, 1, [b](std::size_t ib, std::size_t) {
        if (b == 63 && ib == 63) throw std::runtime_error("inner");
      });
    });
  } catch (const std::runtime_error&) {
    nested = true;
  }
  CHECK(nested);
  CHECK(covers_each_index_once(10000, 3));  // still usable
  return test::finish();
}
