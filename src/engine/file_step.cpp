// The file steps of a blob map's save and load (file_step.hpp).
#include "engine/file_step.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace corvale_trie::blobmap::file {

#ifdef CORVALE_TEST_HOOKS
namespace {
Countdown g_fail_countdown;
std::atomic<void (*)() noexcept> g_pauses[kPausePoints]{};
}  // namespace

void fail_file_step_after(u64 n) noexcept { g_fail_countdown.arm(n); }

bool step_fails() noexcept { return g_fail_countdown.tick(); }

void pause_at(PausePoint point, void (*hook)() noexcept) noexcept {
  g_pauses[static_cast<int>(point)].store(hook, std::memory_order_relaxed);
}

void pause(PausePoint point) noexcept {
  if (const auto hook = g_pauses[static_cast<int>(point)].load(std::memory_order_relaxed)) hook();
}
#endif

namespace {
thread_local int t_calls = 0;          // saves and loads in progress on this thread
thread_local int t_parents_calls = 0;  // of them, the outermost ones that began in the parent

void after_fork_in_child() noexcept { t_parents_calls = t_calls; }
}  // namespace

CallInProgress::CallInProgress() noexcept {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, &after_fork_in_child) == 0;
  (void)registered;
  ++t_calls;
}

CallInProgress::~CallInProgress() { t_parents_calls = std::min(t_parents_calls, --t_calls); }

bool forked_away() noexcept { return t_parents_calls > 0 && t_calls == t_parents_calls; }

FdCloser::~FdCloser() { reset(-1); }

void FdCloser::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int FdCloser::close() noexcept { return close_fd(std::exchange(fd_, -1)); }

int close_fd(int fd) noexcept {
  const int r = ::close(fd);
  if (step_fails()) return EIO;
  return r == 0 || errno == EINTR ? 0 : errno;
}

int write_all(int fd, const u8* data, std::size_t n, int write_zero, Interrupted stop) noexcept {
  while (n > 0) {
    if (stopped(stop)) return EINTR;
    const ssize_t w = step([&] { return ::write(fd, data, std::min(n, kPiece)); }, stop);
    if (w < 0) return errno;
    if (w == 0) return write_zero;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

}  // namespace corvale_trie::blobmap::file
