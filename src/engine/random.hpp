// corvale_trie engine: the operating system's random bytes.
//
// The only use is the seeding of the bytes map's per-thread hash key pair,
// once per thread, so no buffering or user-space generator sits in between:
// every call asks the kernel through getentropy(3), which Linux (glibc,
// over getrandom(2)) and macOS both have, 256 bytes at a time. On Linux it
// blocks until the kernel's pool is initialised, which it is long before a
// Python program runs. A call interrupted by a signal is repeated; any other
// failure ends the process with "failed to generate random data".
#pragma once

#include <cstddef>

namespace corvale_trie {

void os_random_bytes(void* buffer, std::size_t size) noexcept;

}  // namespace corvale_trie
