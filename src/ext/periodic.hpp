// Periodic transmission: a handle's table of tasks, each sending its frames in rotation, one per period, on a
// thread of its own ("tavro-periodic-send"), until stopped, out of time, out of frames, or failed.
//
//   id = table.start(shared, frames, schedule)   # state_lock held by the caller; starts the worker
//   table.modify(id, frames)                      # the worker picks the list up at its next frame
//   table.alive(id), table.error(id)              # "RuntimeError: CAN bus is stopped", ...
//   table.notify_all()                            # configuration change: set every stop flag, wake; never joins
//   table.stop(id) / table.stop_all()             # remove, then signal and join with no lock held
//
// A task never raises: a failure ends it and is kept as "<Python class>: <message>" until its entry is removed.
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
#include <string>
#include <thread>
#include <vector>

#include "core/deadline.hpp"
#include "handle/handle.hpp"
#include "handle/op_error.hpp"
#include "stream/records.hpp"

namespace tavro::py {

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

  void set_error(std::string text);
  std::optional<std::string> error() const;

  void mark_finished() noexcept { finished_.store(true, std::memory_order_release); }
  bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }

 private:
  std::mutex wake_mu_;
  std::condition_variable wake_cv_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};

  std::mutex frames_mu_;
  std::vector<CanFrame> frames_;  // guarded by frames_mu_

  mutable std::mutex error_mu_;
  std::optional<std::string> error_;  // guarded by error_mu_
};

// Fixed at start.
struct PeriodicSchedule {
  Duration period{};                  // at least one microsecond
  std::optional<Duration> duration;   // none: until stopped
  uint64_t generation = 0;            // SessionFlags::generation when the task started
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
  Op<void> stop(uint32_t id);
  void stop_all();
  void notify_all() noexcept;

  bool alive(uint32_t id);
  std::optional<std::string> error(uint32_t id);

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

  std::mutex mu_;
  std::map<uint32_t, Task> tasks_;  // guarded by mu_
  std::thread ended_;               // guarded by mu_; a worker past its last lock, still to be joined
  uint32_t next_id_ = 1;            // guarded by mu_
};

}  // namespace tavro::py
