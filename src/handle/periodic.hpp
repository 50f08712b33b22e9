// Periodic transmission: a handle's table of tasks, each sending its frames in rotation, one per period, on a
// thread of its own ("tavro-periodic-send"), until stopped, out of time, out of frames, or failed.
//
//   id = table.start(shared, frames, schedule)   # state_lock held by the caller; starts the worker
//   table.modify(id, frames)                      # the worker picks the list up at its next frame
//   table.alive(id), table.error(id)              # OpError{Refused, "CAN bus is stopped"}, ...
//   table.counts(id)                              # frames sent, sent late, skipped
//   table.notify_all()                            # configuration change: set every stop flag, wake; never joins
//   table.stop(id) / table.stop_all()             # remove, then signal and join with no lock held
//
// Schedule: frame n is due at start + n * period (absolute, so a slow send never shifts the ones after it). A
// frame that goes out after the next one's due time is late; it is still sent, and so are the frames behind it,
// back to back, as long as the backlog is at most kCatchUp frames: a receiver that watches for gaps (a CANopen
// heartbeat or PDO consumer) sees a short burst rather than a hole. Slots further behind than that are skipped
// and counted, never sent in one long burst. Each frame still has 50 ms from its lock attempt to reach the
// adapter (and, when confirmed, its verdict); missing that fails the task, as a stuck configuration request or
// adapter would otherwise go unnoticed.
//
// A task never raises: a failure ends it and is kept as an error value until its entry is removed.
// An ended task's thread does not wait for that removal: it hands itself to the table as the one ended thread
// left to join, after joining the one it replaces, so that a table holds at most one ended thread (and stack) and
// stop()/stop_all() still return only after the workers they remove have exited.
// Locks: state_lock -> table lock -> a task's frame / error / wake mutexes. A worker takes state_lock itself
// (for at most 50 ms per frame), so it is joined only after every lock has been released; notify_all, which
// runs under state_lock, therefore only sets flags and wakes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/deadline.hpp"
#include "core/sync.hpp"
#include "handle/op_error.hpp"
#include "stream/records.hpp"

namespace tavro {

class DeviceShared;

// How many missed frames a task sends late, back to back, before it skips the rest of its backlog.
inline constexpr uint64_t kCatchUp = 10;

struct PeriodicCounts {
  uint64_t sent = 0;     // frames handed to the adapter
  uint64_t late = 0;     // of those, sent after the next frame's due time
  uint64_t skipped = 0;  // slots given up because the backlog exceeded kCatchUp
};

// What a worker shares with its table entry and with whoever stops it.
class PeriodicControl {
 public:
  explicit PeriodicControl(std::vector<CanFrame> frames) : frames_(std::move(frames)) {}

  // Sets the stop flag and wakes the worker if it sleeps.
  void request_stop();
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_acquire); }
  // Sleeps until `until` unless a stop comes first; returns whether a stop is requested.
  bool sleep_until(TimePoint until);

  void replace_frames(std::vector<CanFrame> frames);
  // The frame for position `n` of the rotation; nullopt when the list is empty.
  std::optional<CanFrame> frame_at(uint64_t n);

  void set_error(OpError e);
  std::optional<OpError> error() const;

  void mark_finished() noexcept { finished_.store(true, std::memory_order_release); }
  bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }

  // Written by the worker only.
  void count(uint64_t sent, uint64_t late, uint64_t skipped) noexcept;
  PeriodicCounts counts() const noexcept;

 private:
  Mutex wake_mu_;
  std::condition_variable wake_cv_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::atomic<uint64_t> sent_{0}, late_{0}, skipped_{0};

  Mutex frames_mu_;
  std::vector<CanFrame> frames_ GUARDED_BY(frames_mu_);

  mutable Mutex error_mu_;
  std::optional<OpError> error_ GUARDED_BY(error_mu_);
};

// Fixed at start.
struct PeriodicSchedule {
  Duration period{};                 // at least one microsecond
  std::optional<Duration> duration;  // none: until stopped
  uint64_t generation = 0;           // HandleFlags::generation when the task started
};

class PeriodicTable : public std::enable_shared_from_this<PeriodicTable> {
 public:
  static constexpr size_t kMaxTasks = 16384;

  PeriodicTable() = default;
  // Stops and joins whatever is left (the handle normally empties the table first, with no lock held).
  ~PeriodicTable();
  PeriodicTable(const PeriodicTable&) = delete;
  PeriodicTable& operator=(const PeriodicTable&) = delete;

  // Called with state_lock held and the bus running. "Too many periodic tasks", or the system's text when the
  // thread cannot be started.
  Op<uint32_t> start(std::shared_ptr<DeviceShared> shared, std::vector<CanFrame> frames,
                     const PeriodicSchedule& schedule);
  // "No periodic task with id N" when absent.
  Op<void> modify(uint32_t id, std::vector<CanFrame> frames);
  // The task's final counts, read once its worker has ended (nothing it sends afterwards goes uncounted).
  Op<PeriodicCounts> stop(uint32_t id);
  void stop_all();
  void notify_all() noexcept;

  bool alive(uint32_t id);
  std::optional<OpError> error(uint32_t id);
  // nullopt when absent.
  std::optional<PeriodicCounts> counts(uint32_t id);

 private:
  struct Task {
    std::shared_ptr<PeriodicControl> control;
    std::thread thread;  // moved to ended_ by the worker itself when it ends while its entry stays
  };
  static void stop_and_join(std::vector<Task>& tasks, std::thread ended);
  // Called by a worker that has ended and let go of the device: if its entry is still in the table, nobody would
  // join it, so it moves its thread to ended_ and joins the thread it displaces there. Otherwise its remover
  // joins it.
  void release_finished(uint32_t id);

  Mutex mu_;
  std::map<uint32_t, Task> tasks_ GUARDED_BY(mu_);
  std::thread ended_ GUARDED_BY(mu_);  // a worker past its last lock, still to be joined
  uint32_t next_id_ GUARDED_BY(mu_) = 1;
};

// The frame period, and the instant that many periods from `start`, as the worker computes them; exposed so that
// the schedule's arithmetic can be checked without a clock.
struct SlotPlan {
  uint64_t slot;     // the slot to send now
  uint64_t skipped;  // slots given up before it
  bool late;         // it is sent after the next slot's due time
};
// `next` is the slot after the last one sent; `now_slot` the slot whose due time last passed (now - start) /
// period.
SlotPlan plan_slot(uint64_t next, uint64_t now_slot) noexcept;

}  // namespace tavro
