// Mutexes that clang's thread-safety analysis (-Wthread-safety, checked by scripts/clang-check.sh) understands, and
// the annotations that tie data and functions to them. libstdc++'s mutexes carry no annotations, so the driver's
// locks are these thin wrappers; under other compilers every annotation compiles to nothing.
//
//   Mutex mu;  int count GUARDED_BY(mu);
//   void bump() REQUIRES(mu);                      // the caller holds mu
//   { LockGuard lk(mu); ++count; }                 // scoped, as std::lock_guard
//   { UniqueLock lk(mu); cv.wait(lk.native(), [&]() REQUIRES(mu) { return count > 0; }); }
//
// A condition variable waits on the std::mutex inside (UniqueLock::native()). Its predicate says REQUIRES(mu)
// because the analysis judges a lambda on its own; the wait itself, inside the standard library, is not analysed.
// A lock taken through a std::unique_lock (a lock handed out as a value, say) is invisible to the analysis: code
// that holds a TimedMutex that way says so with assert_held(), which checks it.
#pragma once

#include <atomic>
#include <cassert>
#include <chrono>
#include <mutex>
#include <thread>

#if defined(__clang__)
#define TAVRO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TAVRO_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TAVRO_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TAVRO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TAVRO_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TAVRO_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TAVRO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TAVRO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TAVRO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TAVRO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TAVRO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TAVRO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TAVRO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TAVRO_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TAVRO_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TAVRO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tavro {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  // What a condition variable waits on.
  std::mutex& native() noexcept RETURN_CAPABILITY(this) { return m_; }

 private:
  std::mutex m_;
};

// A mutex whose takers may give up at a deadline (waiting in the kernel's queue: fair, no polling). It knows its
// holder, so that code which holds it through a std::unique_lock can assert that it does.
class CAPABILITY("mutex") TimedMutex {
 public:
  void lock() ACQUIRE() {
    m_.lock();
    held_by_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  void unlock() RELEASE() {
    held_by_.store(std::thread::id(), std::memory_order_relaxed);
    m_.unlock();
  }
  bool try_lock() TRY_ACQUIRE(true) { return taken(m_.try_lock()); }
  template <class Clock, class Dur>
  bool try_lock_until(const std::chrono::time_point<Clock, Dur>& t) TRY_ACQUIRE(true) {
    return taken(m_.try_lock_until(t));
  }
  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& d) TRY_ACQUIRE(true) {
    return taken(m_.try_lock_for(d));
  }
  // The calling thread holds it (checked where assertions are on).
  void assert_held() const noexcept ASSERT_CAPABILITY(this) {
    assert(held_by_.load(std::memory_order_relaxed) == std::this_thread::get_id());
  }

 private:
  bool taken(bool ok) noexcept {
    if (ok) held_by_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return ok;
  }

  std::timed_mutex m_;
  std::atomic<std::thread::id> held_by_{};
};

// std::lock_guard for the annotated mutexes.
template <class M>
class SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(M& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~LockGuard() RELEASE() { m_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  M& m_;
};

// A TimedMutex taken with a deadline: `TimedLock lk(mu, std::defer_lock); if (!lk.try_lock_until(t)) ...`.
class SCOPED_CAPABILITY TimedLock {
 public:
  TimedLock(TimedMutex& m, std::defer_lock_t) EXCLUDES(m) : m_(m) {}
  ~TimedLock() RELEASE() {
    if (owns_) m_.unlock();
  }
  TimedLock(const TimedLock&) = delete;
  TimedLock& operator=(const TimedLock&) = delete;
  template <class Clock, class Dur>
  bool try_lock_until(const std::chrono::time_point<Clock, Dur>& t) TRY_ACQUIRE(true) {
    owns_ = m_.try_lock_until(t);
    return owns_;
  }
  void lock() ACQUIRE() {
    m_.lock();
    owns_ = true;
  }
  void unlock() RELEASE() {
    m_.unlock();
    owns_ = false;
  }

 private:
  TimedMutex& m_;
  bool owns_ = false;
};

// std::unique_lock of a Mutex, for condition-variable waits and for letting go for a while.
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& m) ACQUIRE(m) : lk_(m.native()) {}
  ~UniqueLock() RELEASE() = default;
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;
  void lock() ACQUIRE() { lk_.lock(); }
  void unlock() RELEASE() { lk_.unlock(); }
  std::unique_lock<std::mutex>& native() noexcept { return lk_; }

 private:
  std::unique_lock<std::mutex> lk_;
};

}  // namespace tavro
