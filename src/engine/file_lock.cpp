// The image file's locks within one process and between processes
// (file_lock.hpp).
#include "engine/file_lock.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>
#include <utility>

namespace corvale_trie::blobmap::file {

// A descriptor that one of our calls holds on a file, in the table from
// its open until it is closed. An entry whose HeldFile let go of it while
// another call held a lock on the file (`put_off`) belongs to the table,
// which closes its descriptor and frees it with the file's last lock.
struct Holder {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  bool known = true;     // dev and ino were read; else it may be any file
  Use use = Use::probe;
  bool put_off = false;  // its close waits for the file's last lock
  Holder* next = nullptr;
};

namespace {

std::mutex g_mutex;
Holder* g_table = nullptr;  // guarded by g_mutex

bool same_file(const Holder& a, const Holder& b) noexcept {
  return !a.known || !b.known || (a.dev == b.dev && a.ino == b.ino);
}

bool locks(Use use) noexcept { return use != Use::probe; }

// Whether `wanted` may be made of a file of which another call makes `held`.
bool compatible(Use held, Use wanted) noexcept {
  if (held == Use::write) return false;
  return !(wanted == Use::write && held == Use::read);
}

// Whether a call other than `self` uses self's file in a way that `wanted`
// conflicts with; only a file known to be self's counts. Under g_mutex.
bool conflicts(const Holder& self, Use wanted) noexcept {
  if (!self.known) return false;
  for (const Holder* h = g_table; h != nullptr; h = h->next)
    if (h != &self && !h->put_off && h->known && same_file(*h, self) && !compatible(h->use, wanted)) return true;
  return false;
}

// Whether a call holds a lock on the file of `self`. Under g_mutex.
bool locked_by_a_call(const Holder& self) noexcept {
  for (const Holder* h = g_table; h != nullptr; h = h->next)
    if (h != &self && !h->put_off && locks(h->use) && same_file(*h, self)) return true;
  return false;
}

}  // namespace

HeldFile::~HeldFile() {
  reset();
  delete holder_;
}

int HeldFile::open(int dir, const char* name, int flags, mode_t mode, Use use, Interrupted stop) {
  CORVALE_ASSERT(fd_ < 0);
  if (holder_ == nullptr) holder_ = new Holder;
  int fd = step([&] { return ::openat(dir, name, flags, mode); }, stop);
  if (fd < 0 && (errno == EWOULDBLOCK || errno == EAGAIN) && (flags & O_NONBLOCK) != 0)
    fd = step([&] { return ::openat(dir, name, flags & ~O_NONBLOCK, mode); }, stop);
  if (fd < 0) return errno;
  fd_ = fd;
  const bool known = step([&] { return ::fstat(fd, &st_); }, stop) == 0;
  const int status_error = known ? 0 : errno;
  if (known && !S_ISREG(st_.st_mode)) return 0;  // nothing of ours locks it: not in the table
  *holder_ = Holder{.fd = fd, .dev = st_.st_dev, .ino = st_.st_ino, .known = known, .use = use};
  bool refused = false;
  {
    const std::lock_guard guard(g_mutex);
    holder_->next = std::exchange(g_table, holder_);
    refused = conflicts(*holder_, use);
  }
  if (status_error == 0 && !refused) return 0;
  reset();
  return refused ? EDEADLK : status_error;
}

int HeldFile::use_for_writing() noexcept {
  CORVALE_ASSERT(regular());
  const std::lock_guard guard(g_mutex);
  if (conflicts(*holder_, Use::write)) return EDEADLK;
  holder_->use = Use::write;
  return 0;
}

int HeldFile::lock(Interrupted stop) noexcept {
  CORVALE_ASSERT(regular() && holder_->use != Use::probe);
  struct flock whole {};
  whole.l_type = holder_->use == Use::write ? F_WRLCK : F_RDLCK;
  whole.l_whence = SEEK_SET;  // l_start 0, l_len 0: from the start to any end
  if (step([&] { return ::fcntl(fd_, F_SETLKW, &whole); }, stop) != 0 && errno != ENOLCK) return errno;
  pause(PausePoint::locked);
  return 0;
}

int HeldFile::close() noexcept { return let_go(true); }

void HeldFile::reset() noexcept { (void)let_go(false); }

int HeldFile::let_go(bool as_step) noexcept {
  if (fd_ < 0) return 0;
  const int fd = std::exchange(fd_, -1);
  const auto close_mine = [as_step](int mine) {
    if (as_step) return close_fd(mine);
    ::close(mine);
    return 0;
  };
  if (holder_->fd != fd) return close_mine(fd);  // not in the table: not a regular file
  // This entry is put off with every other one of its file, and each put-off
  // entry that no call's lock keeps any more is taken out, to be closed.
  Holder* closing = nullptr;
  {
    const std::lock_guard guard(g_mutex);
    holder_->put_off = true;
    for (Holder** link = &g_table; *link != nullptr;) {
      Holder* h = *link;
      if (h->put_off && !locked_by_a_call(*h)) {
        *link = h->next;
        h->next = closing;
        closing = h;
      } else {
        link = &h->next;
      }
    }
  }
  int result = 0;
  bool mine_closed = false;
  while (closing != nullptr) {
    Holder* h = std::exchange(closing, closing->next);
    if (h == holder_) {
      result = close_mine(std::exchange(h->fd, -1));
      mine_closed = true;
    } else {
      ::close(h->fd);
      delete h;
    }
  }
  if (!mine_closed) holder_ = nullptr;  // the table keeps it until the file's last lock goes
  return result;
}

}  // namespace corvale_trie::blobmap::file
