// corvale_trie engine: the locks that a blob map's saves and loads hold on
// an image file, and the descriptors through which they hold them.
//
// A save that writes a regular file in place holds an exclusive POSIX record
// lock over the whole file (fcntl F_SETLKW, F_WRLCK) from before it
// truncates the file until it has flushed and closed it; a load holds a
// shared one (F_RDLCK) while it reads. Between processes that is enough: a
// load waits for a save in place, a save in place for a load or for another
// save in place, and none of them sees a file half-written.
//
// Within one process it is not, and this module is what makes it so. POSIX
// record locks belong to the process, not to a descriptor or a thread:
//   - nothing in the process ever waits for them: a second lock of the same
//     process over the same bytes is granted at once, whatever its kind;
//   - closing any descriptor of the file drops every lock the process holds
//     on it, through whichever descriptor it was taken.
// Python runs signal handlers inside our calls (file_step.hpp), so a
// handler can save or load the very file that the call below it is saving
// or loading. Left alone, a save nested in a save in place would write over
// the outer one's half-written image, a load nested in it would read it
// half-written, and the close of the nested call's descriptor would let go
// of the lock that other processes wait on.
//
// The remedy (as SQLite's Unix layer keeps one record per inode, with the
// descriptors whose close must wait): every descriptor that one of our calls
// holds on a regular file is entered in one table of the process, keyed by
// device and inode, with the use the call makes of it (`Use`):
//   - `probe`: a save that replaces the file looks at it (its access, owner
//     and attributes) and takes no lock;
//   - `read`: a load, under a shared lock;
//   - `write`: a save in place, under an exclusive lock.
// A call whose use conflicts with one that another of our calls makes of
// the same file is refused at once, with EDEADLK ("Resource deadlock
// avoided"), before it has done anything to the file: waiting could not
// help, the holder being below it on the same thread. The conflicts: a
// `write` with anything (any save of a file under our own save in place of
// it, where a replacing save would leave the outer save's image on a file
// that no name reaches; a load under it), and a `write` wanted under a
// `read` (a save in place under our own load). Two loads go on together, so
// do a replacing save and a load (the load reads the old file, whole), and
// a save in place nested in a replacing save's probe (the outer save then
// replaces the file).
//
// No descriptor of ours is closed while another of our calls holds a lock
// (`read` or `write`) on its file: its close is put off, the descriptor
// kept in the table, until the last such call lets go of the file; then
// every put-off descriptor of that file is closed with it, which lets the
// lock go. A descriptor whose status could not be read is taken to be of
// any file.
//
// What this does not cover: the caller's own close of a descriptor of the
// file during one of our calls (a signal handler's open(path).close() drops
// our locks, and nothing here can see it), another program that writes the
// file without the lock, and open file description locks (F_OFD_SETLK),
// which conflict with ours even in the same process: they are waited for as
// another process's locks are.
//
// Threads: the table's mutex is held only while the table is looked at or
// changed, never across a wait, a close or an Interrupted check (a signal
// handler that runs there enters the table again). Within one process,
// conflicting calls never wait for each other, whichever threads they run
// on: the later one is refused. (From Python the only way for two of our
// calls on one file to meet is nesting, since both hold the interpreter
// lock throughout.)
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "engine/file_step.hpp"

namespace corvale_trie::blobmap::file {

enum class Use : u8 { probe, read, write };

struct Holder;  // a descriptor's entry in the table (file_lock.cpp)

// A descriptor of a file that a save or a load of ours opened, known to the
// table while it is open. It closes the descriptor on every way out, or
// puts its close off (above).
class HeldFile {
 public:
  HeldFile() noexcept = default;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();

  // Opens `name`, relative to `dir` (AT_FDCWD: the working directory), as
  // openat() does with `flags` and `mode`, as a file step (interrupted:
  // asked again unless `stop` answers true), and takes its status. An open
  // with O_NONBLOCK that finds the file leased to another process
  // (EWOULDBLOCK: the lease holder has been told to give it up) is made
  // again without O_NONBLOCK, waiting as open() waits for the lease. A
  // regular file is then entered in the table for `use`. Answers 0, or an
  // errno value: the open's, the status's, or EDEADLK when another call of
  // ours holds the file in a way that conflicts (the descriptor is then
  // gone, or its close put off). The table's entry is allocated first: may
  // throw std::bad_alloc, before anything is opened. Not open already.
  [[nodiscard]] int open(int dir, const char* name, int flags, mode_t mode, Use use, Interrupted stop);

  [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }
  [[nodiscard]] int fd() const noexcept { return fd_; }
  // The file's status, taken when it was opened.
  [[nodiscard]] const struct stat& status() const noexcept { return st_; }
  [[nodiscard]] bool regular() const noexcept { return is_open() && S_ISREG(st_.st_mode); }

  // Turns a regular file held as a `probe` into one held for `write` (a
  // save that writes in place the file it looked at): 0, or EDEADLK when
  // another call of ours holds it in a way that conflicts (it stays a
  // probe).
  [[nodiscard]] int use_for_writing() noexcept;

  // Takes the lock of the file's use over the whole regular file (`write`:
  // exclusive, else shared), waiting for other processes' locks (a file
  // step): 0, or the errno value of the failure (EINTR when `stop` ended
  // the wait; EDEADLK when the kernel found the wait would never end). A
  // file system without locks (ENOLCK) answers 0: the file goes unlocked.
  [[nodiscard]] int lock(Interrupted stop) noexcept;

  // Closes the descriptor, or puts its close off while another call of ours
  // holds a lock on the file: 0, or the errno value of a failed close (a
  // file step, for a writer to which a failed close is a failed write; a
  // close put off answers 0). Not open: 0.
  [[nodiscard]] int close() noexcept;
  // The same, for a descriptor that nothing was written through: not a
  // file step, and its answer is not looked at.
  void reset() noexcept;

 private:
  int let_go(bool as_step) noexcept;

  int fd_ = -1;
  struct stat st_ {};
  Holder* holder_ = nullptr;  // its entry, while in the table or kept for the next open()
};

}  // namespace corvale_trie::blobmap::file
