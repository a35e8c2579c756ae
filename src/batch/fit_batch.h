#pragma once
// Fitting one circuit to many spectra on native threads.
//
// States of a FitBatch:
//   built    -- the job and the slots are set, no thread runs;
//   running  -- start() has launched the workers; they take the next slot
//               from an atomic counter, so fits of uneven cost spread evenly;
//   finished -- every worker has returned: all slots are done, or cancel()
//               stopped them early (a fit in progress ends at its next
//               residual evaluation, slots not started stay empty);
//   joined   -- join() has joined the threads; slots() may be read.
// The destructor cancels and joins, so a batch never outlives its threads.
//
// Each fit runs exactly as Circuit.fit runs it (guessed_start when the batch
// guesses, then run_fit_method) and writes into its own slot, so results
// keep the input order and equal those of one fit at a time.  In chain mode
// one worker runs the slots in order, each fit starting from the values of
// the previous fit that succeeded (the first, and any before a success, from
// the usual start).
//
// The caller polls from its own thread: wait_for() returns when the batch
// has finished or the timeout has passed, done() counts the slots finished.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "circuit/constraints.h"
#include "circuit/node.h"
#include "fit/fit_outcome.h"
#include "fit/fit_settings.h"
#include "fit/weighting.h"
#include "models/guess_params.h"
#include "support/complex.h"
#include "support/large_stack_thread.h"

namespace kelvora {

// What every fit of a batch shares.  The circuit and constraints are
// borrowed: the caller keeps them alive until join().
struct BatchJob {
  const SeriesList* circuit = nullptr;            // its current values are the given start
  const ParamConstraints* constraints = nullptr;  // bounds and fixed set of the circuit
  std::string method;                             // a name of fit_methods()
  FitSettings settings;
  Weighting weighting = Weighting::Modulus;
  bool guess = false;                       // each fit starts from guessed_start on its spectrum
  std::optional<std::string> weights_path;  // the weight file the guess reads; none: the registry
  bool chain = false;                       // one worker, each fit from the previous success
  std::size_t threads = 1;                  // workers at most (>= 1); chain mode uses one
};

// One measured spectrum, borrowed; both null for a slot that is not fitted
// (its spectrum could not be read).
struct BatchSpectrum {
  const std::vector<double>* frequencies = nullptr;  // hertz
  const std::vector<Complex>* impedances = nullptr;  // same length
};

// Where a fit's start values came from.
enum class BatchStart { Given, Guessed, Chained };

struct BatchFit {
  FitOutcome outcome;
  SeriesList start;  // the circuit the fit started from
  BatchStart start_kind = BatchStart::Given;
};

// What a slot ends in: empty (not fitted, or stopped), the fit, the fit's or
// the guess's error value, or a C++ exception that escaped the fit
// (std::bad_alloc, a broken invariant), kept to be raised by the caller.
using BatchSlot = std::variant<std::monostate, BatchFit, FitFailure, GuessFailure, std::exception_ptr>;

class FitBatch {
 public:
  FitBatch(BatchJob job, std::vector<BatchSpectrum> spectra);
  ~FitBatch();
  FitBatch(const FitBatch&) = delete;
  FitBatch& operator=(const FitBatch&) = delete;

  // Launches the workers.  Throws std::system_error when not even one
  // thread can be started.
  void start();
  // true once every worker has returned; waits at most `timeout`.
  bool wait_for(std::chrono::milliseconds timeout);
  // Slots finished so far, those not to be fitted included.
  std::size_t done() const { return done_.load(std::memory_order_relaxed); }
  std::size_t size() const { return spectra_.size(); }
  // Asks the workers to stop; returns at once.
  void cancel() { stop_.store(true, std::memory_order_relaxed); }
  bool cancelled() const { return stop_.load(std::memory_order_relaxed); }
  void join();
  // One per spectrum, in input order; read after join().
  std::vector<BatchSlot>& slots() { return slots_; }

 private:
  void work();
  void run_chain();
  BatchSlot fit_one(std::size_t i, const SeriesList* chained_start);
  void finish_one() { done_.fetch_add(1, std::memory_order_relaxed); }

  BatchJob job_;
  std::vector<BatchSpectrum> spectra_;
  std::vector<BatchSlot> slots_;
  std::atomic<std::size_t> next_{0};  // the next slot a worker takes
  std::atomic<std::size_t> done_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  std::size_t running_ = 0;  // workers not yet returned; guarded by mutex_
  std::vector<LargeStackThread> workers_;
};

}  // namespace kelvora
