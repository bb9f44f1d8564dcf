// Files of the engine tests that touch the file system: a temporary
// directory removed with everything in it, and the count of the process's
// open descriptors, which a test compares before and after.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>

namespace corvale_trie::testsupport {

struct TempDir {
  TempDir() {
    char d[] = "/tmp/corvale_test_XXXXXX";
    if (!mkdtemp(d)) std::abort();
    path = d;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

// The number of descriptors the process has open (counting the one that
// reads the list), or 0 where /proc/self/fd does not exist.
inline std::size_t open_descriptors() {
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc/self/fd", ec);
  if (ec) return 0;
  return static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

}  // namespace corvale_trie::testsupport
