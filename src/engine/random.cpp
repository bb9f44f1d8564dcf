#include "engine/random.hpp"

#include <sys/random.h>

#include <cerrno>

#include "engine/types.hpp"

namespace corvale_trie {

void os_random_bytes(void* buffer, std::size_t size) noexcept {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = getrandom(p, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      CORVALE_PANIC("failed to generate random data");
    }
    p += got;
    size -= static_cast<std::size_t>(got);
  }
}

}  // namespace corvale_trie
