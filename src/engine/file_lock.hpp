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
// Two of our calls on one file can meet in one process in two ways:
//   - nested, on one thread: Python runs signal handlers inside our calls
//     (file_step.hpp), so a handler can save or load the very file that the
//     call below it is saving or loading;
//   - side by side, on two threads: a handler, or a pause of a test build,
//     that blocks lets the interpreter lock go, and every wait of ours lets
//     it go too (file_step.hpp, waiting_step), so another thread can make a
//     whole call of its own meanwhile.
// Left alone, a save that meets a save in place would write over its
// half-written image, a load would read it half-written, and the close of
// the later call's descriptor would let go of the lock that other
// processes wait on.
//
// The remedy (as SQLite's Unix layer keeps one record per inode, with the
// descriptors whose close must wait): every descriptor that one of our calls
// holds on a file is entered in one table of the process, keyed by device
// and inode, with the use the call makes of it (`Use`) and the thread that
// makes it:
//   - `probe`: a save that replaces the file looks at it (its access, owner
//     and attributes) and takes no lock;
//   - `read`: a load, under a shared lock;
//   - `write`: a save in place, under an exclusive lock; a stream (a FIFO, a
//     pipe, a terminal) that a save writes is entered for `write` too, and
//     takes no lock.
// The conflicts: a `write` with anything (any save of a file under our own
// save in place of it, where a replacing save would leave the outer save's
// image on a file that no name reaches; a load under it), and a `write`
// wanted under a `read` (a save in place under our own load). Two loads go
// on together, so do a replacing save and a load (the load reads the old
// file, whole), and a save in place under a replacing save's probe (the
// replacing save then replaces the file).
//
// A call whose use conflicts with that of another call:
//   - on the same thread (nested) is refused at once, with EDEADLK
//     ("Resource deadlock avoided"): the holder is below it, and waiting
//     could not help;
//   - on another thread waits until the holder lets go of the file, then
//     goes on, as another process's call would. It waits with the caller's
//     other threads let run (Caller), looks at its Interrupted check now and
//     then (every kLongestPause at most), and stops with EINTR when the
//     check says so;
//   - but a thread that already holds the file of another call of its own
//     (its call is nested in that one) never waits for another thread: it is
//     refused with EDEADLK instead. A call that waits thus holds nothing
//     else in the table (but the probe that it turns into a `write`, which
//     stands in no call's way), and no cycle of waits can form, as the
//     kernel refuses an F_SETLKW that would close one.
// A refused call has opened the file (a save's probe with O_CREAT, which
// makes a file that was not there) and may have waited for a lease or for
// other threads; it has written nothing to it and taken no lock.
//
// No descriptor of ours is closed while another of our calls holds a lock
// (`read` or `write`, on a regular file) on its file: its close is put off,
// the descriptor kept in the table, until the last such call lets go of
// the file; then every put-off descriptor of that file is closed with it,
// which lets the lock go. The closes are made under the table's mutex, so
// that no other thread takes the file's lock between the table's answer
// and the close that would drop it. Each call opens a descriptor of its
// own, as open() opens it, with every check the kernel makes there: a
// put-off descriptor is never handed to a later call, which would skip
// them. So loads nested in a load of one file keep a descriptor each until
// the outer load is done. A descriptor whose status could not be read is
// taken to be of any file.
//
// After fork(), the child holds no record lock (they are not inherited) and
// runs one thread. It starts with an empty table: the descriptors of other
// threads' calls and the put-off ones are closed in the child (the
// parent's stay as they are). A call of the forking thread that goes on in
// the child (a fork inside a signal handler inside our call) goes on
// outside the table, and fails there at its next file step
// (file_step.hpp, CallInProgress): only the parent's call writes the file.
// Its descriptor is closed, or put off under a lock of a call the child
// began.
//
// What this does not cover: the caller's own close of a descriptor of the
// file during one of our calls (a signal handler's open(path).close() drops
// our locks, and nothing here can see it), the caller's own fcntl or lockf
// on such a descriptor (an unlock drops our lock, a shared lock turns our
// exclusive one into a shared one), another program that writes the file
// without the lock, and open file description locks (F_OFD_SETLK), which
// conflict with ours even in the same process: they are waited for as
// another process's locks are.
//
// Threads: the table's mutex is held only while the table is looked at or
// changed and while the regular files it lets go of are closed (a close
// that blocks, on a network file system, holds up other threads' calls on
// the table meanwhile), never across a wait or an Interrupted check (a
// signal handler that runs there enters the table again). The order: the
// caller's lock (the interpreter lock) before the table's mutex, never the
// other way round.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>

#include "engine/file_step.hpp"

namespace corvale_trie::blobmap::file {

enum class Use : u8 { probe, read, write };

// The longest a call that waits for another thread's call sleeps between
// two looks at the table and at its Interrupted check.
inline constexpr std::chrono::milliseconds kLongestPause{10};

struct TableEntry;  // a descriptor's entry in the table (file_lock.cpp)

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
  // openat() does with `flags` and `mode`, as a file step, and takes its
  // status. An open that may block (one without O_NONBLOCK) lets the
  // caller's other threads run while it waits. An open with O_NONBLOCK
  // that finds the file leased to another process (EWOULDBLOCK: the lease
  // holder has been told to give it up) asks the Interrupted check, so that
  // a handler that gives the lease up runs first, and is then made again
  // without O_NONBLOCK, waiting as open() waits for the lease. A regular
  // file, or a stream opened for `write`, is then entered in the table for
  // `use`, waiting for another thread's call where it conflicts (above).
  // Answers 0, or an errno value: the open's, the status's,
  // EDEADLK when another call of ours holds the file in a way that
  // conflicts and it may not wait, EINTR when the Interrupted check ended
  // a wait (the descriptor is then gone, or its close put off). The
  // table's entry is allocated first: may throw std::bad_alloc, before
  // anything is opened. Not open already.
  [[nodiscard]] int open(int dir, const char* name, int flags, mode_t mode, Use use, const Caller& caller);

  [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }
  [[nodiscard]] int fd() const noexcept { return fd_; }
  // The file's status, taken when it was opened.
  [[nodiscard]] const struct stat& status() const noexcept { return st_; }
  [[nodiscard]] bool regular() const noexcept { return is_open() && S_ISREG(st_.st_mode); }

  // Turns a regular file held as a `probe` into one held for `write` (a
  // save that writes in place the file it looked at), waiting for another
  // thread's call as open() does: 0, EDEADLK or EINTR (it stays a probe).
  [[nodiscard]] int use_for_writing(const Caller& caller) noexcept;

  // Takes the lock of the file's use over the whole regular file (`write`:
  // exclusive, else shared), waiting for other processes' locks with the
  // caller's other threads let run: 0, or the errno value of the failure
  // (EINTR when the Interrupted check ended the wait; EDEADLK when the
  // kernel found the wait would never end). The kernel takes the process
  // for one owner: a cycle that it finds through the lock of another
  // thread's call, which will let go, is waited out in naps by a call that
  // holds nothing else (one that does fails, as the kernel says). A file
  // system without locks (ENOLCK) answers 0: the file goes unlocked.
  [[nodiscard]] int lock(const Caller& caller) noexcept;

  // Closes the descriptor, or puts its close off while another call of ours
  // holds a lock on the file: 0, or the errno value of a failed close (a
  // file step, for a writer to which a failed close is a failed write; a
  // close put off answers 0). Not open: 0.
  [[nodiscard]] int close() noexcept;
  // The same, for a descriptor that nothing was written through: not a
  // file step, and nothing is answered.
  void discard() noexcept;

 private:
  enum class Closing : u8 { reported, quiet };

  // Grants this entry `wanted`, waiting for other threads' calls that
  // conflict with it: 0, EDEADLK or EINTR.
  [[nodiscard]] int claim(Use wanted, const Caller& caller) noexcept;
  [[nodiscard]] int let_go(Closing how) noexcept;

  int fd_ = -1;
  struct stat st_ {};
  TableEntry* entry_ = nullptr;  // while in the table or outside it; kept for the next open()
};

}  // namespace corvale_trie::blobmap::file
