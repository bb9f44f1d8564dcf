// Test support for the core set and map tests: follows a key's digits from a
// container's root edge down to the edge that ends its walk (a leaf, an
// immediate, a full edge, or an empty child), so that tests can check which
// form holds a key after a run of operations. Skip prefixes are not checked:
// the probe assumes the key belongs where its digits lead. Also a few
// seeded key distributions for the randomized tests.
#pragma once

#include <random>

#include "engine/core.hpp"
#include "engine/node.hpp"

namespace corvale_trie::coretest {

struct Probe {
  const Edge* edge = nullptr;  // null when a branch has no child for the digit
  u8 level = 0;                // level of that edge (or of the missing child)
};

inline Probe probe(const CoreRecord& rec, u64 key) {
  const Edge* e = &rec.root;
  u8 level = ROOT_LEVEL;
  while (true) {
    switch (e->tag) {
      case TAG_L3:
      case TAG_L7: {
        const auto* node = e->ptr<BranchL3>();  // both kinds share the header
        const u8 L = node->level;
        const u8 d = digit_at(key, L);
        int i = -1;
        for (unsigned j = 0; j < node->count; ++j)
          if (node->digits[j] == d) i = static_cast<int>(j);
        if (i < 0) return {nullptr, static_cast<u8>(L - 1)};
        const Edge* children = e->tag == TAG_L3 ? e->ptr<BranchL3>()->children : e->ptr<BranchL7>()->children;
        e = &children[i];
        level = static_cast<u8>(L - 1);
        break;
      }
      case TAG_B: {
        const auto* node = e->ptr<BranchB>();
        const u8 L = node->level;
        const Edge* child = node->child(digit_at(key, L));
        if (child == nullptr) return {nullptr, static_cast<u8>(L - 1)};
        e = child;
        level = static_cast<u8>(L - 1);
        break;
      }
      case TAG_U: {
        e = &e->ptr<BranchU>()->children[digit_at(key, level)];
        level = static_cast<u8>(level - 1);
        break;
      }
      default:
        return {e, level};
    }
  }
}

// Number of children of the branch node under `e` (0 for anything else).
inline unsigned branch_children(const Edge& e) {
  switch (e.tag) {
    case TAG_L3:
      return e.ptr<BranchL3>()->count;
    case TAG_L7:
      return e.ptr<BranchL7>()->count;
    case TAG_B:
      return e.ptr<BranchB>()->child_count();
    case TAG_U:
      return e.ptr<BranchU>()->child_count();
    default:
      return 0;
  }
}

[[nodiscard]] constexpr u64 round16(u64 n) noexcept { return (n + 15) & ~u64{15}; }

// Key distributions of the randomized tests.
enum class Dist { DenseRuns, Uniform, Clusters, SharedUpper, NearEnds, Small };

inline const char* dist_name(Dist d) {
  switch (d) {
    case Dist::DenseRuns: return "dense-runs";
    case Dist::Uniform: return "uniform";
    case Dist::Clusters: return "clusters";
    case Dist::SharedUpper: return "shared-upper";
    case Dist::NearEnds: return "near-ends";
    case Dist::Small: return "small";
  }
  return "?";
}

class KeyGen {
 public:
  KeyGen(Dist dist, u64 seed) : dist_(dist), rng_(seed) {
    for (u64& c : centers_) c = rng_();
    upper_ = rng_();
  }

  u64 operator()() {
    switch (dist_) {
      case Dist::DenseRuns: {
        // Ascending runs of neighbouring keys that restart now and then.
        if (run_left_ == 0) {
          run_next_ = (rng_() % 4 == 0) ? rng_() : (rng_() & 0xFFFFF);
          run_left_ = 1 + rng_() % 600;
        }
        --run_left_;
        return run_next_++;
      }
      case Dist::Uniform:
        return rng_();
      case Dist::Clusters: {
        const u64 c = centers_[rng_() % 8];
        return c + (rng_() & 0x3FFF);
      }
      case Dist::SharedUpper: {
        // Keys agreeing with one fixed key above a random byte boundary, so
        // that skip prefixes form and are later broken at every level.
        const unsigned keep = 1 + static_cast<unsigned>(rng_() % 7);  // low bytes that vary
        const u64 low = (u64{1} << (8 * keep)) - 1;
        const u64 v = rng_() & low & (rng_() % 3 == 0 ? ~u64{0} : 0xFF0F0F3F0F0F07FFull);
        return (upper_ & ~low) | v;
      }
      case Dist::NearEnds: {
        const u64 off = rng_() % 3000;
        return (rng_() & 1) ? off : ~u64{0} - off;
      }
      case Dist::Small:
        // A universe of 48 keys: sizes hover around the flat/tree switch.
        return centers_[0] + (rng_() % 48) * 0x101;
    }
    return 0;
  }

  std::mt19937_64& rng() { return rng_; }

 private:
  Dist dist_;
  std::mt19937_64 rng_;
  u64 centers_[8];
  u64 upper_;
  u64 run_next_ = 0;
  u64 run_left_ = 0;
};

// Randomized loops run shorter in unoptimised and sanitizer builds.
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
inline constexpr u64 SLOW_BUILD_DIVISOR = 12;
#else
inline constexpr u64 SLOW_BUILD_DIVISOR = 1;
#endif

}  // namespace corvale_trie::coretest
