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
//     is written in place through the path, and no other file is made: a
//     stream as it is, a regular file locked, truncated, written and
//     flushed (fsync) as below;
//   - a link followed here is held to the kernel's rule for following
//     links (Linux's fs.protected_symlinks): in a sticky directory that
//     anyone may write, a link that is neither the caller's (its file-system
//     uid) nor the directory owner's is refused with EACCES, as open()
//     refuses it. A name that stops being a link before it is read is
//     looked at again, and so is a name that is gone by then;
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
//   - a regular file written in place is locked first: the save takes an
//     exclusive POSIX record lock over the whole file before it truncates
//     it, and holds it until the file is flushed and closed; a load takes a
//     shared one while it reads (file_lock.hpp: how that holds within one
//     process too, where a save or a load nested in another one of the
//     same file is refused with EDEADLK). Waiting can be interrupted
//     (below). A replacement takes no lock: a load opens the old file or
//     the new one;
//   - a file leased to another process (Linux's F_SETLEASE, as Samba and
//     the NFS server take) is waited for as open() waits: until the lease
//     holder gives it up, or the kernel breaks the lease
//     (/proc/sys/fs/lease-break-time); the wait can be interrupted;
//   - a path that exists and is not a regular file (a FIFO, a character
//     device such as /dev/null, a directory) is opened and written in place
//     as a stream, neither truncated nor flushed: such a file cannot be
//     replaced by a rename;
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
// written; one still waiting for its lock or a lease is untouched). Once the new image
// is in place, after the rename or, written in place, after its last byte,
// the save cannot be stopped: an interrupted flush is repeated. It asks
// the check once more right after the rename and once after the
// directory's flush (the second time only when the first answered false),
// or once after the flush of a file written in place, so that a signal
// that came meanwhile is handled inside the call: a true answer makes
// commit() answer EINTR, with the new image in place. (A close that
// reports EINTR has closed the descriptor and is not repeated.) A fork made
// during a save (by a signal handler inside it) leaves the save to the
// parent: in the child it fails at its next step with ECANCELED, touching
// nothing and removing no file (file_step.hpp, CallInProgress).
//
// Every allocation of a save is made in open(), before the file it opens or
// makes: running out of memory (std::bad_alloc) leaves the file system as
// it was.
//
// Every step of a save or a load that touches the file system (each system
// call on the image file or its directory but the clean-up after a
// failure) is a file step (file_step.hpp), which a test build can make
// fail. fail_chown_with(e), in test builds, makes the next change of owner
// of a save's new file fail with errno e without being made; that failure
// takes the place of the step, which is then not counted.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "engine/file_attrs.hpp"
#include "engine/file_lock.hpp"
#include "engine/file_step.hpp"
#include "engine/types.hpp"

namespace corvale_trie::blobmap::file {

#ifdef CORVALE_TEST_HOOKS
// Makes the next change of owner of a save fail with errno e, once; 0
// disarms.
void fail_chown_with(int e) noexcept;
#endif

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
  explicit SaveTarget(const Caller& caller = {}) noexcept : caller_(caller) {}
  SaveTarget(const SaveTarget&) = delete;
  SaveTarget& operator=(const SaveTarget&) = delete;
  ~SaveTarget() { discard(); }

  // `path` holds no NUL byte. May throw std::bad_alloc, before it opens or
  // makes a file (a directory opened meanwhile is closed again).
  [[nodiscard]] int open(const std::string& path);
  [[nodiscard]] int fd() const noexcept { return made_ ? new_file_.get() : existing_.fd(); }
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
  // file locked and emptied first (empty_locked()).
  [[nodiscard]] int open_in_place(const std::string& path);
  // Writes in place through existing_, the regular file that the save
  // looked at to replace it: for writing now, locked and emptied.
  [[nodiscard]] int write_over() noexcept;
  // Takes the lock of existing_, a regular file held for writing, then
  // empties it.
  [[nodiscard]] int empty_locked() noexcept;
  [[nodiscard]] Commit commit_in_place() noexcept;
  [[nodiscard]] Commit commit_new_file() noexcept;
  // Closes and removes the new file.
  void remove_new_file() noexcept;
  void discard() noexcept;

  const CallInProgress call_;  // first: it outlasts every descriptor below
  Caller caller_;
  // The existing file: looked at (a probe) to be replaced, or the file
  // written in place (a stream, or a regular file held for writing).
  HeldFile existing_;
  FdCloser new_file_;          // the new file, while made_
  FdCloser dir_;               // the directory of name_ and temp_
  bool dir_readable_ = false;  // dir_ may be flushed
  std::string name_;           // the name the new file is renamed to, in dir_
  std::string temp_;           // the new file's name in dir_
  Attributes attrs_;           // what the replaced file hands on
  // The replaced file's mode, which the new file takes last, in commit():
  // after the image, since a write by a caller who may not set them clears
  // the set-id bits, and after the ACL (attrs_), whose mask it must agree
  // with.
  std::optional<mode_t> mode_;
  bool made_ = false;  // the new file exists and is not yet in place
};

}  // namespace corvale_trie::blobmap::file
