#pragma once
// The process-wide data-parallel worker pool.
//
// States: absent until the first parallel_for; then running with one worker
// thread per processor in the process's affinity mask, for the life of the
// process.  After fork() the child sees the pool as absent again (its worker
// threads did not survive the fork) and creates a new one on first use; the
// parent's pool object is abandoned in the child, never touched.
//
// parallel_for(n, grain, body) calls body(begin, end) over disjoint ranges
// covering [0, n).  The range is halved recursively: one half is offered to
// idle workers, the calling thread carries on with the other and helps with
// pending work while it waits.  Callers write results into preallocated slots
// indexed by position, so results do not depend on which thread ran what.
// Nested calls from inside a body are allowed.
#include <cstddef>
#include <functional>

namespace kelvora {

using RangeBody = std::function<void(std::size_t begin, std::size_t end)>;

// Ranges of at most `grain` items are not split further (grain >= 1).  A
// body may throw: once every range has finished, the first exception is
// rethrown on the calling thread (the results are then incomplete).
void parallel_for(std::size_t n, std::size_t grain, const RangeBody& body);

// Number of worker threads the pool has or would have.
std::size_t worker_count();

// True while the calling thread runs a parallel_for body.
bool in_parallel_body();

}  // namespace kelvora
