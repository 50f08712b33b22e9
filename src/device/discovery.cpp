// Discovery, selection and opening of TAVRO adapters.
#include "device/discovery.hpp"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

#include "core/log.hpp"
#include "device/records.hpp"
#include "device/utf8.hpp"
#include "platform/platform.hpp"

namespace tavro {
namespace {

constexpr log::Target kTarget = log::Target::Device;

struct Candidate {
  const usb::EnumeratedDevice* device;
  std::string serial;
};

bool is_tavro_id(const usb::EnumeratedDevice& d) noexcept {
  return d.vendor_id == protocol::kVendorId && d.product_id == protocol::kProductId;
}

Result<std::vector<usb::EnumeratedDevice>> enumerate(usb::Backend& backend) {
  auto r = backend.enumerate();
  if (!r.ok()) return DeviceError::usb(UsbErrorKind::Other);
  return std::move(*r.value);
}

// What an enumeration offers: adapters with a valid serial, in enumeration order, and the adapters that had to be
// skipped because the host could not read their serial (the others are not ours and are mentioned at Trace).
struct Survey {
  std::vector<Candidate> usable;
  size_t unreadable = 0;
  std::vector<std::string> reasons;  // distinct host errors, in the order seen
  bool access_denied = false;

  // "Device not found", with the adapters seen but skipped and why, so the user is not left guessing.
  DeviceError not_found() const {
    if (unreadable == 0) return DeviceError::device_not_found();
    std::string why = std::to_string(unreadable) + (unreadable == 1 ? " adapter" : " adapters") +
                      " seen but skipped (serial unreadable: ";
    for (size_t i = 0; i < reasons.size(); ++i) why += (i ? ", " : "") + reasons[i];
    if (access_denied) why += "; see the udev rule in the README";
    return DeviceError::device_not_found(why + ")");
  }
};

// An adapter whose serial the host could not read is a Warning as well: otherwise the user sees only
// "Device not found" and never learns why.
Survey survey(const std::vector<usb::EnumeratedDevice>& devices) {
  Survey out;
  for (const auto& d : devices) {
    if (!is_tavro_id(d)) continue;
    if (!d.serial && d.serial_error) {
      std::string text = "Skipping adapter at bus:" + d.bus_id + " addr:" + std::to_string(d.address) +
                         ": its serial number could not be read (" + d.serial_error->text + ")";
      if (d.serial_error->access_denied)
        text += "; no permission to open the device: install the udev rule described in the README";
      log::write(kTarget, log::Level::Warn, __FILE__, __LINE__, text);
      ++out.unreadable;
      out.access_denied |= d.serial_error->access_denied;
      const std::string reason = d.serial_error->access_denied || d.serial_error->text.empty()
                                     ? std::string(usb_error_kind_text(UsbErrorKind::Access))
                                     : d.serial_error->text;
      if (std::find(out.reasons.begin(), out.reasons.end(), reason) == out.reasons.end()) out.reasons.push_back(reason);
      continue;
    }
    if (!d.serial || !is_valid_serial(*d.serial)) {
      if (log::enabled(kTarget, log::Level::Trace)) {
        char ids[32];
        std::snprintf(ids, sizeof ids, "VID:%04x PID:%04x", d.vendor_id, d.product_id);
        log::write(kTarget, log::Level::Trace, __FILE__, __LINE__,
                   std::string("enumerate: skipping non-TAVRO device ") + ids + " bus:" + d.bus_id +
                       " addr:" + std::to_string(d.address));
      }
      continue;
    }
    out.usable.push_back({&d, *d.serial});
  }
  return out;
}

void log_opened() {
  if (log::enabled(kTarget, log::Level::Debug)) {
    char text[64];
    std::snprintf(text, sizeof text, "Opened TAVRO device: VID=%04x PID=%04x", protocol::kVendorId,
                  protocol::kProductId);
    log::write(kTarget, log::Level::Debug, __FILE__, __LINE__, text);
  }
}

// The bulk OUT endpoint must be described in the active alternate setting as a bulk endpoint. Checked here as
// well as by the backend, so that a lenient backend cannot hand us an interrupt pipe.
const char* bulk_out_problem(const usb::Interface& intf) {
  for (const auto& ep : intf.endpoints()) {
    if (ep.address != protocol::kEpBulkOut) continue;
    return ep.type == usb::EndpointType::Bulk ? nullptr : "endpoint 0x02 is not a bulk endpoint";
  }
  return "endpoint 0x02 is not described by interface 0";
}

}  // namespace

ModelSet ModelSet::defaults() noexcept {
  ModelSet m;
  for (char c : {'H', 'I', 'J'}) m.bits_ |= 1u << (c - 'A');
  return m;
}

ModelSet ModelSet::parse(const char* env_value) noexcept {
  if (env_value == nullptr || !utf8::valid(env_value)) return defaults();
  ModelSet m;
  for (const char* p = env_value; *p; ++p) {
    char c = *p;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z') m.bits_ |= 1u << (c - 'A');
  }
  return m.bits_ ? m : defaults();
}

std::string ModelSet::letters() const {
  std::string s;
  for (int i = 0; i < 26; ++i)
    if (bits_ >> i & 1u) s += static_cast<char>('A' + i);
  return s;
}

const ModelSet& valid_models() {
  static std::once_flag once;
  static ModelSet set;
  std::call_once(once, [] {
    const std::optional<std::string> env = platform::environment("TAVRO_VALID_MODELS");
    set = ModelSet::parse(env ? env->c_str() : nullptr);
  });
  return set;
}

bool is_valid_serial(std::string_view serial, const ModelSet& models) noexcept {
  const auto& prefix = protocol::kSerialPrefix;
  if (serial.size() < prefix.size() + 1 || serial.substr(0, prefix.size()) != prefix) return false;
  // The prefix is ASCII, so the 11th character starts at byte 10.
  size_t pos = prefix.size();
  return models.contains(utf8::next(serial, pos));
}

Result<std::vector<std::string>> list_devices(usb::Backend& backend) {
  auto devices = enumerate(backend);
  if (!devices) return std::move(devices).error();
  std::vector<std::string> serials;
  for (auto& c : survey(*devices).usable) serials.push_back(std::move(c.serial));
  return serials;
}

Result<std::shared_ptr<UsbAdapter>> open_adapter(usb::Backend& backend, const usb::EnumeratedDevice& device,
                                                 const std::string& serial) {
  auto opened = backend.open(device);
  if (!opened.ok()) {
    TAVRO_LOG(kTarget, log::Level::Debug, "Device " + serial + " could not be opened (in use): " + opened.error.text);
    return DeviceError::device_in_use();
  }
  std::shared_ptr<usb::Device> dev = std::move(*opened.value);

  auto claimed = dev->claim_interface(protocol::kInterfaceNumber);
  if (!claimed.ok()) {
    TAVRO_LOG(kTarget, log::Level::Debug,
              "Device " + serial + ", found but interface claim failed (in use): " + claimed.error.text);
    return DeviceError::device_in_use();  // `dev` is released on return
  }
  std::shared_ptr<usb::Interface> intf = std::move(*claimed.value);

  std::string why;
  std::unique_ptr<usb::BulkOutPipe> out;
  if (const char* problem = bulk_out_problem(*intf)) {
    why = problem;
  } else {
    auto pipe = intf->open_bulk_out(protocol::kEpBulkOut);
    if (pipe.ok()) {
      out = std::move(*pipe.value);
    } else {
      why = pipe.error.text;
    }
  }
  if (!out) {
    TAVRO_LOG(kTarget, log::Level::Debug, "Device " + serial + " bulk OUT endpoint unavailable: " + why);
    intf.reset();  // interface before device
    return DeviceError::device_in_use();
  }
  return std::make_shared<UsbAdapter>(serial, std::move(dev), std::move(intf), std::move(out));
}

Result<std::shared_ptr<UsbAdapter>> open_by_serial(usb::Backend& backend, const std::optional<std::string>& serial) {
  auto devices = enumerate(backend);
  if (!devices) return std::move(devices).error();

  const Survey seen = survey(*devices);
  Result<std::shared_ptr<UsbAdapter>> opened = DeviceError::device_not_found();
  if (serial) {
    // An explicit serial is taken as given: the prefix and model checks do not apply.
    const usb::EnumeratedDevice* match = nullptr;
    for (const auto& d : *devices) {
      if (is_tavro_id(d) && d.serial && *d.serial == *serial) {
        match = &d;
        break;
      }
    }
    if (!match) return seen.not_found();
    opened = open_adapter(backend, *match, *serial);
  } else {
    const std::vector<Candidate>& candidates = seen.usable;
    if (candidates.empty()) return seen.not_found();
    if (candidates.size() > 1) {
      std::vector<std::string> serials;
      serials.reserve(candidates.size());
      for (const auto& c : candidates) serials.push_back(c.serial);
      return DeviceError::multiple_devices_found(std::move(serials));
    }
    opened = open_adapter(backend, *candidates.front().device, candidates.front().serial);
  }
  if (opened) log_opened();
  return opened;
}

Result<std::shared_ptr<UsbAdapter>> open_by_name(usb::Backend& backend, const std::string& name) {
  auto devices = enumerate(backend);
  if (!devices) return std::move(devices).error();

  const Survey seen = survey(*devices);
  std::shared_ptr<UsbAdapter> found;
  for (const auto& c : seen.usable) {
    auto opened = open_adapter(backend, *c.device, c.serial);
    if (!opened) continue;  // held elsewhere: not the caller's problem
    std::shared_ptr<UsbAdapter> adapter = std::move(opened).value();

    auto stored = read_device_name(*adapter);
    if (!stored || device_name_problem(*stored) != nullptr) continue;
    const bool same = stored->size() == name.size() &&
                      std::equal(stored->begin(), stored->end(), reinterpret_cast<const uint8_t*>(name.data()));
    if (!same) continue;  // `adapter` closes at the end of this iteration
    if (found) {
      std::vector<std::string> serials{found->serial(), adapter->serial()};
      found.reset();
      adapter.reset();
      return DeviceError::multiple_devices_found(std::move(serials));
    }
    found = std::move(adapter);
  }
  if (!found) return seen.usable.empty() ? seen.not_found() : DeviceError::device_not_found();
  log_opened();
  return found;
}

}  // namespace tavro
