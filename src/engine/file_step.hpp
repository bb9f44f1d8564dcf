// corvale_trie engine: the file steps of a blob map's save and load, the
// system calls they make on the image file and its directory.
//
// Every such call goes through step(): a call that a signal interrupted
// (EINTR) asks the call's `Interrupted` check, and is made again unless the
// check answers true. Python runs its signal handlers in that check, so a
// handler runs inside a save or a load: it may save or load the same file
// (file_lock.hpp has what that means for the file's locks).
//
// Testing hooks (builds with CORVALE_TEST_HOOKS, the module's test builds):
// every step counts down, and fail_file_step_after(n) makes the n-th from
// now fail with EIO without being made (a close is made, then reported as
// failed; the loader's taking of its read window counts too, and fails as
// if memory had run out). pause_at(point, hook) has every save or load
// call `hook` at `point` (PausePoint).
#pragma once

#include <cerrno>
#include <cstddef>
#include <utility>

#include "engine/types.hpp"

namespace corvale_trie::blobmap::file {

// Asked between the pieces of a save or a load, and after a system call
// that a signal interrupted: true stops the call. The Python layer runs its
// signal handlers here; one that raises leaves its exception pending and
// answers true. Null: never stop.
using Interrupted = bool (*)() noexcept;

// Asks `stop`, when there is one.
[[nodiscard]] inline bool stopped(Interrupted stop) noexcept { return stop != nullptr && stop(); }

// What a save or a load asks of the code that called it: its Interrupted
// check, and how to let the caller's other threads run while the call
// waits for something outside it (another process's lock, a lease, a
// FIFO's reader, another thread's call of ours). The Python layer releases
// the interpreter lock in `release` and takes it again in `reacquire`,
// which gets what `release` answered. Either may be null: nothing to do.
struct Caller {
  using Release = void* (*)() noexcept;
  using Reacquire = void (*)(void*) noexcept;

  // A caller with nothing to let run, that may be interrupted.
  constexpr Caller(Interrupted check = nullptr) noexcept : stop(check) {}  // NOLINT: implicit by design
  constexpr Caller(Interrupted check, Release let_go, Reacquire take_back) noexcept
      : stop(check), release(let_go), reacquire(take_back) {}

  Interrupted stop = nullptr;
  Release release = nullptr;
  Reacquire reacquire = nullptr;
};

// The most a save writes, or a load reads, in one system call: the pieces
// between which it asks its Interrupted check.
inline constexpr std::size_t kPiece = std::size_t{1} << 20;

// Where a test build may pause a save or a load:
//   - path_stat: a save, between the status of its path and the resolution
//     of the path's name, where another save's rename would make the two
//     disagree;
//   - link_stat: a save, between the status of a link it follows and the
//     reading of that link, where the link may be replaced;
//   - locked: a save that writes a file in place, or a load, just after it
//     holds the file (file_lock.hpp), before it writes or reads: a regular
//     file once its lock is taken, a stream once it is entered in the table.
enum class PausePoint { path_stat, link_stat, locked };
inline constexpr int kPausePoints = static_cast<int>(PausePoint::locked) + 1;

#ifdef CORVALE_TEST_HOOKS
// Makes the n-th file step from now fail; 0 disarms.
void fail_file_step_after(u64 n) noexcept;
// Has every save and load from now on call `hook` at `point`; null: none.
void pause_at(PausePoint point, void (*hook)() noexcept) noexcept;
[[nodiscard]] bool step_fails() noexcept;
void pause(PausePoint point) noexcept;
#else
[[nodiscard]] constexpr bool step_fails() noexcept { return false; }
inline void pause(PausePoint) noexcept {}
#endif

// A save or a load in progress on this thread, for the life of the
// object; calls nest (a signal handler's call runs inside another). A fork
// made while calls are in progress on the forking thread (by a signal
// handler inside one of them) leaves the child going on with those calls,
// on the very open files (offsets included) that the parent goes on with:
// in the child, every file step of theirs fails with ECANCELED
// ("Operation canceled") without being made, and a save removes no file,
// so that the parent's call alone touches them. Calls that the child
// begins are its own.
class CallInProgress {
 public:
  CallInProgress() noexcept;
  CallInProgress(const CallInProgress&) = delete;
  CallInProgress& operator=(const CallInProgress&) = delete;
  ~CallInProgress();
};

// Whether this thread's innermost call began in the parent of this process
// (CallInProgress).
[[nodiscard]] bool forked_away() noexcept;

// Runs `call`, a system call that answers -1 and sets errno on failure, as
// one file step. A call that a signal interrupted (EINTR) is asked again,
// unless `stop` answers true: the answer is then -1 with errno EINTR. A
// call that began in the parent of this process fails with ECANCELED
// (CallInProgress).
template <class F>
auto step(F&& call, Interrupted stop = nullptr) noexcept {
  using R = decltype(call());
  for (;;) {
    if (step_fails()) [[unlikely]] {
      errno = EIO;
      return R(-1);
    }
    if (forked_away()) [[unlikely]] {
      errno = ECANCELED;
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

// Runs `wait`, a call that may block for as long as something outside
// this call holds on, with the caller's other threads let run meanwhile:
// `release` before it, `reacquire` right after it, before anything else
// (errno is kept across it).
template <class F>
auto while_released(const Caller& caller, F&& wait) noexcept {
  void* const token = caller.release != nullptr ? caller.release() : nullptr;
  const auto r = wait();
  const int e = errno;
  if (caller.reacquire != nullptr) caller.reacquire(token);
  errno = e;
  return r;
}

// A file step that may block (F_SETLKW, an open that waits for a lease or a
// FIFO's reader): step() with the call itself made while_released(), so
// that the Interrupted check after an EINTR runs with the caller's lock
// taken back.
template <class F>
auto waiting_step(F&& call, const Caller& caller) noexcept {
  return step([&] { return while_released(caller, call); }, caller.stop);
}

// The owner of a file descriptor that the engine opened: it closes the
// descriptor on every way out. close() closes it earlier and reports how
// that went, for a writer to which a failed close is a failed write. (A
// descriptor of a file that a save or a load of ours may lock is held by a
// HeldFile instead, file_lock.hpp.)
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
  // is gone either way.
  [[nodiscard]] int close() noexcept;

 private:
  int fd_;
};

// Closes `fd` as a file step: 0, or the errno value of a failed close. The
// descriptor is gone either way; EINTR is not a failure (the descriptor is
// closed, and a repeated close could close another one).
[[nodiscard]] int close_fd(int fd) noexcept;

// Writes n bytes to fd in pieces of at most kPiece (each write call a file
// step), asking `stop` before each: 0, or the errno value of the first
// failed write (EINTR when `stop` ended it), or `write_zero` for a write
// that took nothing.
[[nodiscard]] int write_all(int fd, const u8* data, std::size_t n, int write_zero,
                            Interrupted stop = nullptr) noexcept;

}  // namespace corvale_trie::blobmap::file
