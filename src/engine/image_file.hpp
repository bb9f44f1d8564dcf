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
// known). A file system that cannot flush a directory at all (EINVAL) is
// taken as it is; so is a directory that may be written but not read,
// which cannot be opened to be flushed.
//
// What a save keeps of the path:
//   - a symbolic link (in the last component, followed as open() follows it)
//     stays; the file it leads to is replaced, in that file's directory;
//   - a new file gets mode 0666 less the umask; an existing one lends the
//     new file its permission bits (set-id and sticky bits included), its
//     owner and its group, as far as the caller may give them: where the
//     owner cannot be given (an unprivileged caller saving over another
//     user's file), the new file belongs to the caller, in the old group
//     when the caller is a member of it; extended attributes and ACLs are
//     not copied; other hard links to the old file keep the old image;
//   - write access is checked first, by opening the existing file for
//     writing (without truncating it): a file the caller may not write is
//     refused with the error of that open, as a save in place would be;
//   - a path that exists and is not a regular file (a FIFO, a character
//     device such as /dev/null, a directory) is opened and written in place,
//     with O_TRUNC, as before: such a file cannot be replaced by a rename;
//   - where the new file cannot be made or renamed (a directory the caller
//     may not write, a sticky directory and another user's file), the save
//     fails with the error of that step and the old image stays: it never
//     falls back to writing a regular file in place, which would give up
//     the guarantee exactly where nobody sees it.
//
// The new file is named `.{name}.corvale-save-{pid}-{8 hex digits}` after
// the last component `name` of the file it is to replace (shortened, at a
// UTF-8 character boundary, so that the whole fits 255 bytes), made with
// O_EXCL under another random part while the name is taken. A process
// killed during a save leaves it behind; nothing else does.
//
// Every allocation of a save is made in open(), before the new file exists:
// running out of memory (std::bad_alloc) leaves the file system as it was.
//
// Testing hook (builds with CORVALE_TEST_HOOKS, the module's test builds):
// every step of a save or a load that touches the file system (each system
// call on the image file or its directory except the clean-up after a
// failure and the change of owner, whose refusal a save takes as it is, and
// the loader's taking of its read window) counts down, and
// fail_file_step_after(n) makes the n-th from now fail: a system call
// fails with EIO without being made (a close is made, then reported as
// failed), and the read window fails as if memory had run out.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "engine/types.hpp"

namespace corvale_trie::blobmap::file {

#ifdef CORVALE_TEST_HOOKS
// Makes the n-th file step from now fail; 0 disarms.
void fail_file_step_after(u64 n) noexcept;
[[nodiscard]] bool step_fails() noexcept;
#else
[[nodiscard]] constexpr bool step_fails() noexcept { return false; }
#endif

// Runs `call`, a system call that answers -1 and sets errno on failure, as
// one file step.
template <class F>
auto step(F&& call) noexcept {
  using R = decltype(call());
  if (step_fails()) [[unlikely]] {
    errno = EIO;
    return R(-1);
  }
  return call();
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
  // 0, or the errno value of a failed close (a file step); the descriptor
  // is gone either way.
  [[nodiscard]] int close() noexcept;

 private:
  int fd_;
};

// Writes n bytes to fd (each write call a file step): 0, or the errno value
// of the first failed write, or `write_zero` for a write that took nothing.
[[nodiscard]] int write_all(int fd, const u8* data, std::size_t n, int write_zero) noexcept;

// The file a save writes, and the steps that put it in place (above).
// open() and commit() answer 0 or an errno value; once open() has answered
// 0, the image goes to fd(), then commit() puts it in place. A SaveTarget
// destroyed without a successful commit removes the new file it made.
class SaveTarget {
 public:
  SaveTarget() = default;
  SaveTarget(const SaveTarget&) = delete;
  SaveTarget& operator=(const SaveTarget&) = delete;
  ~SaveTarget() { discard(); }

  // `path` holds no NUL byte. May throw std::bad_alloc, before any file is
  // made or opened.
  [[nodiscard]] int open(const std::string& path);
  [[nodiscard]] int fd() const noexcept { return file_.get(); }
  [[nodiscard]] int commit() noexcept;

 private:
  // Makes the new file beside `target`, whose last component starts at
  // `name_at`; `old` is the status of the file it replaces, if any.
  [[nodiscard]] int make_new_file(std::string target, std::size_t name_at, const struct stat* old);
  [[nodiscard]] int open_in_place(const std::string& path) noexcept;
  void discard() noexcept;

  FdCloser file_;       // the file the image is written to
  FdCloser dir_;        // the new file's directory, to flush; -1 when unreadable
  std::string temp_;    // the new file's path (empty when writing in place)
  std::string target_;  // the path it is renamed to
  bool made_ = false;   // the new file exists and is not yet in place
};

}  // namespace corvale_trie::blobmap::file
