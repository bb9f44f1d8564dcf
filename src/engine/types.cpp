#include "engine/types.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace corvale_trie {

namespace {

// The report names the thread the way the rest of the process would see it:
// "main" for the process's first thread, else its name or "<unnamed>".
void write_report(const char* where, const char* message) noexcept {
  char name[64] = "<unnamed>";
  const long tid = static_cast<long>(gettid());
  if (tid == static_cast<long>(getpid())) {
    std::snprintf(name, sizeof name, "main");
  } else {
    char buf[64] = {};
    if (pthread_getname_np(pthread_self(), buf, sizeof buf) == 0 && buf[0] != '\0')
      std::snprintf(name, sizeof name, "%s", buf);
  }
  std::fprintf(stderr, "\nthread '%s' (%ld) panicked at %s:\n%s\n", name, tid, where, message);
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
