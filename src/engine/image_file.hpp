// corvale_trie engine: the blob map's image file on disk, the steps of a
// save and a load that touch the file system.
//
// A save replaces the file. `SaveTarget` writes the new image to a new file
// in the directory of the file it is to replace, flushes it to the disk
// (fsync; F_FULLFSYNC on macOS, where fsync leaves the data in the drive's
// cache), renames it over the path and then flushes the directory, so that
// the rename itself survives a power loss. At every moment the path names
// the old image or the new one, never a mix; until the rename the old image
// is untouched, and a failure before it removes the new file. The one step
// after the rename is the flush of the directory: when it fails, the save
// fails with the new image already in place (its durability is then not
// known; commit() says so). A file system that cannot flush a directory at
// all (EINVAL) is taken as it is; so is a directory that may be written but
// not read, which cannot be opened to be flushed.
//
// The directory is opened once, and the new file is made, renamed and
// removed relative to it (openat, renameat, unlinkat): a path that opens
// can be saved however long it is, and a directory renamed during the save
// still receives the image.
//
// What a save keeps of the path:
//   - a symbolic link (in the last component, followed as open() follows it)
//     stays; the file it leads to is replaced, in that file's directory;
//   - a path whose last component is not a symbolic link names its own
//     directory entry: the regular file there is replaced. Through a link,
//     a file is replaced only when the name reached by following the links
//     is the very file (device and inode) that the path itself reaches, or
//     when that name does not exist and neither does the path (a dangling
//     link: the file is made where it leads). Otherwise the path names an
//     open file rather than a directory entry (/dev/stdout, /proc/self/fd/N
//     of a pipe or of a deleted file, whose directory may be gone too): it
//     is written in place through the path, with O_TRUNC, and no
//     other file is made;
//   - a link followed here is held to the kernel's rule for following
//     links (Linux's fs.protected_symlinks): in a sticky directory that
//     anyone may write, a link that is neither the caller's (its file-system
//     uid) nor the directory owner's is refused with EACCES, as open()
//     refuses it. A name that stops being a link before it is read is
//     looked at again;
//   - the path's status is taken before its name is resolved, and again
//     after it where the two disagree: a disagreement that another save's
//     rename made (the path's status changed meanwhile) starts open() over,
//     a few times at most, after which the file is replaced. Only one that
//     stays is written in place. Two saves to one path at once thus leave
//     the whole image of one of them, and a load reads a whole image;
//   - a new file gets mode 0666 less the umask (and the directory's default
//     ACL, as any new file); an existing one lends the new file its
//     permission bits (set-id and sticky bits included), its owner and its
//     group; other hard links to the old file keep the old image;
//   - a replacement never hands the file to another owner or group: it is
//     made only when the new file can carry the old one's owner and group
//     exactly, which the superuser can give to any file and anyone else
//     only when the file is theirs and its group one they are in. Any other
//     regular file (another user's, or the caller's in a group the caller
//     is not in) is written in place through the descriptor that checked
//     its write access: truncated, written, flushed (fsync) and closed. It
//     keeps its inode, owner, group, mode (but the set-id bits, which the
//     kernel clears on a write by a caller who may not set them), ACL,
//     attributes and hard links, and gives up the guarantee: a crash, a
//     full disk or a failed write leaves it torn. Where fchown still
//     refuses the old owner or group
//     (EPERM, or EINVAL for an identity outside the user namespace), the
//     new file, which holds nothing yet, is removed and the file is written
//     in place the same way; any other failure of fchown refuses the save;
//   - an existing file's access is the new file's (file_attrs.hpp): its
//     ACL is copied, or, when it has none, the one the new file inherited
//     from the directory is removed; a copy that fails refuses the save.
//     Its other extended attributes (Linux: the `user.` ones) are copied as
//     shutil.copystat copies them;
//   - write access is checked first, by opening the existing file for
//     writing (without truncating it, and with O_CREAT, as open(path, "wb")
//     opens it, so that the kernel's protection of other users' files in
//     sticky directories, fs.protected_regular, holds): a file the caller
//     may not write is refused with the error of that open, as a save in
//     place would be. That open and its close show to inotify as IN_OPEN
//     and IN_CLOSE_WRITE on the old file, which still holds the old image;
//   - a regular file written in place is locked first: the save takes a
//     POSIX record lock (fcntl F_SETLKW, F_WRLCK) over the whole file
//     before it truncates it, and holds it until the file is flushed and
//     closed; a load takes a shared one (F_RDLCK) while it reads. So no
//     load or save of this module sees such a file half-written: they wait
//     for each other. Waiting can be interrupted (below). A file system
//     without locks (ENOLCK) is written and read without them. A
//     replacement takes no lock: a load opens the old file or the new one;
//   - a path that exists and is not a regular file (a FIFO, a character
//     device such as /dev/null, a directory) is opened and written in place,
//     with O_TRUNC: such a file cannot be replaced by a rename;
//   - where the new file of a replacement cannot be made or renamed (a
//     directory the caller may not write, an append-only directory), the
//     save fails with the error of that step and the old image stays: it
//     never falls back to writing a file that could be replaced in place,
//     which would give up the guarantee exactly where nobody sees it.
//
// The new file is named `.{name}.corvale-save-{pid}-{8 hex digits}` after
// the last component `name` of the file it is to replace (shortened, at a
// UTF-8 character boundary, so that the whole fits 255 bytes), made with
// O_EXCL under another random part while the name is taken. A process
// killed during a save leaves it behind, and so does a failed save in a
// directory that refuses its removal (an append-only one, chattr +a).
//
// Interrupts: a save or a load asks its `Interrupted` check (when it has
// one) between pieces: before each write or read of at most kPiece bytes
// and, for a save, just before the rename. A system call that a signal
// interrupted (EINTR) asks it too, and is repeated unless it answers true.
// A true answer stops the call with EINTR: a save removes its new file
// and keeps the old image (written in place, the file keeps what was
// written; one still waiting for its lock is untouched). Once the new image
// is in place, after the rename or, written in place, after its last byte,
// the save cannot be stopped: an interrupted flush is repeated. It asks
// the check once more right after the rename and once after the
// directory's flush (the second time only when the first answered false),
// or once after the flush of a file written in place, so that a signal
// that came meanwhile is handled inside the call: a true answer makes
// commit() answer EINTR, with the new image in place. (A close that
// reports EINTR has closed the descriptor and is not repeated.)
//
// Every allocation of a save is made in open(), before the new file exists:
// running out of memory (std::bad_alloc) leaves the file system as it was.
//
// Testing hooks (builds with CORVALE_TEST_HOOKS, the module's test builds):
// every step of a save or a load that touches the file system (each system
// call on the image file or its directory but the clean-up after a
// failure) and the loader's taking of its read window count down, and
// fail_file_step_after(n) makes the n-th from now fail: a system call
// fails with EIO without being made (a close is made, then reported as
// failed), and the read window fails as if memory had run out.
// fail_chown_with(e) makes the next change of owner of a save's new file
// fail with errno e without being made (it is a file step too).
// pause_save_at(point, hook) has a save call `hook` at `point`: between
// the status of the path and the resolution of its name, where another
// save's rename would make the two disagree (SavePoint::path_stat), or
// between the status of a link and the reading of it, where the link may
// be replaced (SavePoint::link_stat).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "engine/file_attrs.hpp"
#include "engine/types.hpp"

namespace corvale_trie::blobmap::file {

// Asked between the pieces of a save or a load, and after a system call
// that a signal interrupted: true stops the call (see above). The Python
// layer runs its signal handlers here; one that raises leaves its exception
// pending and answers true. Null: never stop.
using Interrupted = bool (*)() noexcept;

// Asks `stop`, when there is one.
[[nodiscard]] inline bool stopped(Interrupted stop) noexcept { return stop != nullptr && stop(); }

// The most a save writes, or a load reads, in one system call: the pieces
// between which it asks its Interrupted check.
inline constexpr std::size_t kPiece = std::size_t{1} << 20;

// Where a test build may pause a save.
enum class SavePoint { path_stat, link_stat };

#ifdef CORVALE_TEST_HOOKS
// Makes the n-th file step from now fail; 0 disarms.
void fail_file_step_after(u64 n) noexcept;
// Makes the next change of owner of a save fail with errno e, once; 0
// disarms.
void fail_chown_with(int e) noexcept;
// Has every save from now on call `hook` at `point`; null: none.
void pause_save_at(SavePoint point, void (*hook)() noexcept) noexcept;
[[nodiscard]] bool step_fails() noexcept;
#else
[[nodiscard]] constexpr bool step_fails() noexcept { return false; }
#endif

// Runs `call`, a system call that answers -1 and sets errno on failure, as
// one file step. A call that a signal interrupted (EINTR) is asked again,
// unless `stop` answers true: the answer is then -1 with errno EINTR.
template <class F>
auto step(F&& call, Interrupted stop = nullptr) noexcept {
  using R = decltype(call());
  for (;;) {
    if (step_fails()) [[unlikely]] {
      errno = EIO;
      return R(-1);
    }
    const R r = call();
    if (r != R(-1) || errno != EINTR) return r;
    if (stopped(stop)) {
      errno = EINTR;  // the check may have run code that changed errno
      return r;
    }
  }
}

// The owner of a file descriptor that the engine opened: it closes the
// descriptor on every way out. close() closes it earlier and reports how
// that went, for a writer to which a failed close is a failed write.
class FdCloser {
 public:
  explicit FdCloser(int fd = -1) noexcept : fd_(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser();

  [[nodiscard]] int get() const noexcept { return fd_; }
  void reset(int fd) noexcept;
  // Hands the descriptor over; the FdCloser is empty afterwards.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  // 0, or the errno value of a failed close (a file step); the descriptor
  // is gone either way. EINTR is not a failure: the descriptor is closed,
  // and a repeated close could close another one.
  [[nodiscard]] int close() noexcept;

 private:
  int fd_;
};

// Writes n bytes to fd in pieces of at most kPiece (each write call a file
// step), asking `stop` before each: 0, or the errno value of the first
// failed write (EINTR when `stop` ended it), or `write_zero` for a write
// that took nothing.
[[nodiscard]] int write_all(int fd, const u8* data, std::size_t n, int write_zero,
                            Interrupted stop = nullptr) noexcept;

// Takes a POSIX record lock over the whole of `fd` (exclusive: F_WRLCK,
// else F_RDLCK), waiting for other processes' locks (a file step): 0, or the
// errno value of the failure (EINTR when `stop` ended the wait). A file
// system without locks (ENOLCK) answers 0: the file goes unlocked.
[[nodiscard]] int lock_whole(int fd, bool exclusive, Interrupted stop = nullptr) noexcept;

// What SaveTarget::commit() answers: 0 or an errno value, and whether the
// new image was in place by then (renamed over the path, or written in
// place to its last byte). An error with `in_place` came after that (a
// flush, a close, or EINTR from the check after them).
struct Commit {
  int error = 0;
  bool in_place = false;
};

// The file a save writes, and the steps that put it in place (above).
// open() answers 0 or an errno value (EINTR: `stop` ended the save); once
// it has answered 0, the image goes to fd(), then commit() puts it in
// place. A SaveTarget destroyed without a successful commit removes the
// new file it made.
class SaveTarget {
 public:
  explicit SaveTarget(Interrupted stop = nullptr) noexcept : stop_(stop) {}
  SaveTarget(const SaveTarget&) = delete;
  SaveTarget& operator=(const SaveTarget&) = delete;
  ~SaveTarget() { discard(); }

  // `path` holds no NUL byte. May throw std::bad_alloc, before any file is
  // made (a directory opened meanwhile is closed again).
  [[nodiscard]] int open(const std::string& path);
  [[nodiscard]] int fd() const noexcept { return file_.get(); }
  [[nodiscard]] Commit commit() noexcept;

 private:
  // Opens `dir`, relative to `at`, into dir_: to read it when allowed, so
  // that it can be flushed, else only to name files in it.
  [[nodiscard]] int open_dir(int at, const std::string& dir) noexcept;
  // One try of open(): its answer, or kAgain when the path changed while it
  // was resolved; `last` try: never kAgain (see open()).
  [[nodiscard]] int resolve(const std::string& path, bool last);
  // Whether the path still reaches what it reached `before` (when
  // `reached_before`): 0 when it does, kAgain when it changed, or the
  // errno value of a failed stat.
  [[nodiscard]] int settled(const std::string& path, bool reached_before, const struct stat& before) noexcept;
  // Makes the new file beside name_ in dir_; `old` is the status of the
  // file it replaces, if any, whose attributes attrs_ holds. Answers
  // kOwnerRefused, the new file removed, when it cannot be given the old
  // owner and group. May throw std::bad_alloc, before the file is made.
  [[nodiscard]] int make_new_file(const struct stat* old);
  // Writes in place through the path itself: a stream as it is, a regular
  // file locked and truncated first (empty_locked), not flushed.
  [[nodiscard]] int open_in_place(const std::string& path) noexcept;
  // Writes in place through `opened`, the existing regular file opened for
  // writing: locks and truncates it, and has commit() flush it.
  [[nodiscard]] int write_over(FdCloser& opened) noexcept;
  // Takes the lock of the regular file file_, then empties it.
  [[nodiscard]] int empty_locked() noexcept;
  void discard() noexcept;

  Interrupted stop_;
  FdCloser file_;             // the file the image is written to
  FdCloser dir_;              // the directory of name_ and temp_
  bool dir_readable_ = false;  // dir_ may be flushed
  std::string name_;          // the name the new file is renamed to, in dir_
  std::string temp_;          // the new file's name in dir_ (empty when writing in place)
  Attributes attrs_;          // what the replaced file hands on
  std::optional<mode_t> mode_;  // the replaced file's mode, set after the image
  bool made_ = false;         // the new file exists and is not yet in place
  bool flush_in_place_ = false;  // a regular file written in place, flushed by commit()
};

}  // namespace corvale_trie::blobmap::file
