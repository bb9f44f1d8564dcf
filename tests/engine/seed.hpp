// Seeds of the randomized engine tests: fixed by default so that every run
// checks the same cases; CORVALE_TEST_SEED=<n> explores others. Every test
// prints the seed it used on failure.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace corvale_trie {

inline std::uint64_t test_seed(std::uint64_t fixed) {
  if (const char* s = std::getenv("CORVALE_TEST_SEED")) return std::strtoull(s, nullptr, 0) ^ fixed;
  return fixed;
}

}  // namespace corvale_trie
