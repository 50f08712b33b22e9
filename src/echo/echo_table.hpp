// EchoTable: the 16 transmission ids of one adapter that confirmed transmissions borrow in the legacy result
// mode, shared by every channel ever opened on that adapter in this process.
//
//   t = echo_table_for(serial)           # process-wide registry, one table per serial number
//   gen = t.begin_generation()           # channel open: abandon the previous generation's slots, new generation
//   (id, seq) = t.allocate(gen)          # slot id-1 becomes Pending; None when all 16 are taken
//   t.release(id, gen, seq)              # the transmission ended without the adapter reporting it
//   t.complete(id, gen)                  # the adapter reported id (result reader)
//   t.abandon_generation(gen)            # channel drop / session invalidation
//   t.free_all_abandoned()               # flushed with the bus off: no earlier report can come any more
//
// An Abandoned slot is never handed out again until the adapter has reported its id, so a late echo of an
// earlier session can never be taken for the result of a new transmission.
//
// Locking: every operation takes the table's own mutex. It nests inside the session state mutex; the registry
// mutex is only ever held together with a table's mutex while a channel opens (registry first).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/result.hpp"
#include "core/sync.hpp"

namespace tavro {

class EchoTable {
 public:
  static constexpr int kSlots = 16;
  static constexpr uint64_t kExhausted = ~uint64_t{0};

  enum class SlotState : uint8_t { Free = 0, Pending = 1, Waited = 2, Abandoned = 3 };

  struct Allocation {
    uint8_t tx_id = 0;  // 1..16
    uint64_t sequence = 0;
  };

  // Called once, under the table's mutex, when a Waited slot is released or abandoned. Must not block or take
  // any lock that is ordered before the table's mutex.
  using Waiter = std::function<void()>;

  EchoTable() = default;
  EchoTable(const EchoTable&) = delete;
  EchoTable& operator=(const EchoTable&) = delete;

  // Channel open: abandons the slots of the current generation, then advances it. TxBusy when the generation
  // counter is exhausted (nothing changes then).
  Result<uint64_t> begin_generation();

  // Takes the first Free slot from the cursor on. None when `generation` is not current, no slot is Free, or the
  // sequence counter is exhausted.
  std::optional<Allocation> allocate(uint64_t generation);
  // Frees slot id-1 if it is Pending/Waited with that generation and sequence (waking its waiter), or Abandoned.
  void release(uint8_t tx_id, uint64_t generation, uint64_t sequence);
  // Every Pending/Waited slot of `generation` wakes its waiter and becomes Abandoned.
  void abandon_generation(uint64_t generation);
  // Slot id-1, if Pending/Waited with that generation and sequence, wakes its waiter and becomes Abandoned
  // (its transmission was given up by an invalidated session while the adapter may still report it).
  void abandon(uint8_t tx_id, uint64_t generation, uint64_t sequence);
  // An Abandoned slot id-1 becomes Free (the adapter finally reported that id).
  void free_abandoned(uint8_t tx_id);
  // Every Abandoned slot becomes Free: after FlushTxQueue with the bus off the adapter reports nothing of an
  // earlier session.
  void free_all_abandoned();
  // The adapter reported id: a Free or Abandoned slot becomes (stays) Free; a Pending/Waited slot of
  // `generation` wakes its waiter and becomes Free. A live slot of another generation is left alone.
  void complete(uint8_t tx_id, uint64_t generation);
  // Registers a waiter on a Pending slot of that generation and sequence (it becomes Waited). False otherwise.
  bool wait_on(uint8_t tx_id, uint64_t generation, uint64_t sequence, Waiter waiter);

  // Snapshots for the result reader's late-echo rule, statistics and tests.
  SlotState state(uint8_t tx_id) const;
  uint64_t generation() const;

 private:
  struct Slot {
    SlotState state = SlotState::Free;
    Waiter waiter;
    uint64_t generation = 0;
    uint64_t sequence = 0;
  };

  static bool valid_id(uint8_t tx_id) noexcept { return tx_id >= 1 && tx_id <= kSlots; }
  void abandon_locked(uint64_t generation) REQUIRES(mutex_);
  static void wake_and_set(Slot& s, SlotState next);

  mutable Mutex mutex_;
  std::array<Slot, kSlots> slots_ GUARDED_BY(mutex_){};
  uint8_t cursor_ GUARDED_BY(mutex_) = 0;
  uint64_t generation_ GUARDED_BY(mutex_) = 0;
  uint64_t sequence_ GUARDED_BY(mutex_) = 0;
};

// The process-wide table of the adapter with this serial number, created on first use.
std::shared_ptr<EchoTable> echo_table_for(const std::string& serial);

}  // namespace tavro
