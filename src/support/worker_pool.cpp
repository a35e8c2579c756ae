#include "support/worker_pool.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "support/large_stack_thread.h"

namespace kelvora {
namespace {

std::size_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

thread_local int t_body_depth = 0;

// Marks the calling thread as running a parallel_for body.
struct BodyScope {
  BodyScope() { ++t_body_depth; }
  ~BodyScope() { --t_body_depth; }
};

void run_body(const RangeBody& body, std::size_t begin, std::size_t end) {
  BodyScope scope;
  body(begin, end);
}

// Completion count of one parallel_for call, and the first exception a
// body (or the splitting) threw, rethrown on the calling thread.
struct Join {
  std::size_t pending = 0;  // guarded by the pool mutex
  std::exception_ptr error; // guarded by the pool mutex
};

struct Task {
  const RangeBody* body;
  std::size_t begin, end, grain;
  Join* join;
};

class Pool {
 public:
  // Workers live for the life of the process (or until a fork abandons
  // them), so each is detached at once.  A worker the system refuses to
  // start is done without: the calling thread runs whatever is not taken.
  explicit Pool(std::size_t workers) {
    for (std::size_t i = 0; i < workers; ++i) {
      try {
        LargeStackThread([this] { work(); }).detach();
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  void run(std::size_t n, std::size_t grain, const RangeBody& body) {
    Join join;
    split(Task{&body, 0, n, grain, &join});
    std::unique_lock lock(mutex_);
    while (join.pending > 0) {
      if (!queue_.empty()) {
        Task t = queue_.back();  // newest first: the caller's own halves
        queue_.pop_back();
        lock.unlock();
        execute(t);
        lock.lock();
      } else {
        cv_.wait(lock);
      }
    }
    if (join.error) std::rethrow_exception(join.error);
  }

 private:
  // Offers halves of the range to the pool until it is small enough, then
  // runs the rest here.  An exception is kept for the caller of run(), never
  // let loose on a worker thread.
  void split(Task t) {
    try {
      while (t.end - t.begin > t.grain) {
        const std::size_t mid = t.begin + (t.end - t.begin) / 2;
        {
          std::lock_guard lock(mutex_);
          queue_.push_back(Task{t.body, mid, t.end, t.grain, t.join});
          ++t.join->pending;
        }
        cv_.notify_one();
        t.end = mid;
      }
      if (t.end > t.begin) run_body(*t.body, t.begin, t.end);
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!t.join->error) t.join->error = std::current_exception();
    }
  }

  void execute(const Task& t) {
    split(t);
    {
      std::lock_guard lock(mutex_);
      --t.join->pending;
    }
    cv_.notify_all();
  }

  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return !queue_.empty(); });
      Task t = queue_.front();  // oldest first: the largest pending halves
      queue_.pop_front();
      lock.unlock();
      execute(t);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> queue_;
};

// The pool pointer and the mutex that guards its creation.  A forked child
// inherits neither running workers nor a usable lock state, so the child
// handler forgets the pool (leaking the parent's object, whose mutex may be
// held by a thread that no longer exists) and reinitialises the lock.
std::atomic<Pool*> g_pool{nullptr};
pthread_mutex_t g_create = PTHREAD_MUTEX_INITIALIZER;
std::once_flag g_atfork_once;

void after_fork_in_child() {
  g_pool.store(nullptr, std::memory_order_relaxed);
  pthread_mutex_init(&g_create, nullptr);
}

Pool& pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (p) return *p;
  std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, after_fork_in_child); });
  pthread_mutex_lock(&g_create);
  p = g_pool.load(std::memory_order_acquire);
  if (!p) {
    try {
      p = new Pool(available_processors());
    } catch (...) {
      pthread_mutex_unlock(&g_create);
      throw;
    }
    g_pool.store(p, std::memory_order_release);
  }
  pthread_mutex_unlock(&g_create);
  return *p;
}

}  // namespace

void parallel_for(std::size_t n, std::size_t grain, const RangeBody& body) {
  if (n == 0) return;
  if (grain == 0) grain = 1;
  if (n <= grain) {
    run_body(body, 0, n);
    return;
  }
  pool().run(n, grain, body);
}

std::size_t worker_count() { return available_processors(); }

bool in_parallel_body() { return t_body_depth > 0; }

}  // namespace kelvora
