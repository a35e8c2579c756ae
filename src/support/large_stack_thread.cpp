#include "support/large_stack_thread.h"

#include <memory>
#include <system_error>
#include <utility>

namespace kelvora {
namespace {

void* run(void* arg) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

}  // namespace

LargeStackThread::LargeStackThread(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_attr_init");
  std::size_t size = 0;
  if (pthread_attr_getstacksize(&attr, &size) != 0 || size < kLargeStack) pthread_attr_setstacksize(&attr, kLargeStack);
  rc = pthread_create(&thread_, &attr, &run, owned.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_create");
  owned.release();  // the thread owns it now
  joinable_ = true;
}

LargeStackThread::LargeStackThread(LargeStackThread&& other) noexcept
    : thread_(other.thread_), joinable_(std::exchange(other.joinable_, false)) {}

LargeStackThread::~LargeStackThread() {
  if (joinable_) pthread_join(thread_, nullptr);
}

void LargeStackThread::detach() {
  if (joinable_) pthread_detach(thread_);
  joinable_ = false;
}

}  // namespace kelvora
