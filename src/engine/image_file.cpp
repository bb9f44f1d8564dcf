// The blob map's image file on disk: descriptors, writes, and the save that
// replaces the file (image_file.hpp).
#include "engine/image_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string_view>
#include <utility>

namespace corvale_trie::blobmap::file {

#ifdef CORVALE_TEST_HOOKS
namespace {
std::atomic<u64> g_fail_countdown{0};
}  // namespace

void fail_file_step_after(u64 n) noexcept { g_fail_countdown.store(n, std::memory_order_relaxed); }

bool step_fails() noexcept {
  if (g_fail_countdown.load(std::memory_order_relaxed) == 0) [[likely]] return false;
  return g_fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}
#endif

// ---------------------------------------------------------------------------
// Descriptors and writes

FdCloser::~FdCloser() { reset(-1); }

void FdCloser::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int FdCloser::close() noexcept {
  const int r = ::close(std::exchange(fd_, -1));
  if (step_fails()) return EIO;
  return r == 0 ? 0 : errno;
}

int write_all(int fd, const u8* data, std::size_t n, int write_zero) noexcept {
  while (n > 0) {
    const ssize_t w = step([&] { return ::write(fd, data, n); });
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return write_zero;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The save

namespace {

constexpr int kMaxLinks = 40;           // symbolic links followed, as Linux's open() does
constexpr std::size_t kNameMax = 255;   // bytes of one path component (Linux and macOS)
constexpr std::string_view kTag = ".corvale-save-";
constexpr std::size_t kRandomDigits = 8;

// Where the last component of `path` starts.
std::size_t name_at(std::string_view path) noexcept {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// Flushes what was written to `fd` to the disk. macOS's fsync hands the
// data to the drive, whose cache a power loss may still take; F_FULLFSYNC
// asks the drive to write its cache out too. It is slower, but only it
// keeps the promise that a save that returned survives a power loss. A file
// system without it (some network and FAT volumes) gets fsync.
int flush_to_disk(int fd) noexcept {
#ifdef F_FULLFSYNC
  if (step([&] { return ::fcntl(fd, F_FULLFSYNC); }) == 0) return 0;
  if (errno != ENOTSUP && errno != EINVAL && errno != ENOTTY) return errno;
#endif
  for (;;) {
    if (step([&] { return ::fsync(fd); }) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

// A random part for the new file's name: unique enough that the O_EXCL
// retries (which cover a clash) are almost never needed; not a secret.
u32 random_part() noexcept {
  static std::atomic<u64> counter{0};
  u64 x = static_cast<u64>(std::chrono::steady_clock::now().time_since_epoch().count());
  x ^= (static_cast<u64>(::getpid()) << 32) ^ counter.fetch_add(0x9E3779B97F4A7C15, std::memory_order_relaxed);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9;  // splitmix64's finaliser
  x = (x ^ (x >> 27)) * 0x94D049BB133111EB;
  return static_cast<u32>(x ^ (x >> 31));
}

}  // namespace

int SaveTarget::open(const std::string& path) {
  // The file the path leads to: symbolic links of the last component are
  // followed here, as open() would follow them, so that the new file is
  // made beside the file it replaces and the links stay.
  std::string target = path;
  struct stat st {};
  bool exists = true;
  for (int links = 0;; ++links) {
    if (step([&] { return ::lstat(target.c_str(), &st); }) != 0) {
      if (errno != ENOENT) return errno;
      exists = false;  // a new file (the directory's absence shows later)
      break;
    }
    if (!S_ISLNK(st.st_mode)) break;
    if (links == kMaxLinks) return ELOOP;
    std::string link(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 256, '\0');
    ssize_t n = 0;
    while ((n = step([&] { return ::readlink(target.c_str(), link.data(), link.size()); })) >=
           static_cast<ssize_t>(link.size()))
      link.resize(link.size() * 2);  // the link changed meanwhile
    if (n < 0) return errno;
    if (n == 0) return ENOENT;
    link.resize(static_cast<std::size_t>(n));
    if (link.front() == '/')
      target = std::move(link);
    else
      target.replace(name_at(target), std::string::npos, link);
  }
  const std::size_t at = name_at(target);
  const std::string_view name = std::string_view(target).substr(at);
  if ((exists && !S_ISREG(st.st_mode)) || name.empty() || name == "." || name == "..")
    return open_in_place(path);  // not a regular file: opening it tells
  if (!exists) return make_new_file(std::move(target), at, nullptr);
  {
    // Write access to the existing file, checked as a save in place would
    // check it, and the mode and owner of the very file opened.
    const FdCloser probe(step([&] { return ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
    if (probe.get() < 0) return errno;
    if (step([&] { return ::fstat(probe.get(), &st); }) != 0) return errno;
  }
  if (!S_ISREG(st.st_mode)) return open_in_place(path);  // replaced meanwhile
  return make_new_file(std::move(target), at, &st);
}

int SaveTarget::open_in_place(const std::string& path) noexcept {
  file_.reset(step([&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }));
  return file_.get() < 0 ? errno : 0;
}

int SaveTarget::make_new_file(std::string target, std::size_t name_at, const struct stat* old) {
  // The name, shortened to fit one component: cut where a UTF-8 character
  // starts (a name cut inside one is refused by macOS's file systems).
  const std::string pid = std::to_string(::getpid());
  std::string_view name = std::string_view(target).substr(name_at);
  const std::size_t room = kNameMax - 1 - kTag.size() - pid.size() - 1 - kRandomDigits;
  if (name.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<u8>(name[cut]) & 0xC0) == 0x80) --cut;
    name = name.substr(0, cut);
  }
  temp_.reserve(name_at + 1 + name.size() + kTag.size() + pid.size() + 1 + kRandomDigits);
  temp_.append(target, 0, name_at).append(1, '.').append(name).append(kTag).append(pid).append(1, '-');
  const std::size_t random_at = temp_.size();
  temp_.append(kRandomDigits, '0');
  const std::string dir = name_at == 0 ? std::string(".") : target.substr(0, name_at);
  target_ = std::move(target);

  // Nothing below allocates. The directory is opened first, to flush the
  // rename at the end; one the caller may write but not read cannot be
  // opened, and the save goes on without that flush.
  dir_.reset(step([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (dir_.get() < 0 && errno != EACCES) return errno;
  // An existing file's copy is made private until it has that file's mode.
  const mode_t mode = old ? S_IRUSR | S_IWUSR : 0666;
  for (int attempt = 0;; ++attempt) {
    static constexpr char kHex[] = "0123456789abcdef";
    u32 r = random_part();
    for (std::size_t i = kRandomDigits; i-- > 0; r >>= 4) temp_[random_at + i] = kHex[r & 15];
    const int fd = step([&] { return ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode); });
    if (fd >= 0) {
      file_.reset(fd);
      made_ = true;
      break;
    }
    if (errno != EEXIST || attempt == 99) return errno;
  }
  if (old) {
    // Owner and group first: a change of owner clears the set-id bits,
    // which the mode then sets. Either may be refused to an unprivileged
    // caller; the new file then keeps what it has.
    if (::fchown(file_.get(), old->st_uid, old->st_gid) != 0)
      (void)::fchown(file_.get(), static_cast<uid_t>(-1), old->st_gid);
    if (step([&] { return ::fchmod(file_.get(), old->st_mode & 07777); }) != 0) return errno;
  }
  return 0;
}

int SaveTarget::commit() noexcept {
  if (!made_) return file_.close();  // in place
  int e = flush_to_disk(file_.get());
  if (const int closed = file_.close(); e == 0) e = closed;
  if (e == 0 && step([&] { return ::rename(temp_.c_str(), target_.c_str()); }) != 0) e = errno;
  if (e != 0) {
    discard();
    return e;
  }
  made_ = false;
  // The rename is done: the path holds the new image, and a failure from
  // here on says only that its survival of a power loss is not known.
  if (dir_.get() >= 0) {
    e = flush_to_disk(dir_.get());
    if (e == EINVAL) e = 0;  // a file system that cannot flush a directory
    dir_.reset(-1);
  }
  return e;
}

void SaveTarget::discard() noexcept {
  file_.reset(-1);
  dir_.reset(-1);
  if (made_) ::unlink(temp_.c_str());
  made_ = false;
}

}  // namespace corvale_trie::blobmap::file
