// Starting and stopping the data path of a handle (attach/detach of the transmission session).
#include "handle/handle.hpp"

namespace tavro {

Op<void> DeviceShared::check_no_pending_tickets() {
  if (auto u = check_usable(); !u.ok()) return std::move(u).error();
  return {};
}

Op<void> DeviceShared::attach_session() {
  if (auto u = check_usable(); !u.ok()) return std::move(u).error();
  return OpError::runtime("Not supported: starting the bus");
}

Op<void> DeviceShared::detach_session() {
  flags_->generation.fetch_add(1);
  return {};
}

uint64_t DeviceShared::dropped_frames() { return state_.lifetime_counters[kRxOverruns]; }

}  // namespace tavro
