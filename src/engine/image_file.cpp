// The blob map's image file on disk: the save that replaces the file, or
// writes it in place (image_file.hpp).
#include "engine/image_file.hpp"

#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/fsuid.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string_view>
#include <utility>
#include <vector>

namespace corvale_trie::blobmap::file {

#ifdef CORVALE_TEST_HOOKS
namespace {
std::atomic<int> g_chown_error{0};
}  // namespace

void fail_chown_with(int e) noexcept { g_chown_error.store(e, std::memory_order_relaxed); }
#endif

// ---------------------------------------------------------------------------
// The save

namespace {

constexpr int kMaxLinks = 40;           // symbolic links followed, as Linux's open() does
constexpr std::size_t kNameMax = 255;   // bytes of one path component (Linux and macOS)
constexpr std::string_view kTag = ".corvale-save-";
constexpr std::size_t kRandomDigits = 8;
// How often open() starts over when the path changed while it resolved it,
// and the answer that makes it start over (not an errno value).
constexpr int kAttempts = 4;
constexpr int kAgain = -1;
// make_new_file()'s answer when the new file cannot have the old owner and
// group (not an errno value): the file is written in place instead.
constexpr int kOwnerRefused = -2;

bool same_file(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether a last component names a directory whatever is there.
bool names_a_directory(std::string_view name) noexcept { return name.empty() || name == "." || name == ".."; }

// Where the last component of `path` starts.
std::size_t name_at(std::string_view path) noexcept {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// A directory opened only to name files in it, when it may not be read:
// Linux's O_PATH, or O_SEARCH where the system has it.
#if defined(O_PATH)
constexpr int kSearchOnly = O_PATH;
#elif defined(O_SEARCH)
constexpr int kSearchOnly = O_SEARCH;
#else
constexpr int kSearchOnly = 0;
#endif

// Flushes what was written to `fd` to the disk. macOS's fsync hands the
// data to the drive, whose cache a power loss may still take; F_FULLFSYNC
// asks the drive to write its cache out too. It is slower, but only it
// keeps the promise that a save that returned survives a power loss. A file
// system without it (some network and FAT volumes) gets fsync.
int flush_to_disk(int fd, Interrupted stop) noexcept {
#ifdef F_FULLFSYNC
  if (step([&] { return ::fcntl(fd, F_FULLFSYNC); }, stop) == 0) return 0;
  if (errno != ENOTSUP && errno != EINVAL && errno != ENOTTY) return errno;
#endif
  return step([&] { return ::fsync(fd); }, stop) == 0 ? 0 : errno;
}

// Whether a file this process makes can be given the owner and group of
// `old`: the superuser's can be given any; anyone else's only their own
// user, and a group they are in. (fchown has the last word: see
// make_new_file.) May throw std::bad_alloc.
bool may_carry_owner(const struct stat& old) {
  const uid_t uid = ::geteuid();
  if (uid == 0) return true;
  if (old.st_uid != uid) return false;
  if (old.st_gid == ::getegid()) return true;
  const int n = ::getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  const int got = ::getgroups(n, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, old.st_gid) != groups.begin() + got;
}

// Gives the new file `fd` the owner and group of `old`, as a file step: 0,
// or -1 with errno set. A failure that a testing hook chose takes the
// step's place.
int change_owner(int fd, const struct stat& old, Interrupted stop) noexcept {
#ifdef CORVALE_TEST_HOOKS
  if (const int e = g_chown_error.exchange(0, std::memory_order_relaxed)) {
    errno = e;
    return -1;
  }
#endif
  return step([&] { return ::fchown(fd, old.st_uid, old.st_gid); }, stop);
}

// Whether links in shared directories are held to the kernel's rule for
// following them (Linux's fs.protected_symlinks, read at every save that
// meets a link). A value that cannot be read holds the rule: a save never
// follows a link that open() might refuse. Other systems have no such rule.
bool links_protected() noexcept {
#ifdef __linux__
  const int fd = ::open("/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char value = '1';
  const bool read = ::read(fd, &value, 1) == 1;
  ::close(fd);
  return !read || value != '0';
#else
  return false;
#endif
}

// The user the kernel checks a link's owner against: the file-system uid
// (setfsuid(-1) changes nothing and answers it), elsewhere the effective one.
uid_t file_system_uid() noexcept {
#ifdef __linux__
  return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
#else
  return ::geteuid();
#endif
}

// Whether a save may follow the link `link`, in the directory `dir`, by
// hand: 0, or the errno value that open() would meet. The kernel's rule for
// following links: in a sticky directory that anyone may write, only a link
// of the caller's or of the directory's owner is followed; any other is
// refused with EACCES, where links are protected.
int may_follow(int dir, const struct stat& link, Interrupted stop) noexcept {
  if (link.st_uid == file_system_uid() || !links_protected()) return 0;
  struct stat d {};
  if (step([&] { return ::fstat(dir, &d); }, stop) != 0) return errno;
  constexpr mode_t kShared = S_ISVTX | S_IWOTH;
  return (d.st_mode & kShared) != kShared || d.st_uid == link.st_uid ? 0 : EACCES;
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

int SaveTarget::open_dir(int at, const std::string& dir) noexcept {
  int fd = step([&] { return ::openat(at, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }, caller_.stop);
  dir_readable_ = fd >= 0;
  if (fd < 0 && errno == EACCES && kSearchOnly != 0)
    fd = step([&] { return ::openat(at, dir.c_str(), kSearchOnly | O_DIRECTORY | O_CLOEXEC); }, caller_.stop);
  dir_.reset(fd);
  return fd < 0 ? errno : 0;
}

int SaveTarget::open(const std::string& path) {
  for (int attempt = 1;; ++attempt) {
    const int e = resolve(path, attempt == kAttempts);
    if (e != kAgain) return e;
    existing_.discard();  // a file looked at, written to in no way
    dir_.reset(-1);
    name_.clear();
  }
}

int SaveTarget::resolve(const std::string& path, bool last) {
  // A path whose last component names a directory ("dir/new/", "dir/.")
  // is opened as it is, so that it fails as open() fails.
  if (names_a_directory(std::string_view(path).substr(name_at(path)))) return open_in_place(path);
  // What the path itself reaches, taken before its name is resolved: a
  // file that another save renames over the path meanwhile then shows as a
  // status that changed (see settled()).
  struct stat reached {};
  const bool reaches = step([&] { return ::stat(path.c_str(), &reached); }, caller_.stop) == 0;
  if (!reaches && errno != ENOENT) return errno;
  pause(PausePoint::path_stat);
  // Where what resolve() finds changed while it looked, it starts over,
  // unless this is its last try: it then does what `on_last` does, so that
  // a path that changes at every try is still saved.
  const auto again_or = [&](auto&& on_last) -> int { return last ? on_last() : kAgain; };
  // Where a link was followed and the name it led to is not the file that
  // the path reaches, the path names an open file: it is written in place
  // once a second look at the path agrees with the first. Where the two
  // differ (another save renamed over the path meanwhile), resolve() starts
  // over, and on its last try does `otherwise` instead.
  const auto in_place_if_settled = [&](auto&& otherwise) -> int {
    const int s = settled(path, reaches, reached);
    if (s == kAgain) return again_or(otherwise);
    return s != 0 ? s : open_in_place(path);
  };
  // Once a link was followed, a name may be gone, or a directory, while
  // the path still reaches a file (a link of /proc/self/fd reads
  // '/dir/name (deleted)' for a deleted file, and its directory may be gone
  // too). A dangling link keeps its error.
  const auto unresolved = [&](int e, bool followed) -> int {
    if (!followed || !reaches || (e != ENOENT && e != ENOTDIR && e != EACCES && e != ENAMETOOLONG)) return e;
    return in_place_if_settled([e] { return e; });
  };

  // The file the path leads to, as a directory and a name in it: symbolic
  // links of the last component are followed here, as open() would follow
  // them, so that the new file is made beside the file it replaces and the
  // links stay. A link's directory is opened relative to the one it is in.
  std::size_t at = name_at(path);
  if (const int e = open_dir(AT_FDCWD, at == 0 ? std::string(".") : path.substr(0, at))) return e;
  name_ = path.substr(at);
  struct stat st {};
  bool exists = true;
  int links = 0;    // links followed
  int relooks = 0;  // names that changed between their status and the reading of the link
  for (;;) {
    if (names_a_directory(name_)) return open_in_place(path);  // a link to a directory: opening it tells
    if (step([&] { return ::fstatat(dir_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW); }, caller_.stop) != 0) {
      if (errno != ENOENT) return unresolved(errno, links > 0);
      exists = false;
      break;
    }
    if (!S_ISLNK(st.st_mode)) break;
    if (links == kMaxLinks) return ELOOP;
    if (const int e = may_follow(dir_.get(), st, caller_.stop)) return e;
    pause(PausePoint::link_stat);
    std::string link(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 256, '\0');
    ssize_t n = 0;
    const auto read_link = [&] { return ::readlinkat(dir_.get(), name_.c_str(), link.data(), link.size()); };
    while ((n = step(read_link, caller_.stop)) >= static_cast<ssize_t>(link.size()))
      link.resize(link.size() * 2);  // the link changed meanwhile
    // A name that is no longer a link (EINVAL), or no longer there
    // (ENOENT), is looked at again, as it is now.
    if (n < 0 && (errno == EINVAL || errno == ENOENT) && ++relooks <= kMaxLinks) continue;
    if (n <= 0) return unresolved(n < 0 ? errno : ENOENT, true);
    ++links;
    link.resize(static_cast<std::size_t>(n));
    at = name_at(link);
    if (at > 0) {
      // Kept open until the next directory is: a relative link's directory
      // is named from it.
      const FdCloser from(dir_.release());
      if (const int e = open_dir(link.front() == '/' ? AT_FDCWD : from.get(), link.substr(0, at)))
        return unresolved(e, true);
    }
    name_ = link.substr(at);
  }
  if (exists && !S_ISREG(st.st_mode)) return open_in_place(path);  // a FIFO, a device: cannot be replaced

  // Where a link was followed, the name must lead to the file that the
  // path reaches: a path through an open file (/proc/self/fd/N) reads as a
  // name that is gone (a deleted file), that never was (a pipe) or that is
  // now another file. The path's own name (no link followed) is its entry:
  // the file there is replaced, whatever the path reached a moment before.
  // A path that changes at every try is replaced, never written in place.
  const bool through_link = links > 0;
  if (!exists) {
    const auto make_new = [&] { return make_new_file(nullptr); };
    return through_link && reaches ? in_place_if_settled(make_new) : make_new();
  }
  // Write access to the existing file, checked as a save in place would
  // check it, and the mode, owner and attributes of the very file opened.
  // The open carries O_CREAT, as open(path, "wb") does, so that the kernel
  // holds it to the same rules: a file of another user's in a sticky
  // directory is refused where files there are protected
  // (fs.protected_regular). A name that is gone by then is made anew,
  // empty, as that open would make it. A file that another call of ours
  // writes in place is refused (EDEADLK, file_lock.hpp).
  if (const int e = existing_.open(dir_.get(), name_.c_str(),
                                   O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666,
                                   Use::probe, caller_)) {
    // A name that became a link starts over; on the last try it is refused
    // as an open that does not follow links refuses it.
    return e == ELOOP ? again_or([] { return ELOOP; }) : e;
  }
  const struct stat& file = existing_.status();
  // A name that is no longer a regular file starts over; on the last try
  // it is written in place, as any path that is not a regular file is.
  if (!S_ISREG(file.st_mode)) return again_or([&] { return open_in_place(path); });
  // A file whose owner and group a new file cannot carry is written in
  // place, through the descriptor that checked its write access.
  const auto replace = [&] {
    if (!may_carry_owner(file)) return write_over();
    if (const int e = attrs_.read(existing_.fd())) return e;
    const int e = make_new_file(&file);
    if (e == kOwnerRefused) return write_over();
    existing_.discard();  // the look at the old file is over
    return e;
  };
  return through_link && !(reaches && same_file(file, reached)) ? in_place_if_settled(replace) : replace();
}

int SaveTarget::settled(const std::string& path, bool reached_before, const struct stat& before) noexcept {
  struct stat now {};
  if (step([&] { return ::stat(path.c_str(), &now); }, caller_.stop) != 0) {
    if (errno != ENOENT) return errno;
    return reached_before ? kAgain : 0;
  }
  return reached_before && same_file(now, before) ? 0 : kAgain;
}

int SaveTarget::open_in_place(const std::string& path) {
  dir_.reset(-1);
  existing_.discard();  // what the save looked at before it chose this way
  // No O_NONBLOCK: a FIFO is waited for until it has a reader, as open()
  // waits, and so is a lease.
  if (const int e = existing_.open(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666, Use::write, caller_))
    return e;
  return existing_.regular() ? empty_locked() : 0;  // a stream is written as it is
}

int SaveTarget::write_over() noexcept {
  dir_.reset(-1);
  if (const int e = existing_.use_for_writing(caller_)) return e;
  // Blocking writes again: the file was opened not to wait for a FIFO's
  // reader.
  if (step([&] { return ::fcntl(existing_.fd(), F_SETFL, 0); }, caller_.stop) != 0) return errno;
  return empty_locked();
}

int SaveTarget::empty_locked() noexcept {
  if (const int e = existing_.lock(caller_)) return e;
  return step([&] { return ::ftruncate(existing_.fd(), 0); }, caller_.stop) == 0 ? 0 : errno;
}

int SaveTarget::make_new_file(const struct stat* old) {
  // The name, shortened to fit one component: cut where a UTF-8 character
  // starts (a name cut inside one is refused by macOS's file systems).
  const std::string pid = std::to_string(::getpid());
  std::string_view name = name_;
  const std::size_t room = kNameMax - 1 - kTag.size() - pid.size() - 1 - kRandomDigits;
  if (name.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<u8>(name[cut]) & 0xC0) == 0x80) --cut;
    name = name.substr(0, cut);
  }
  temp_.reserve(1 + name.size() + kTag.size() + pid.size() + 1 + kRandomDigits);
  temp_.append(1, '.').append(name).append(kTag).append(pid).append(1, '-');
  const std::size_t random_at = temp_.size();
  temp_.append(kRandomDigits, '0');

  // Nothing below allocates. An existing file's copy is made private until
  // it has that file's access.
  const mode_t mode = old ? S_IRUSR | S_IWUSR : 0666;
  for (int attempt = 0;; ++attempt) {
    static constexpr char kHex[] = "0123456789abcdef";
    u32 r = random_part();
    for (std::size_t i = kRandomDigits; i-- > 0; r >>= 4) temp_[random_at + i] = kHex[r & 15];
    constexpr int kNew = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    const auto make = [&] { return ::openat(dir_.get(), temp_.c_str(), kNew, mode); };
    const int fd = step(make, caller_.stop);
    if (fd >= 0) {
      new_file_.reset(fd);
      made_ = true;
      break;
    }
    if (errno != EEXIST || attempt == 99) return errno;
  }
  if (old) {
    // Owner and group first: a change of owner clears the set-id bits,
    // which the mode then sets. Where they cannot be given, the file the
    // new one would replace is written in place instead: the new file,
    // still empty and private, is removed. Then the attributes and the
    // ACL, while the new file may still be written by its maker; the mode
    // comes last (mode_).
    if (change_owner(new_file_.get(), *old, caller_.stop) != 0) {
      const int e = errno;
      if (e != EPERM && e != EINVAL) return e;
      remove_new_file();
      return kOwnerRefused;
    }
    if (const int e = attrs_.apply(new_file_.get())) return e;
    mode_ = old->st_mode & 07777;
  }
  return 0;
}

Commit SaveTarget::commit() noexcept { return made_ ? commit_new_file() : commit_in_place(); }

Commit SaveTarget::commit_in_place() noexcept {
  // The image is there since its last byte was written, and the save
  // cannot be stopped any more: a regular file is flushed, an interrupted
  // flush repeated (a stream is not flushed). The close lets the lock go.
  int e = existing_.regular() ? flush_to_disk(existing_.fd(), nullptr) : 0;
  if (const int closed = existing_.close(); e == 0) e = closed;
  // The check is asked once, after the close, so that a signal that came
  // meanwhile is handled inside the call; not after a failure, which the
  // call reports as it is.
  if (e == 0 && stopped(caller_.stop)) e = EINTR;
  return {e, true};
}

Commit SaveTarget::commit_new_file() noexcept {
  int e = 0;
  if (mode_ && step([&] { return ::fchmod(new_file_.get(), *mode_); }, caller_.stop) != 0) e = errno;
  if (e == 0) e = flush_to_disk(new_file_.get(), caller_.stop);
  if (const int closed = new_file_.close(); e == 0) e = closed;
  // The last moment at which the save may stop: a signal that came during
  // the writes or the flush stops it here, with the old image in place.
  if (e == 0 && stopped(caller_.stop)) e = EINTR;
  const auto rename_new_file = [&] { return ::renameat(dir_.get(), temp_.c_str(), dir_.get(), name_.c_str()); };
  if (e == 0 && step(rename_new_file, caller_.stop) != 0) e = errno;
  if (e != 0) {
    discard();
    return {e, false};
  }
  made_ = false;
  // The rename is done: the path holds the new image, and a failure from
  // here on says only that its survival of a power loss is not known. The
  // save cannot be stopped any more: an interrupted flush is repeated. The
  // check is asked right after the rename and after the flush, so that a
  // signal that came meanwhile is handled inside the call; once it has
  // answered true (a handler raised), it is not asked again.
  bool stopped_after = stopped(caller_.stop);
  if (dir_readable_) {
    e = flush_to_disk(dir_.get(), nullptr);
    if (e == EINVAL) e = 0;  // a file system that cannot flush a directory
  }
  dir_.reset(-1);
  if (!stopped_after) stopped_after = stopped(caller_.stop);
  return {e == 0 && stopped_after ? EINTR : e, true};
}

void SaveTarget::remove_new_file() noexcept {
  new_file_.reset(-1);
  // The child of a fork leaves the new file to the parent's save.
  if (made_ && !forked_away()) ::unlinkat(dir_.get(), temp_.c_str(), 0);
  made_ = false;
}

void SaveTarget::discard() noexcept {
  remove_new_file();
  existing_.discard();
  dir_.reset(-1);
}

}  // namespace corvale_trie::blobmap::file
