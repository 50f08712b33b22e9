// Echo table operations and the per-serial registry (see echo_table.hpp).
#include "echo/echo_table.hpp"

#include <unordered_map>
#include <utility>

namespace tavro {

void EchoTable::wake_and_set(Slot& s, SlotState next) {
  Waiter w = std::move(s.waiter);
  s.waiter = nullptr;
  s.state = next;
  if (w) w();
}

void EchoTable::abandon_locked(uint64_t generation) {
  for (Slot& s : slots_) {
    if ((s.state == SlotState::Pending || s.state == SlotState::Waited) && s.generation == generation)
      wake_and_set(s, SlotState::Abandoned);
  }
}

Result<uint64_t> EchoTable::begin_generation() {
  LockGuard lock(mutex_);
  if (generation_ == kExhausted) return DeviceError::tx_busy();
  abandon_locked(generation_);
  return ++generation_;
}

std::optional<EchoTable::Allocation> EchoTable::allocate(uint64_t generation) {
  LockGuard lock(mutex_);
  if (generation != generation_ || sequence_ == kExhausted) return std::nullopt;
  for (int k = 0; k < kSlots; ++k) {
    const int i = (cursor_ + k) % kSlots;
    Slot& s = slots_[i];
    if (s.state != SlotState::Free) continue;
    s.state = SlotState::Pending;
    s.waiter = nullptr;
    s.generation = generation;
    s.sequence = sequence_++;
    cursor_ = uint8_t((i + 1) % kSlots);
    return Allocation{uint8_t(i + 1), s.sequence};
  }
  return std::nullopt;
}

void EchoTable::release(uint8_t tx_id, uint64_t generation, uint64_t sequence) {
  if (!valid_id(tx_id)) return;
  LockGuard lock(mutex_);
  Slot& s = slots_[tx_id - 1];
  switch (s.state) {
    case SlotState::Pending:
    case SlotState::Waited:
      if (s.generation == generation && s.sequence == sequence) wake_and_set(s, SlotState::Free);
      break;
    case SlotState::Abandoned: s.state = SlotState::Free; break;
    case SlotState::Free: break;
  }
}

void EchoTable::abandon_generation(uint64_t generation) {
  LockGuard lock(mutex_);
  abandon_locked(generation);
}

void EchoTable::abandon(uint8_t tx_id, uint64_t generation, uint64_t sequence) {
  if (!valid_id(tx_id)) return;
  LockGuard lock(mutex_);
  Slot& s = slots_[tx_id - 1];
  if ((s.state == SlotState::Pending || s.state == SlotState::Waited) && s.generation == generation &&
      s.sequence == sequence)
    wake_and_set(s, SlotState::Abandoned);
}

void EchoTable::free_abandoned(uint8_t tx_id) {
  if (!valid_id(tx_id)) return;
  LockGuard lock(mutex_);
  Slot& s = slots_[tx_id - 1];
  if (s.state == SlotState::Abandoned) s.state = SlotState::Free;
}

void EchoTable::free_all_abandoned() {
  LockGuard lock(mutex_);
  for (Slot& s : slots_)
    if (s.state == SlotState::Abandoned) s.state = SlotState::Free;
}

void EchoTable::complete(uint8_t tx_id, uint64_t generation) {
  if (!valid_id(tx_id)) return;
  LockGuard lock(mutex_);
  Slot& s = slots_[tx_id - 1];
  switch (s.state) {
    case SlotState::Free:
    case SlotState::Abandoned: s.state = SlotState::Free; break;
    case SlotState::Pending:
    case SlotState::Waited:
      if (s.generation == generation) wake_and_set(s, SlotState::Free);
      break;
  }
}

bool EchoTable::wait_on(uint8_t tx_id, uint64_t generation, uint64_t sequence, Waiter waiter) {
  if (!valid_id(tx_id)) return false;
  LockGuard lock(mutex_);
  Slot& s = slots_[tx_id - 1];
  if (s.state != SlotState::Pending || s.generation != generation || s.sequence != sequence) return false;
  s.waiter = std::move(waiter);
  s.state = SlotState::Waited;
  return true;
}

EchoTable::SlotState EchoTable::state(uint8_t tx_id) const {
  if (!valid_id(tx_id)) return SlotState::Free;
  LockGuard lock(mutex_);
  return slots_[tx_id - 1].state;
}

uint64_t EchoTable::generation() const {
  LockGuard lock(mutex_);
  return generation_;
}

std::shared_ptr<EchoTable> echo_table_for(const std::string& serial) {
  // Never destroyed: tables outlive every channel and may be reached from worker threads during process exit.
  static std::mutex* registry_mutex = new std::mutex;
  static auto* registry = new std::unordered_map<std::string, std::shared_ptr<EchoTable>>;
  std::lock_guard<std::mutex> lock(*registry_mutex);
  auto& slot = (*registry)[serial];
  if (!slot) slot = std::make_shared<EchoTable>();
  return slot;
}

}  // namespace tavro
