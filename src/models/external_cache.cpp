// The process-wide cache of weight files read from disk, keyed by the
// absolute, normalised path.  Entries are never evicted or reloaded, so the
// pointers handed out stay valid for the life of the process.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>

#include "models/registry.h"

namespace kelvora::models {

namespace {

// The key of a path: absolute and normalised, so that "w/x.eisnn",
// "./w/x.eisnn" and its absolute form share one entry, and a relative path
// given after a change of working directory is not served the network of
// another folder's file.  The text itself where that fails.
std::string cache_key(const std::string& path) {
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(std::filesystem::path(path), ec);
  if (ec || path.empty()) return path;
  return absolute.lexically_normal().string();
}

// Weight files larger than this are refused rather than read (the shipped
// networks are well under a megabyte; this keeps a path such as /dev/zero
// from consuming memory without bound).
constexpr std::size_t kMaxWeightFileBytes = std::size_t{256} << 20;

struct Cache {
  std::mutex mutex;
  bool poisoned = false;  // set when a holder left by an exception
  std::map<std::string, std::unique_ptr<nn::Guesser>> entries;
};

Cache& cache() {
  static Cache* c = new Cache();  // never destroyed: lives until the process ends
  return *c;
}

Expected<std::vector<std::uint8_t>, nn::NnError> read_file(const std::string& path) {
  // The OS cannot name a file with an embedded NUL.
  if (path.find('\0') != std::string::npos) return unexpected(nn::NnError::io(EINVAL));
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unexpected(nn::NnError::io(errno));
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[65536];
  while (true) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return unexpected(nn::NnError::io(err));
    }
    if (got == 0) break;
    if (bytes.size() + static_cast<std::size_t>(got) > kMaxWeightFileBytes) {
      ::close(fd);
      return unexpected(nn::NnError::io(EFBIG));
    }
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  ::close(fd);
  return bytes;
}

}  // namespace

ExternalCacheLock::ExternalCacheLock(std::unique_lock<std::mutex> lock)
    : lock_(std::move(lock)), exceptions_on_entry_(std::uncaught_exceptions()) {}

ExternalCacheLock::ExternalCacheLock(ExternalCacheLock&& other) noexcept
    : lock_(std::move(other.lock_)), exceptions_on_entry_(other.exceptions_on_entry_) {}

ExternalCacheLock::~ExternalCacheLock() {
  // Leaving by an exception (say, out of memory while decoding) may have left
  // the cache half-updated: later callers are refused.
  if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_on_entry_) cache().poisoned = true;
}

Expected<ExternalCacheLock, std::string> ExternalCacheLock::acquire() {
  std::unique_lock<std::mutex> lock(cache().mutex);
  if (cache().poisoned) return unexpected(std::string("weights cache poisoned"));
  return ExternalCacheLock(std::move(lock));
}

Expected<const nn::Guesser*, nn::NnError> ExternalCacheLock::load(const std::string& given) {
  auto& entries = cache().entries;
  const std::string path = cache_key(given);
  if (auto it = entries.find(path); it != entries.end()) return it->second.get();
  auto bytes = read_file(path);
  if (!bytes) return unexpected(bytes.error());
  auto decoded = nn::Guesser::from_bytes(*bytes);
  if (!decoded) return unexpected(decoded.error());
  auto stored = std::make_unique<nn::Guesser>(std::move(*decoded));
  const nn::Guesser* out = stored.get();
  entries.emplace(path, std::move(stored));
  return out;
}

Expected<const nn::Guesser*, std::string> load_external(const std::string& path) {
  auto lock = ExternalCacheLock::acquire();
  if (!lock) return unexpected(lock.error());
  auto g = lock->load(path);
  if (!g) return unexpected(g.error().message());
  return *g;
}

}  // namespace kelvora::models
