#pragma once
// The impedance-evaluation counter of one call: every evaluation of a
// residual vector adds 1, atomically, on whichever thread runs it.  A fit
// reports the final count as impedance_evals.
#include <atomic>
#include <cstdint>

namespace kelvora {

using EvaluationCounter = std::atomic<std::uint64_t>;

}  // namespace kelvora
