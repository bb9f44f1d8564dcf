#include "engine/random.hpp"

#include <sys/types.h>  // before <sys/random.h>: macOS's uses size_t without defining it
#include <sys/random.h>

#include <algorithm>
#include <cerrno>

#include "engine/types.hpp"

namespace corvale_trie {

void os_random_bytes(void* buffer, std::size_t size) noexcept {
  // getentropy serves at most this many bytes per call.
  constexpr std::size_t kMaxRequest = 256;
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const std::size_t n = std::min(size, kMaxRequest);
    if (getentropy(p, n) != 0) {
      if (errno == EINTR) continue;
      CORVALE_PANIC("failed to generate random data");
    }
    p += n;
    size -= n;
  }
}

}  // namespace corvale_trie
