#include "batch/fit_batch.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "fit/cancellation.h"
#include "fit/fit_inputs.h"
#include "fit/fit_method.h"

namespace kelvora {
namespace {

// How often a running fit looks at the stop flag: the flag is an atomic
// load, so the interval only bounds the clock reads.
constexpr std::chrono::milliseconds kCancelInterval(10);

bool present(const BatchSpectrum& s) { return s.frequencies != nullptr && s.impedances != nullptr; }

}  // namespace

FitBatch::FitBatch(BatchJob job, std::vector<BatchSpectrum> spectra)
    : job_(std::move(job)), spectra_(std::move(spectra)), slots_(spectra_.size()) {
  // Slots without a spectrum are done from the start.
  done_ = static_cast<std::size_t>(std::count_if(spectra_.begin(), spectra_.end(), [](const auto& s) {
    return !present(s);
  }));
}

FitBatch::~FitBatch() {
  cancel();
  join();
}

void FitBatch::start() {
  const std::size_t pending = spectra_.size() - done();
  const std::size_t count = job_.chain ? std::min<std::size_t>(pending, 1) : std::min(pending, job_.threads);
  {
    std::lock_guard lock(mutex_);
    running_ = count;
  }
  for (std::size_t w = 0; w < count; ++w) {
    try {
      workers_.emplace_back([this] { job_.chain ? run_chain() : work(); });
    } catch (const std::system_error&) {
      // Fewer workers than asked: those running take the rest.
      std::lock_guard lock(mutex_);
      running_ -= count - w;
      if (running_ == 0) finished_.notify_all();
      if (workers_.empty()) throw;
      break;
    }
  }
}

bool FitBatch::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return finished_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

void FitBatch::join() { workers_.clear(); }

BatchSlot FitBatch::fit_one(std::size_t i, const SeriesList* chained_start) {
  const BatchSpectrum& s = spectra_[i];
  try {
    BatchFit fit;
    if (chained_start) {
      fit.start = *chained_start;
      fit.start_kind = BatchStart::Chained;
    } else if (job_.guess) {
      auto guessed = guessed_start(*job_.circuit, *job_.constraints, *s.frequencies, *s.impedances, job_.weights_path);
      if (!guessed) return std::move(guessed.error());
      fit.start = std::move(*guessed);
      fit.start_kind = BatchStart::Guessed;
    } else {
      fit.start = *job_.circuit;
    }
    auto outcome = run_fit_method(
        job_.method, FitInputs{fit.start, *s.frequencies, *s.impedances, job_.weighting, job_.constraints},
        job_.settings);
    if (!outcome) return std::move(outcome.error());
    fit.outcome = std::move(outcome.value());
    return fit;
  } catch (const FitCancelled&) {
    throw;
  } catch (...) {
    return std::current_exception();
  }
}

void FitBatch::work() {
  Cancellation cancellation([this] { return cancelled(); }, kCancelInterval);
  CancellationScope scope(cancellation);
  try {
    for (;;) {
      if (cancelled()) break;
      const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= spectra_.size()) break;
      if (!present(spectra_[i])) continue;
      slots_[i] = fit_one(i, nullptr);
      finish_one();
    }
  } catch (const FitCancelled&) {
    // the slot being fitted stays empty
  }
  std::lock_guard lock(mutex_);
  if (--running_ == 0) finished_.notify_all();
}

void FitBatch::run_chain() {
  Cancellation cancellation([this] { return cancelled(); }, kCancelInterval);
  CancellationScope scope(cancellation);
  try {
    std::optional<SeriesList> previous;  // the circuit of the last fit that succeeded
    for (std::size_t i = 0; i < spectra_.size() && !cancelled(); ++i) {
      if (!present(spectra_[i])) continue;
      slots_[i] = fit_one(i, previous ? &*previous : nullptr);
      if (const auto* fit = std::get_if<BatchFit>(&slots_[i]); fit && fit->outcome.success)
        previous = fit->outcome.circuit;
      finish_one();
    }
  } catch (const FitCancelled&) {
  }
  std::lock_guard lock(mutex_);
  if (--running_ == 0) finished_.notify_all();
}

}  // namespace kelvora
