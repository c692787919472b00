// Guarded<T>: a value behind one mutex.
//
// A mutation that fails part way may leave the value half-updated, so an
// exception escaping `with` poisons the value for good and every later
// access fails with the owner's message. A failed allocation or an
// interruption does not: every mutation run through `with` leaves the value
// as it was when it runs out of memory or is interrupted, so the caller gets
// MemoryError (or the interruption) and the data stays usable. Readers (the
// const `with`) change nothing and never poison.
//
// Fork: a child process holds only the thread that forked, so a lock that
// another thread held is copied taken for good. The first access in the
// child finds that out and, instead of waiting forever, frees the lock when
// its holder was only reading, and poisons the value when it was changing
// it (or when that cannot be told).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "base/failure.hpp"
#include "base/fork.hpp"
#include "base/interrupt.hpp"

namespace zembrik {

// The WaitBusy of a caller that may simply block.
struct RunHere {
  template <class Locked>
  decltype(auto) operator()(Locked&& locked) const {
    return std::forward<Locked>(locked)();
  }
};

template <class T>
class Guarded {
 public:
  template <class... Args>
  // `poisoned_message` must outlive the value: a literal, so that making a
  // Guarded allocates nothing but the value.
  explicit Guarded(const char* poisoned_message,
                   Args&&... args) noexcept(std::is_nothrow_constructible_v<T, Args&&...>)
      : message_(poisoned_message), value_(std::forward<Args>(args)...) {}

  // Runs `f` on the value under the lock and returns what it returns. `f`
  // must undo its changes before letting std::bad_alloc or Interrupted
  // escape.
  template <class F>
  decltype(auto) with(F&& f) {
    Locked lock(*this, Holder::Writer);
    return run(std::forward<F>(f));
  }
  template <class F>
  decltype(auto) with(F&& f) const {
    Locked lock(*this, Holder::Reader);
    return run(std::forward<F>(f));
  }

  // As `with`, for a caller that must not block while it holds something
  // else (the interpreter lock): when the mutex is busy, `wait_busy` gets
  // the whole locked call as a function to run, once it has let go.
  template <class F, class WaitBusy>
  decltype(auto) with(F&& f, WaitBusy&& wait_busy) {
    return with_trying(*this, Holder::Writer, std::forward<F>(f),
                       std::forward<WaitBusy>(wait_busy));
  }
  template <class F, class WaitBusy>
  decltype(auto) with(F&& f, WaitBusy&& wait_busy) const {
    return with_trying(*this, Holder::Reader, std::forward<F>(f),
                       std::forward<WaitBusy>(wait_busy));
  }

 private:
  // Who holds the mutex, written by the holder: what a child of fork()
  // reads to tell a reader's lock from a writer's. None while the holder
  // has yet to say.
  enum class Holder : std::uint8_t { None, Reader, Writer };

  class Locked {
   public:
    Locked(const Guarded& g, Holder holder) : g_(g) { g_.lock(holder); }
    struct Adopt {};
    Locked(const Guarded& g, Holder holder, Adopt) noexcept : g_(g) {
      g_.holder_.store(holder, std::memory_order_relaxed);
    }
    ~Locked() { g_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

   private:
    const Guarded& g_;
  };

  template <class Self, class F, class WaitBusy>
  static decltype(auto) with_trying(Self& self, Holder holder, F&& f, WaitBusy&& wait_busy) {
    self.check_generation();
    if (self.mutex_.try_lock()) {
      Locked lock(self, holder, typename Locked::Adopt{});
      return self.run(std::forward<F>(f));
    }
    return std::forward<WaitBusy>(wait_busy)([&]() -> decltype(auto) {
      Locked lock(self, holder);
      return self.run(std::forward<F>(f));
    });
  }

  template <class F>
  decltype(auto) run(F&& f) {
    check_not_poisoned();
    try {
      return std::forward<F>(f)(value_);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const Interrupted&) {
      throw;
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }
  template <class F>
  decltype(auto) run(F&& f) const {
    check_not_poisoned();
    return std::forward<F>(f)(std::as_const(value_));
  }

  void lock(Holder holder) const {
    check_generation();
    mutex_.lock();
    holder_.store(holder, std::memory_order_relaxed);
  }
  void unlock() const noexcept {
    holder_.store(Holder::None, std::memory_order_relaxed);
    mutex_.unlock();
  }

  void check_generation() const {
    if (generation_.load(std::memory_order_acquire) != fork_generation()) [[unlikely]] {
      recover_after_fork();
    }
  }

  // The first access since a fork. Under the repair lock no thread of this
  // process has locked the mutex yet (each comes here first), so if it is
  // taken, a thread the fork left behind took it.
  void recover_after_fork() const {
    std::lock_guard repair(fork_repair_mutex());
    const std::uint64_t now = fork_generation();
    if (generation_.load(std::memory_order_relaxed) == now) return;
    if (!mutex_.try_lock()) {
      if (holder_.load(std::memory_order_relaxed) != Holder::Reader) abandoned_ = true;
      // The only way to free a mutex whose owner is gone is a fresh one.
      new (&mutex_) std::mutex;
      holder_.store(Holder::None, std::memory_order_relaxed);
    } else {
      mutex_.unlock();
    }
    generation_.store(now, std::memory_order_release);
  }

  void check_not_poisoned() const {
    if (abandoned_) {
      fail(std::string(message_) + ": another thread was changing it when the process forked");
    }
    if (poisoned_) fail(message_);
  }

  mutable std::mutex mutex_;
  mutable std::atomic<Holder> holder_{Holder::None};
  mutable std::atomic<std::uint64_t> generation_{fork_generation()};
  mutable bool abandoned_ = false;
  bool poisoned_ = false;
  const char* message_;
  T value_;
};

}  // namespace zembrik
