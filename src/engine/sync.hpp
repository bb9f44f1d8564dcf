// corvale_trie engine: the concurrent set and map.
//
// A concurrent container wraps one ordinary core container (`inner`) whose
// node allocator runs in shared mode, and adds what lets any number of
// threads use it at once:
//
//   collector  the container's epoch collector; the inner allocator holds a
//              second reference, so every node block a mutation replaces is
//              retired to it instead of being freed at once
//   seq        the sequence word: even while no mutation is under way, odd
//              while a writer changes `inner`; only the thread holding
//              `writer` changes it, always by exactly one
//   writer     the writer mutex (with a poison flag): every mutation and
//              every locked read holds it
//
// Writer protocol (every mutation, whatever it finds): lock `writer`; seq+1
// by a relaxed store, then a sequentially consistent fence; the core
// operation; seq+1 by a release store; one epoch advance attempt on the
// collector; the collector shrunk to what the container may keep of the
// blocks it released (`spare_`); unlock. `seq` thus rises by exactly 2 per
// mutation, even for an insert of a present key or a removal of an absent
// one.
//
// Memory: the blocks a mutation releases wait in the collector's bins and
// pools, where the next insertions take them, as a private container keeps
// its free blocks until it is empty. The bins and pools hold at most as
// many bytes as the container's live blocks did at their most since it was
// last empty (so that blocks of classes the keys no longer need cannot pile
// up), and nothing once it is empty: a `clear()` (or the removal of its
// last key) gives every block back to the system unless a lookup is still
// inside the container, and then at the first write after it has left.
//
// Reads:
//   - the key count and the point lookups (`SetReader::contains`,
//     `MapReader::get`) take no lock: they validate what they read against
//     `seq` and the version words of the branch nodes they pass, and retry;
//     after `attempt_limit()` (64) failed validations they read under
//     `writer` instead (sync.cpp holds the walk);
//   - every other read (order and rank queries, scans, snapshots) runs an
//     ordinary core read under `writer` through `locked`, and never changes
//     `seq`. Rank queries flush the inner path cache there: that rewrites only
//     population fields of branch edges, which no optimistic read looks at.
//
// Lock order: `writer` before the collector's registry and bin mutexes. A
// lookup touches the registry only on its thread's first lookup with the
// container (registering the thread's slot, before its first attempt), and
// takes `writer` in its fallback only while its slot is unpinned.
//
// The containers are shared through std::shared_ptr handles; the last
// handle tears the container down (the inner container first, so that its
// retired blocks reach the collector, then the collector).
#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/map.hpp"
#include "engine/occ.hpp"
#include "engine/set.hpp"

namespace corvale_trie::sync {

// Failed validations a lookup or a count tolerates before its locked read.
inline constexpr u64 MAX_OPTIMISTIC_ATTEMPTS = 64;

// The limit in force: MAX_OPTIMISTIC_ATTEMPTS unless a test lowered it (so
// that the locked fallback runs often). 0 restores the default.
[[nodiscard]] u64 attempt_limit() noexcept;
void set_attempt_limit_for_testing(u64 limit) noexcept;
// Locked fallbacks taken so far by lookups and counts, process-wide.
[[nodiscard]] u64 fallbacks_for_testing() noexcept;

// A non-recursive mutex with a poison flag: a change that leaves by an
// exception poisons it (the container may be half changed), and a later
// lock ends the process with "writer lock poisoned". A read that leaves by
// an exception (out of memory while it copies a snapshot) changed nothing
// and leaves the mutex usable. (Every failure inside a change already ends
// the process, so in practice the flag is never set.)
class WriterMutex {
 public:
  // What the holder does: change the container, or only read it.
  enum class Hold { Change, Read };

  class Guard {
   public:
    Guard(WriterMutex& m, Hold hold);
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard();

   private:
    WriterMutex* m_;
    int exceptions_on_entry_;  // -1 for a read: never poisons
  };

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
};

template <class Inner>
class SyncCore {
 public:
  SyncCore();
  SyncCore(const SyncCore&) = delete;
  SyncCore& operator=(const SyncCore&) = delete;
  ~SyncCore() = default;  // `inner_` is declared after `collector_`: it goes first

  // Key count, read optimistically (no reader registration, no pin: it reads
  // only this header's own words).
  [[nodiscard]] u64 len() const noexcept;

  // Runs read(Inner&) -> R under the writer mutex, leaving `seq` alone.
  // `read` must not change the keys; it may flush the inner path cache
  // (rank queries).
  template <class F>
  auto locked(F&& read) {
    WriterMutex::Guard g(writer_, WriterMutex::Hold::Read);
    return read(inner_);
  }

  [[nodiscard]] u64 seq() const noexcept { return seq_.load(std::memory_order_acquire); }
  // The bytes of released blocks the container may keep (see Memory
  // above): its live bytes at their most since it was last empty. Writer
  // side.
  [[nodiscard]] u64 spare_bytes() const noexcept { return spare_; }
  [[nodiscard]] const occ::CollectorRef& collector() const noexcept { return collector_; }
  // The inner container, for tests and the verifier: only while no other
  // thread uses the container.
  [[nodiscard]] const Inner& inner_quiescent() const noexcept { return inner_; }

 protected:
  // The writer protocol around mutate(Inner&) -> R.
  template <class F>
  auto write(F&& mutate);

  // The optimistic walk of one lookup with its bounded retries and locked
  // fallback; Walk is the flavour (sync.cpp).
  template <class Walk>
  [[nodiscard]] typename Walk::Answer read_optimistic(u64 key) const;

  occ::CollectorRef collector_;
  Inner inner_;
  std::atomic<u64> seq_{0};
  mutable WriterMutex writer_;
  u64 spare_ = 0;  // under writer_
};

template <class Inner>
template <class F>
auto SyncCore<Inner>::write(F&& mutate) {
  WriterMutex::Guard g(writer_, WriterMutex::Hold::Change);
  seq_.store(seq_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  auto result = mutate(inner_);
  seq_.store(seq_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  collector_->try_advance();
  spare_ = inner_.len() == 0 ? 0 : std::max(spare_, inner_.mem_used());
  collector_->shrink_to(spare_);
  return result;
}

class SyncCorvaleSet : public SyncCore<set::CorvaleSet> {
 public:
  bool insert(u64 key);
  bool remove(u64 key);
  void clear();
  // SetReader::contains: the lock-free membership test.
  [[nodiscard]] bool contains(u64 key) const;
};

class SyncCorvaleMap : public SyncCore<map::CorvaleMap> {
 public:
  std::optional<u64> insert(u64 key, u64 value);
  std::optional<u64> remove(u64 key);
  // Compare-and-change forms, for a caller that prepares what it reports
  // before the map changes: one writer protocol round that finds the key's
  // value (nothing: absent) and makes the change only when that is
  // `expected`. They return the value found, equal to `expected` exactly
  // when the change was made.
  std::optional<u64> insert_if(u64 key, u64 value, std::optional<u64> expected);
  std::optional<u64> remove_if(u64 key, u64 expected);
  void clear();
  // MapReader::get: the lock-free lookup.
  [[nodiscard]] std::optional<u64> get(u64 key) const;
};

extern template class SyncCore<set::CorvaleSet>;
extern template class SyncCore<map::CorvaleMap>;

}  // namespace corvale_trie::sync
