// The table of files that our saves and loads hold (engine/file_lock.hpp),
// against a model: which uses of one file are refused together, which
// descriptors stay open, and which lock the process holds on each file, as
// another process sees it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/file_lock.hpp"
#include "support.hpp"
#include "temp_files.hpp"

namespace corvale_trie::blobmap::file {
namespace {

using testsupport::open_descriptors;
using testsupport::TempDir;

// The lock that this process holds over the start of `path`, as another
// process finds it (fcntl F_GETLK from a child): F_WRLCK, F_RDLCK or
// F_UNLCK.
int lock_seen_from_outside(const std::string& path) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    _exit(fd >= 0 && fcntl(fd, F_GETLK, &probe) == 0 ? probe.l_type : 100);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool locks(Use use) { return use != Use::probe; }

// Nested and interleaved holds of two files (one of them also reached
// through a hard link) and of a directory, opened, locked and closed in a
// random order. The model: a use is refused when another live hold of the
// file is a `write`, or when a `write` is wanted of a file held for
// `read`; a descriptor is closed once no live hold that locks is left on
// its file; the process holds the strongest lock of the live holds.
TEST(FileLock, HoldsAgainstAModel) {
  TempDir dir;
  const std::string names[] = {dir.path + "/a", dir.path + "/b", dir.path + "/a-link"};
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(std::ofstream(names[i]) << "image");
  ASSERT_EQ(::link(names[0].c_str(), names[2].c_str()), 0);
  const std::size_t base_fds = open_descriptors();

  struct Hold {
    std::unique_ptr<HeldFile> file;
    int file_index;  // 0 or 1
    Use use;
    bool live;
  };
  std::vector<Hold> holds;
  const auto live_uses = [&](int f) {
    std::vector<Use> uses;
    for (const Hold& h : holds)
      if (h.live && h.file_index == f) uses.push_back(h.use);
    return uses;
  };
  const auto check = [&] {
    std::size_t expected_open = 0;
    for (int f = 0; f < 2; ++f) {
      const std::vector<Use> uses = live_uses(f);
      bool any_lock = false;
      int strongest = F_UNLCK;
      for (Use u : uses) {
        any_lock = any_lock || locks(u);
        if (u == Use::write) strongest = F_WRLCK;
        if (u == Use::read && strongest == F_UNLCK) strongest = F_RDLCK;
      }
      for (const Hold& h : holds)
        if (h.file_index == f && (h.live || any_lock)) ++expected_open;
      EXPECT_EQ(lock_seen_from_outside(names[f]), strongest) << "file " << f;
    }
    EXPECT_EQ(open_descriptors(), base_fds + expected_open);
    for (const Hold& h : holds) {
      if (!h.live) continue;
      struct stat st {};
      ASSERT_EQ(fstat(h.file->fd(), &st), 0);
      EXPECT_EQ(st.st_ino, h.file->status().st_ino);
    }
    // Holds that are gone and whose descriptors are closed are forgotten.
    for (int f = 0; f < 2; ++f) {
      bool any_lock = false;
      for (Use u : live_uses(f)) any_lock = any_lock || locks(u);
      if (!any_lock) std::erase_if(holds, [f](const Hold& h) { return h.file_index == f && !h.live; });
    }
  };

  const u64 seed = test_seed(0xF11E10C4);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  for (u64 round = 0; round < testsupport::scaled(400, 60); ++round) {
    std::vector<std::size_t> live;
    for (std::size_t i = 0; i < holds.size(); ++i)
      if (holds[i].live) live.push_back(i);
    if (live.empty() || (live.size() < 6 && rng() % 2 == 0)) {
      const int name = static_cast<int>(rng() % 3);
      const int f = name == 2 ? 0 : name;
      const Use use = static_cast<Use>(rng() % 3);
      bool refused = false;
      for (Use held : live_uses(f))
        refused = refused || held == Use::write || (use == Use::write && held == Use::read);
      auto file = std::make_unique<HeldFile>();
      const int flags = use == Use::read ? O_RDONLY : O_WRONLY;
      ASSERT_EQ(file->open(AT_FDCWD, names[name].c_str(), flags | O_CLOEXEC, 0, use, nullptr), refused ? EDEADLK : 0);
      // A refused open's descriptor is put off like any other.
      if (!refused && locks(use)) {
        ASSERT_EQ(file->lock(nullptr), 0);
      }
      holds.push_back({std::move(file), f, use, !refused});
    } else if (rng() % 5 == 0) {
      // A probe that a save then writes in place.
      Hold& h = holds[live[rng() % live.size()]];
      if (h.use != Use::probe) continue;
      bool refused = false;
      for (const Hold& other : holds)
        if (&other != &h && other.live && other.file_index == h.file_index)
          refused = refused || other.use != Use::probe;
      ASSERT_EQ(h.file->use_for_writing(nullptr), refused ? EDEADLK : 0);
      if (refused) continue;
      h.use = Use::write;
      ASSERT_EQ(h.file->lock(nullptr), 0);
    } else {
      Hold& h = holds[live[rng() % live.size()]];
      EXPECT_EQ(h.file->close(), 0);
      h.live = false;
    }
    check();
  }
  for (Hold& h : holds) h.file.reset();
  EXPECT_EQ(open_descriptors(), base_fds);
}

// The kind of record lock this process holds over `ino` (/proc/locks):
// "READ", "WRITE", or "" for none.
std::string lock_held_on(ino_t ino) {
  std::ifstream locks("/proc/locks");
  const std::string pid = std::to_string(::getpid());
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream row(line);
    std::string id, type, advisory, kind, owner, where;
    row >> id >> type >> advisory >> kind >> owner >> where;
    if (type == "POSIX" && owner == pid && where.ends_with(":" + std::to_string(ino))) return kind;
  }
  return "";
}

// Threads that open, lock and close two files (one also through a hard
// link) at random, for every use, some of them nesting a second call in
// the first, as a signal handler would. At every moment a file is written
// by one call and read by none, or read by any: a call of another thread
// waits for the holder. A nested call never waits: it is granted, or
// refused when it conflicts with its own thread's call. After every lock,
// and again just before its close, the process holds that lock as the
// kernel sees it: no other thread's close has dropped it. At the end no
// descriptor and no lock is left.
TEST(FileLock, ThreadsWaitForEachOther) {
  if (!std::filesystem::exists("/proc/locks")) GTEST_SKIP() << "no /proc/locks";
  TempDir dir;
  const std::string names[] = {dir.path + "/a", dir.path + "/b", dir.path + "/a-link"};
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(std::ofstream(names[i]) << "image");
  ASSERT_EQ(::link(names[0].c_str(), names[2].c_str()), 0);
  ino_t inos[2];
  for (int i = 0; i < 2; ++i) {
    struct stat st {};
    ASSERT_EQ(::stat(names[i].c_str(), &st), 0);
    inos[i] = st.st_ino;
  }
  const std::size_t base_fds = open_descriptors();
  std::atomic<int> readers[2] = {0, 0};
  std::atomic<int> writers[2] = {0, 0};

  struct Call {
    HeldFile file;
    int index = 0;
    Use use = Use::probe;
  };
  // Opens `name` for `use`: its answer, and the call locked where it was granted.
  const auto enter = [&](Call& c, int name, Use use) {
    c.index = name == 2 ? 0 : name;
    c.use = use;
    const int flags = use == Use::read ? O_RDONLY : O_WRONLY;
    const int e = c.file.open(AT_FDCWD, names[name].c_str(), flags | O_CLOEXEC, 0, use, nullptr);
    if (e == 0 && locks(use)) {
      EXPECT_EQ(c.file.lock(nullptr), 0);
    }
    return e;
  };
  const auto count = [&](const Call& c, int by) {
    if (c.use == Use::write) writers[c.index] += by;
    if (c.use == Use::read) readers[c.index] += by;
    EXPECT_LE(writers[c.index].load(), 1);
    EXPECT_TRUE(writers[c.index] == 0 || readers[c.index] == 0);
  };
  const auto check_lock = [&](const Call& c) {
    if (locks(c.use)) {
      EXPECT_EQ(lock_held_on(inos[c.index]), c.use == Use::write ? "WRITE" : "READ");
    }
  };

  const u64 seed = test_seed(0x7E4D5F11);
  CORVALE_SEED_TRACE(seed);
  const auto run = [&](u64 thread_seed) {
    std::mt19937_64 rng(thread_seed);
    for (u64 round = 0; round < testsupport::scaled(300, 40); ++round) {
      Call outer;
      ASSERT_EQ(enter(outer, static_cast<int>(rng() % 3), static_cast<Use>(rng() % 3)), 0);
      if (outer.use == Use::probe && rng() % 2 == 0) {
        ASSERT_EQ(outer.file.use_for_writing(nullptr), 0);  // it holds nothing else: it may wait
        outer.use = Use::write;
        ASSERT_EQ(outer.file.lock(nullptr), 0);
      }
      count(outer, 1);
      check_lock(outer);
      if (rng() % 3 == 0) {
        Call nested;
        const int name = static_cast<int>(rng() % 3);
        const Use use = static_cast<Use>(rng() % 3);
        const int e = enter(nested, name, use);
        const bool own_conflict = nested.index == outer.index &&
                                  (outer.use == Use::write || (outer.use == Use::read && use == Use::write));
        EXPECT_TRUE(own_conflict ? e == EDEADLK : (e == 0 || e == EDEADLK)) << e;
        if (e == 0) {
          count(nested, 1);
          check_lock(nested);
          count(nested, -1);
        }
        EXPECT_EQ(nested.file.close(), 0);
        check_lock(outer);
      }
      check_lock(outer);
      count(outer, -1);
      EXPECT_EQ(outer.file.close(), 0);
    }
  };
  std::vector<std::thread> threads;
  for (u64 t = 0; t < 6; ++t) threads.emplace_back(run, seed + t);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(open_descriptors(), base_fds);
  EXPECT_EQ(lock_held_on(inos[0]) + lock_held_on(inos[1]), "");
}

// Two threads each hold one of two files; each then wants the other's,
// which would have each wait for the other: a thread that holds a file
// never waits, so both are refused at once.
TEST(FileLock, AThreadThatHoldsAFileNeverWaits) {
  TempDir dir;
  const std::string names[] = {dir.path + "/a", dir.path + "/b"};
  for (const std::string& name : names) ASSERT_TRUE(std::ofstream(name) << "image");
  std::barrier both(2);
  int nested[2] = {-1, -1};
  const auto run = [&](int i) {
    HeldFile mine, theirs;
    EXPECT_EQ(mine.open(AT_FDCWD, names[i].c_str(), O_WRONLY | O_CLOEXEC, 0, Use::write, nullptr), 0);
    EXPECT_EQ(mine.lock(nullptr), 0);
    both.arrive_and_wait();
    nested[i] = theirs.open(AT_FDCWD, names[1 - i].c_str(), O_RDONLY | O_CLOEXEC, 0, Use::read, nullptr);
    both.arrive_and_wait();
  };
  std::thread other(run, 1);
  run(0);
  other.join();
  EXPECT_EQ(nested[0], EDEADLK);
  EXPECT_EQ(nested[1], EDEADLK);
}

// Whether process `pid` waits for a record lock (/proc/locks).
bool waits_for_a_lock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream row(line);
    std::string id, arrow, type, advisory, kind, owner;
    row >> id >> arrow >> type >> advisory >> kind >> owner;
    if (arrow == "->" && owner == std::to_string(pid)) return true;
  }
  return false;
}

std::atomic<bool> g_waits_on{false};
bool note_waiting_on() noexcept {
  g_waits_on = true;
  return false;
}

// The kernel takes the process for one owner of record locks. Another
// process holds b and waits for a, which another thread's call of ours
// holds: this thread's lock of b then closes a cycle to the kernel, which
// answers EDEADLK, though that call will let a go. The lock is waited for
// in naps instead (each asking the Interrupted check), and taken once the
// other thread lets go.
TEST(FileLock, ACycleThroughAnotherThreadsLockIsWaitedOut) {
  if (!std::filesystem::exists("/proc/locks")) GTEST_SKIP() << "no /proc/locks";
  TempDir dir;
  const std::string a = dir.path + "/a", b = dir.path + "/b";
  for (const std::string& name : {a, b}) ASSERT_TRUE(std::ofstream(name) << "image");
  g_waits_on = false;
  std::barrier a_held(2);
  std::thread holder([&] {
    HeldFile held;
    EXPECT_EQ(held.open(AT_FDCWD, a.c_str(), O_WRONLY | O_CLOEXEC, 0, Use::write, nullptr), 0);
    EXPECT_EQ(held.lock(nullptr), 0);
    a_held.arrive_and_wait();
    for (int i = 0; i < 30000 && !g_waits_on; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(held.close(), 0);
  });
  a_held.arrive_and_wait();
  const pid_t other = fork();
  if (other == 0) {
    const int fb = ::open(b.c_str(), O_RDWR), fa = ::open(a.c_str(), O_RDWR);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    _exit(::fcntl(fb, F_SETLK, &whole) == 0 && ::fcntl(fa, F_SETLKW, &whole) == 0 ? 0 : 1);
  }
  for (int i = 0; i < 30000 && !waits_for_a_lock(other); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (waits_for_a_lock(other)) {
    HeldFile mine;
    EXPECT_EQ(mine.open(AT_FDCWD, b.c_str(), O_WRONLY | O_CLOEXEC, 0, Use::write, nullptr), 0);
    EXPECT_EQ(mine.lock(&note_waiting_on), 0);
    EXPECT_TRUE(g_waits_on);
    EXPECT_EQ(lock_held_on(mine.status().st_ino), "WRITE");
  } else {
    ADD_FAILURE() << "the other process never waited for a";
    g_waits_on = true;  // the holder lets go
  }
  holder.join();
  int status = 0;
  waitpid(other, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// What is not a regular file is never entered: a directory's descriptor
// closes at once, whatever is held; and a file that cannot be opened
// leaves nothing behind.
TEST(FileLock, OnlyRegularFilesAreHeld) {
  TempDir dir;
  const std::string image = dir.path + "/img";
  ASSERT_TRUE(std::ofstream(image) << "image");
  const std::size_t base_fds = open_descriptors();
  HeldFile held;
  ASSERT_EQ(held.open(AT_FDCWD, image.c_str(), O_WRONLY | O_CLOEXEC, 0, Use::write, nullptr), 0);
  ASSERT_EQ(held.lock(nullptr), 0);
  HeldFile other;
  EXPECT_EQ(other.open(AT_FDCWD, dir.path.c_str(), O_RDONLY | O_CLOEXEC, 0, Use::read, nullptr), 0);
  EXPECT_FALSE(other.regular());
  EXPECT_EQ(other.close(), 0);
  EXPECT_EQ(other.open(AT_FDCWD, (dir.path + "/none").c_str(), O_RDONLY | O_CLOEXEC, 0, Use::read, nullptr), ENOENT);
  EXPECT_EQ(open_descriptors(), base_fds + 1);
  EXPECT_EQ(lock_seen_from_outside(image), F_WRLCK);
  EXPECT_EQ(held.close(), 0);
  EXPECT_EQ(lock_seen_from_outside(image), F_UNLCK);
  EXPECT_EQ(open_descriptors(), base_fds);
}

}  // namespace
}  // namespace corvale_trie::blobmap::file
