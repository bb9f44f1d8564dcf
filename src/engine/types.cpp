#include "engine/types.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace corvale_trie {

namespace {

// The calling thread's id as the system's own tools show it, and whether it
// is the process's first thread.
struct ThreadId {
  long id;
  bool is_main;
};

ThreadId current_thread() noexcept {
#if defined(__APPLE__)
  u64 id = 0;
  pthread_threadid_np(pthread_self(), &id);
  return {static_cast<long>(id), pthread_main_np() != 0};
#else
  // The kernel's thread id; the first thread's equals the process id. (The
  // system call itself: glibc has a gettid() wrapper only from 2.30 on.)
  const long id = syscall(SYS_gettid);
  return {id, id == static_cast<long>(getpid())};
#endif
}

// The report names the thread the way the rest of the process would see it:
// "main" for the process's first thread, else its name or "<unnamed>".
void write_report(const char* where, const char* message) noexcept {
  char name[64] = "<unnamed>";
  const ThreadId thread = current_thread();
  if (thread.is_main) {
    std::snprintf(name, sizeof name, "main");
  } else {
    char buf[64] = {};
    if (pthread_getname_np(pthread_self(), buf, sizeof buf) == 0 && buf[0] != '\0')
      std::snprintf(name, sizeof name, "%s", buf);
  }
  std::fprintf(stderr, "\nthread '%s' (%ld) panicked at %s:\n%s\n", name, thread.id, where, message);
  std::fflush(stderr);
}

}  // namespace

void panic_at(const char* where, const char* message) noexcept {
  write_report(where, message);
  std::abort();
}

void panic_fmt(const char* where, const char* fmt, ...) noexcept {
  char message[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(message, sizeof message, fmt, args);
  va_end(args);
  panic_at(where, message);
}

}  // namespace corvale_trie
