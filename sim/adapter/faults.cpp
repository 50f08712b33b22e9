// Fault rule matching for the simulated adapter's front-end.
#include "adapter/faults.hpp"

namespace tavro::sim {

bool fault_matches(const FaultRule& rule, const FaultEvent& event) noexcept {
  if (rule.target != event.target) return false;
  switch (rule.target) {
    case FaultTarget::Control:
      if (rule.request != event.request) return false;
      if (rule.direction == FaultDirection::In && !event.in) return false;
      if (rule.direction == FaultDirection::Out && event.in) return false;
      return !rule.value || *rule.value == event.value;
    case FaultTarget::BulkIn:
    case FaultTarget::BulkOut:
    case FaultTarget::EndpointOpen:
    case FaultTarget::Unlink:
    case FaultTarget::ClearHalt:
    case FaultTarget::Submit: return rule.endpoint == 0 || rule.endpoint == event.endpoint;
    default: return true;
  }
}

usb::TransferStatus fault_status(const FaultRule& rule) noexcept {
  switch (rule.action) {
    case FaultAction::Stall: return usb::TransferStatus::Stall;
    case FaultAction::Timeout:
    case FaultAction::Expire: return usb::TransferStatus::Cancelled;
    case FaultAction::Disconnect: return usb::TransferStatus::Disconnected;
    case FaultAction::Fault: return usb::TransferStatus::Fault;
    case FaultAction::OsError: return usb::TransferStatus::Unknown;
    default: return usb::TransferStatus::Completed;
  }
}

usb::HostError fault_host_error(const FaultRule& rule) {
  usb::HostError e;
  e.status = fault_status(rule);
  if (e.status == usb::TransferStatus::Completed) e.status = usb::TransferStatus::Fault;
  e.os_code = rule.os_code;
  // A host controller fault without a text of its own stands for the common case: no access to the device node.
  e.access_denied = e.status == usb::TransferStatus::Fault && rule.text.empty();
  if (!rule.text.empty()) {
    e.text = rule.text;
    return e;
  }
  switch (e.status) {
    case usb::TransferStatus::Disconnected: e.text = "No such device (it may have been disconnected)"; break;
    case usb::TransferStatus::Cancelled: e.text = "Operation timed out"; break;
    case usb::TransferStatus::Stall: e.text = "Pipe error"; break;
    case usb::TransferStatus::Unknown: e.text = "Other error (" + std::to_string(rule.os_code) + ")"; break;
    default: e.text = "Access denied (insufficient permissions)"; break;
  }
  return e;
}

void FaultSet::add(FaultRule rule) {
  std::lock_guard l(mu_);
  if (rule.count == 0) return;
  rules_.push_back(std::move(rule));
}

void FaultSet::clear() {
  std::lock_guard l(mu_);
  rules_.clear();
}

size_t FaultSet::size() const {
  std::lock_guard l(mu_);
  return rules_.size();
}

std::vector<FaultRule> FaultSet::rules() const {
  std::lock_guard l(mu_);
  return rules_;
}

std::optional<FaultRule> FaultSet::take(const FaultEvent& event) {
  std::lock_guard l(mu_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (!fault_matches(*it, event)) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    FaultRule applied = *it;
    if (it->count > 0 && --it->count == 0) rules_.erase(it);
    return applied;
  }
  return std::nullopt;
}

}  // namespace tavro::sim
