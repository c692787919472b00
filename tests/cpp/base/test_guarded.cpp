// A value behind a mutex: who waits how, what poisons it, and what a child
// of fork() finds when another thread held the lock at the fork.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/guarded.hpp"

namespace zembrik {
namespace {

using namespace std::chrono_literals;

// Holds `g`'s lock from another thread, as a reader or a writer, until
// released; the constructor returns once the lock is held.
class HeldElsewhere {
 public:
  HeldElsewhere(Guarded<int>& g, bool writer) {
    thread_ = std::thread([&, writer] {
      const auto hold = [&](const int&) {
        held_ = true;
        while (!release_) std::this_thread::sleep_for(1ms);
      };
      if (writer) {
        g.with([&](int& v) { hold(v); });
      } else {
        std::as_const(g).with(hold);
      }
    });
    while (!held_) std::this_thread::sleep_for(1ms);
  }
  ~HeldElsewhere() {
    release_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> held_{false};
  std::atomic<bool> release_{false};
  std::thread thread_;
};

TEST(Guarded, TheWaitHookRunsOnlyWhenTheLockIsBusy) {
  Guarded<int> g("poisoned", 1);
  std::atomic<int> waits{0};
  const auto counting_wait = [&](auto&& locked) {
    ++waits;
    return locked();
  };
  EXPECT_EQ(g.with([](int& v) { return ++v; }, counting_wait), 2);
  EXPECT_EQ(waits, 0);

  std::optional<HeldElsewhere> holder(std::in_place, g, false);
  std::atomic<bool> done{false};
  std::thread caller([&] {
    EXPECT_EQ(std::as_const(g).with([](const int& v) { return v; }, counting_wait), 2);
    done = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(done);  // the hook waits for the lock; it does not skip it
  holder.reset();
  caller.join();
  EXPECT_EQ(waits, 1);
}

TEST(Guarded, OnlyFailuresOtherThanMemoryAndInterruptionPoison) {
  Guarded<int> g("the value is poisoned", 0);
  EXPECT_THROW(g.with([](int&) -> int { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_THROW(g.with([](int&) -> int { throw Interrupted(); }), Interrupted);
  EXPECT_EQ(g.with([](int& v) { return v; }), 0);
  EXPECT_THROW(g.with([](int&) -> int { throw std::logic_error("broken"); }), std::logic_error);
  try {
    std::as_const(g).with([](const int& v) { return v; });
    FAIL() << "a poisoned value stays poisoned";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "the value is poisoned");
  }
}

// Runs `child` in a forked child process and returns its exit status, or -1
// if it did not finish in time (a hang).
template <class Child>
int in_forked_child(Child&& child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(10);  // a hang ends the child with SIGALRM
    _exit(child());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Guarded, AChildOfForkNeverWaitsForALockItsParentsThreadsHeld) {
  Guarded<int> read_at_fork("poisoned", 7);
  Guarded<int> written_at_fork("written", 8);
  Guarded<int> idle("idle", 9);
  HeldElsewhere reader(read_at_fork, false);
  HeldElsewhere writer(written_at_fork, true);
  const int status = in_forked_child([&] {
    // A reader leaves the value whole: it is usable, for reading and writing.
    if (read_at_fork.with([](int& v) { return ++v; }) != 8) return 1;
    if (idle.with([](int& v) { return v; }) != 9) return 2;
    try {
      written_at_fork.with([](int& v) { return v; });
      return 3;
    } catch (const InternalFailure& failure) {
      const std::string text = failure.what();
      if (text.find("another thread was changing it when the process forked") ==
          std::string::npos) {
        return 4;
      }
    }
    // And a grandchild inherits the repaired state.
    return in_forked_child(
        [&] { return read_at_fork.with([](int& v) { return v; }) == 8 ? 0 : 5; });
  });
  EXPECT_EQ(status, 0);
  // The parent's own objects are untouched by what the child did.
  EXPECT_EQ(idle.with([](int& v) { return v; }), 9);
}

}  // namespace
}  // namespace zembrik
