// Test support: the pause point of the lock-free lookups' walk (get.hpp),
// compiled into the engine only when it is built for its tests.
//
// A PausePoint makes the first reader that copies and validates a child
// edge accepted by `match` block there (inside the node holding the edge)
// until the test, acting as the writer, resumes it; every later descend is
// counted, so a test can tell whether the reader started a new attempt.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "engine/get.hpp"

#ifndef CORVALE_PAUSE_POINTS
#error "the engine tests need the engine built with its pause points"
#endif

namespace corvale_trie::testsupport {

class PausePoint {
 public:
  explicit PausePoint(std::function<bool(const Edge&)> match) {
    std::lock_guard lk(mu_);
    match_ = std::move(match);
    state_ = State::Armed;
    descends_after_ = 0;
    get::test_hooks::after_descend.store(&hook, std::memory_order_release);
  }
  ~PausePoint() { get::test_hooks::after_descend.store(nullptr, std::memory_order_release); }

  // Waits until the reader is paused or `done`; true when paused.
  bool wait_paused(const std::atomic<bool>& done) {
    std::unique_lock lk(mu_);
    cv_.wait_for(lk, std::chrono::seconds(30), [&] { return state_ == State::Paused || done.load(); });
    return state_ == State::Paused;
  }
  void resume() {
    std::lock_guard lk(mu_);
    state_ = State::Resumed;
    cv_.notify_all();
  }
  static unsigned descends_after() {
    std::lock_guard lk(mu_);
    return descends_after_;
  }

 private:
  enum class State { Armed, Paused, Resumed };

  static void hook(const Edge& child) {
    std::unique_lock lk(mu_);
    if (state_ == State::Armed && match_(child)) {
      state_ = State::Paused;
      cv_.notify_all();
      cv_.wait(lk, [] { return state_ == State::Resumed; });
    } else if (state_ == State::Resumed) {
      ++descends_after_;
    }
  }

  static inline std::mutex mu_;
  static inline std::condition_variable cv_;
  static inline std::function<bool(const Edge&)> match_;
  static inline State state_ = State::Armed;
  static inline unsigned descends_after_ = 0;
};

}  // namespace corvale_trie::testsupport
