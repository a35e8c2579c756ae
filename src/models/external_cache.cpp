// The process-wide cache of weight files read from disk, keyed by the file's
// absolute path with symbolic links resolved.  A stored network is never
// reloaded, even if the file changes: a file is read once per process.
// The cache only grows, and its networks are never freed.
#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "models/registry.h"

namespace kelvora::models {

namespace {

// The key of a path: absolute, with symbolic links resolved as far as the
// path exists, so that "w/x.eisnn", "./w/x.eisnn" and its absolute form share
// one entry, a relative path given after a change of working directory is not
// served the network of another folder's file, and "link/../x" through a
// symbolic link is the "x" beside the link's target, as the operating system
// reads it.  The text itself where that fails.  Only a key: the file read is
// always the one the caller named.
std::string cache_key(const std::string& path) {
  std::error_code ec;
  if (path.empty()) return path;
  const auto absolute = std::filesystem::absolute(std::filesystem::path(path), ec);
  if (ec) return path;
  const auto resolved = std::filesystem::weakly_canonical(absolute, ec);
  return ec ? absolute.lexically_normal().string() : resolved.string();
}

// Weight files larger than this are refused rather than read (the shipped
// networks are well under a megabyte; this keeps a path such as /dev/zero
// from consuming memory without bound).
constexpr std::size_t kMaxWeightFileBytes = std::size_t{256} << 20;

struct Cache {
  std::mutex mutex;
  bool poisoned = false;  // set when a holder left by an exception
  std::map<std::string, const nn::Guesser> entries;  // nodes never move
};

// The cache in use; never destroyed: lives until the process ends.
Cache* g_cache = nullptr;

// A forked child has only the thread that forked.  Another thread of the
// parent may have held the cache at the fork (fit_many's workers guess with
// a weight file in parallel, and one may be reading it); that holder does
// not exist in the child, so the lock would never be released there.  Such
// a child starts from a new, empty cache, which reloads files on demand; the
// parent's, perhaps half-updated, is abandoned, its networks left in place
// for the pointers already handed out.
void after_fork_in_child() {
  if (g_cache->mutex.try_lock()) {
    g_cache->mutex.unlock();
    return;
  }
  g_cache = new Cache();
}

Cache& cache() {
  static const bool created = [] {
    g_cache = new Cache();
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
  }();
  (void)created;
  return *g_cache;
}

// Closes its descriptor on every path out.
class OpenFile {
 public:
  explicit OpenFile(int fd) : fd_(fd) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { ::close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_;
};

Expected<int, nn::NnError> open_file(const std::string& path) {
  // The OS cannot name a file with an embedded NUL.
  if (path.find('\0') != std::string::npos) return unexpected(nn::NnError::io(EINVAL));
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unexpected(nn::NnError::io(errno));
  return fd;
}

Expected<std::vector<std::uint8_t>, nn::NnError> read_all(int fd) {
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[65536];
  while (true) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return unexpected(nn::NnError::io(errno));
    }
    if (got == 0) break;
    if (bytes.size() + static_cast<std::size_t>(got) > kMaxWeightFileBytes) return unexpected(nn::NnError::io(EFBIG));
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
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

Expected<const nn::Guesser*, nn::NnError> ExternalCacheLock::load(const std::string& path) {
  auto& entries = cache().entries;
  const std::string key = cache_key(path);
  if (const auto it = entries.find(key); it != entries.end()) return &it->second;
  auto fd = open_file(path);
  if (!fd) return unexpected(fd.error());
  const OpenFile file(*fd);
  auto bytes = read_all(file.fd());
  if (!bytes) return unexpected(bytes.error());
  auto decoded = nn::Guesser::from_bytes(*bytes);
  if (!decoded) return unexpected(decoded.error());
  return &entries.emplace(key, std::move(*decoded)).first->second;
}

Expected<const nn::Guesser*, std::string> load_external(const std::string& path) {
  auto lock = ExternalCacheLock::acquire();
  if (!lock) return unexpected(lock.error());
  auto g = lock->load(path);
  if (!g) return unexpected(g.error().message());
  return *g;
}

}  // namespace kelvora::models
