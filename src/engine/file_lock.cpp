// The image file's locks within one process and between processes
// (file_lock.hpp).
#include "engine/file_lock.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

namespace corvale_trie::blobmap::file {

// A descriptor that one of our calls holds on a file. Its HeldFile owns it,
// except once it is put off: the table then closes its descriptor and
// frees it with the file's last lock.
struct TableEntry {
  enum class State : u8 {
    outside,  // not in the table: not entered (yet), or a call the child of a fork goes on with
    waiting,  // its call waits for another thread's call: it holds nothing
    holding,  // its call makes `use` of the file
    put_off,  // its call let go; its close waits for the file's last lock
  };

  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  bool known = true;     // dev and ino were read; else it may be any file
  bool stream = false;   // not a regular file: takes no lock
  Use use = Use::probe;
  State state = State::outside;
  std::thread::id thread;  // of the call
  TableEntry* next = nullptr;
};

namespace {

using State = TableEntry::State;

std::mutex g_mutex;
TableEntry* g_table = nullptr;  // guarded by g_mutex
// How often a call has let go of a regular file, counted under g_mutex once
// the closes it made are done.
std::atomic<u64> g_let_gos{0};

// The first pause of a call that waits for another thread's call; each
// next one is twice as long, up to kLongestPause.
constexpr std::chrono::microseconds kFirstPause{50};

// Whether two entries may be of one file: an entry whose status was not
// read may be of any.
bool maybe_same_file(const TableEntry& a, const TableEntry& b) noexcept {
  return !a.known || !b.known || (a.dev == b.dev && a.ino == b.ino);
}

bool locks(const TableEntry& e) noexcept { return e.use != Use::probe && !e.stream; }

// Whether `wanted` may be made of a file of which another call makes `held`.
bool compatible(Use held, Use wanted) noexcept {
  if (held == Use::write) return false;
  return !(wanted == Use::write && held == Use::read);
}

void link(TableEntry& e) noexcept {
  e.next = std::exchange(g_table, &e);
}

void unlink(TableEntry& e) noexcept {
  for (TableEntry** at = &g_table; *at != nullptr; at = &(*at)->next) {
    if (*at == &e) {
      *at = e.next;
      e.next = nullptr;
      return;
    }
  }
}

// Who holds self's file in a way that `wanted` conflicts with: nobody, a
// call of another thread, or one of self's own thread (which wins: its
// call is below). Only a file known to be self's counts. Under g_mutex.
enum class Conflict : u8 { none, other_thread, this_thread };
Conflict conflict(const TableEntry& self, Use wanted) noexcept {
  Conflict found = Conflict::none;
  if (!self.known) return found;
  for (const TableEntry* h = g_table; h != nullptr; h = h->next) {
    if (h == &self || h->state != State::holding || !h->known || !maybe_same_file(*h, self) ||
        compatible(h->use, wanted))
      continue;
    if (h->thread == self.thread) return Conflict::this_thread;
    found = Conflict::other_thread;
  }
  return found;
}

// Whether self's thread holds a file in another call of its own (self's
// call is nested in it). Under g_mutex.
bool holds_another(const TableEntry& self) noexcept {
  for (const TableEntry* h = g_table; h != nullptr; h = h->next)
    if (h != &self && h->state == State::holding && h->thread == self.thread) return true;
  return false;
}

// Whether a call holds a lock on the file of `self`. Under g_mutex.
bool locked_by_a_call(const TableEntry& self) noexcept {
  for (const TableEntry* h = g_table; h != nullptr; h = h->next)
    if (h != &self && h->state == State::holding && locks(*h) && maybe_same_file(*h, self)) return true;
  return false;
}

// Whether a deadlock that the kernel reported to self's call, waiting for a
// lock it asked for when g_let_gos was `asked`, may be one only to the
// kernel: it takes the whole process for one owner of record locks, so a
// wait for another process that waits in turn for the lock of another
// thread's call of ours looks like a cycle, though that call will let go
// (or has let go since). A call that holds nothing else is part of no real
// cycle: it waits on. Under g_mutex.
bool deadlock_through_another_thread(const TableEntry& self, u64 asked) noexcept {
  if (holds_another(self)) return false;
  if (g_let_gos.load(std::memory_order_relaxed) != asked) return true;  // read under g_mutex
  for (const TableEntry* h = g_table; h != nullptr; h = h->next)
    if (h->state == State::holding && locks(*h) && h->thread != self.thread) return true;
  return false;
}

// One nap of a call that waits for another thread's call: slept with the
// caller's other threads let run (a signal ends it early), then the
// Interrupted check is asked: true when it stops the call.
bool nap_then_stopped(const Caller& caller, std::chrono::microseconds nap) noexcept {
  while_released(caller, [nap] {
    const auto us = nap.count();
    const timespec t{.tv_sec = static_cast<time_t>(us / 1000000), .tv_nsec = static_cast<long>(us % 1000000) * 1000};
    return ::nanosleep(&t, nullptr);
  });
  return stopped(caller.stop);
}

// The nap after `nap`: twice as long, up to kLongestPause.
std::chrono::microseconds longer(std::chrono::microseconds nap) noexcept {
  return std::min<std::chrono::microseconds>(2 * nap, kLongestPause);
}

// Opens the file as HeldFile::open() says: the descriptor, or -1 with errno
// set.
int open_file(int dir, const char* name, int flags, mode_t mode, const Caller& caller) noexcept {
  if ((flags & O_NONBLOCK) == 0) return waiting_step([&] { return ::openat(dir, name, flags, mode); }, caller);
  const int fd = step([&] { return ::openat(dir, name, flags, mode); }, caller.stop);
  if (fd >= 0 || (errno != EWOULDBLOCK && errno != EAGAIN)) return fd;
  // Leased to another process, which has been told to give the lease up: a
  // handler of ours that gives it up (on SIGIO) runs first.
  if (stopped(caller.stop)) {
    errno = EINTR;
    return -1;
  }
  return waiting_step([&] { return ::openat(dir, name, flags & ~O_NONBLOCK, mode); }, caller);
}

// fork(): the table's mutex is taken before and let go after, in both
// processes, so the child finds the table whole. The child holds no
// record lock and runs only the forking thread: it starts with an empty
// table (file_lock.hpp).
void before_fork() noexcept { g_mutex.lock(); }

void after_fork_in_parent() noexcept { g_mutex.unlock(); }

void after_fork_in_child() noexcept {
  const std::thread::id self = std::this_thread::get_id();
  for (TableEntry* e = std::exchange(g_table, nullptr); e != nullptr;) {
    TableEntry* const next = std::exchange(e->next, nullptr);
    if (e->state != State::put_off && e->thread == self) {
      e->state = State::outside;  // its call goes on in the child; its HeldFile closes it
    } else {
      // Put off, or a call of a thread that the child does not have: the
      // child's copy of the descriptor is closed (the parent's stays).
      ::close(e->fd);
      delete e;
    }
    e = next;
  }
  g_mutex.unlock();
}

void handle_forks() noexcept {
  static const bool registered = ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;
  (void)registered;
}

}  // namespace

HeldFile::~HeldFile() {
  discard();
  delete entry_;
}

int HeldFile::open(int dir, const char* name, int flags, mode_t mode, Use use, const Caller& caller) {
  CORVALE_ASSERT(fd_ < 0);
  handle_forks();
  if (entry_ == nullptr) entry_ = new TableEntry;
  *entry_ = TableEntry{};
  const int fd = open_file(dir, name, flags, mode, caller);
  if (fd < 0) return errno;
  fd_ = fd;
  TableEntry& e = *entry_;
  e.fd = fd;
  e.known = step([&] { return ::fstat(fd, &st_); }, caller.stop) == 0;
  if (!e.known) {
    const int status_error = errno;
    discard();
    return status_error;
  }
  e.dev = st_.st_dev;
  e.ino = st_.st_ino;
  e.stream = !S_ISREG(st_.st_mode);
  if (e.stream && use != Use::write) return 0;  // nothing of ours locks it or writes it: not in the table
  e.use = use;
  e.thread = std::this_thread::get_id();
  {
    const std::lock_guard guard(g_mutex);
    e.state = State::waiting;
    link(e);
  }
  if (const int refused = claim(use, caller)) {
    discard();
    return refused;
  }
  if (e.stream) pause(PausePoint::locked);  // a stream is held once entered; it takes no lock
  return 0;
}

int HeldFile::claim(Use wanted, const Caller& caller) noexcept {
  for (std::chrono::microseconds nap = kFirstPause;; nap = longer(nap)) {
    {
      const std::lock_guard guard(g_mutex);
      TableEntry& e = *entry_;
      // A call that the child of a fork goes on with has no table to ask.
      const Conflict c = e.state == State::outside ? Conflict::none : conflict(e, wanted);
      if (c == Conflict::none) {
        e.use = wanted;
        if (e.state == State::waiting) e.state = State::holding;
        return 0;
      }
      if (c == Conflict::this_thread || holds_another(e)) return EDEADLK;
    }
    if (nap_then_stopped(caller, nap)) return EINTR;
  }
}

int HeldFile::use_for_writing(const Caller& caller) noexcept {
  CORVALE_ASSERT(regular() && entry_->use == Use::probe);
  return claim(Use::write, caller);
}

int HeldFile::lock(const Caller& caller) noexcept {
  CORVALE_ASSERT(regular() && entry_->use != Use::probe);
  struct flock whole {};
  whole.l_type = entry_->use == Use::write ? F_WRLCK : F_RDLCK;
  whole.l_whence = SEEK_SET;  // l_start 0, l_len 0: from the start to any end
  for (std::chrono::microseconds nap = kFirstPause;; nap = longer(nap)) {
    // Taken at once when nobody else holds it; else waited for, with the
    // caller's other threads let run.
    const u64 asked = g_let_gos.load(std::memory_order_acquire);
    const int r = step(
        [&] {
          const int r = ::fcntl(fd_, F_SETLK, &whole);
          if (r == 0 || (errno != EAGAIN && errno != EACCES)) return r;
          return while_released(caller, [&] { return ::fcntl(fd_, F_SETLKW, &whole); });
        },
        caller.stop);
    if (r == 0 || errno == ENOLCK) break;
    const int e = errno;
    bool waits_on = false;
    if (e == EDEADLK) {
      const std::lock_guard guard(g_mutex);
      waits_on = deadlock_through_another_thread(*entry_, asked);
    }
    if (!waits_on) return e;
    if (nap_then_stopped(caller, nap)) return EINTR;
  }
  pause(PausePoint::locked);
  return 0;
}

int HeldFile::close() noexcept { return let_go(Closing::reported); }

void HeldFile::discard() noexcept { (void)let_go(Closing::quiet); }

int HeldFile::let_go(Closing how) noexcept {
  if (fd_ < 0) return 0;
  fd_ = -1;
  TableEntry& mine = *entry_;
  const auto close_fd_of = [](TableEntry& e, Closing closing) {
    const int fd = std::exchange(e.fd, -1);
    if (closing == Closing::reported) return close_fd(fd);
    ::close(fd);
    return 0;
  };
  if (mine.stream) {  // it locks nothing, and nothing holds its close
    if (mine.state != State::outside) {
      const std::lock_guard guard(g_mutex);
      unlink(mine);
      mine.state = State::outside;
    }
    return close_fd_of(mine, how);
  }
  // Under the mutex to the end, closes included: no other thread takes a
  // lock of the file between the table's answer and the close that would
  // drop it.
  const std::lock_guard guard(g_mutex);
  if (mine.state != State::outside) unlink(mine);
  int result = 0;
  if (!locked_by_a_call(mine)) {
    mine.state = State::outside;
    result = close_fd_of(mine, how);
  } else {
    mine.state = State::put_off;  // the table's from now on
    link(mine);
    entry_ = nullptr;
  }
  // Every put-off descriptor that no call's lock keeps any more is closed:
  // this entry's file may have lost its last lock, and an entry whose
  // status was not read may have been of any file.
  for (TableEntry** at = &g_table; *at != nullptr;) {
    TableEntry* const h = *at;
    if (h->state == State::put_off && !locked_by_a_call(*h)) {
      *at = h->next;
      (void)close_fd_of(*h, Closing::quiet);
      delete h;
    } else {
      at = &h->next;
    }
  }
  g_let_gos.fetch_add(1, std::memory_order_release);  // once the closes are made
  return result;
}

}  // namespace corvale_trie::blobmap::file
