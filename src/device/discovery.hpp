// Finding TAVRO adapters among the attached USB devices, choosing the one the caller means, and opening it.
//
//   list_devices(backend)            -> serials of the attached valid adapters, in enumeration order
//   open_by_serial(backend, serial)  -> serial given: first VID/PID match with exactly that serial (no format
//                                       check); no serial: the only valid adapter, else DeviceNotFound /
//                                       MultipleDevicesFound(all serials)
//   open_by_name(backend, name)      -> the one valid adapter whose stored name equals `name` byte for byte;
//                                       DeviceNotFound / MultipleDevicesFound(first two serials)
//   open_adapter(backend, dev, serial) -> open, claim interface 0, open bulk OUT 0x02; any failure DeviceInUse
// Enumeration failures are Usb(Other). Blocking; call without the interpreter lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "device/adapter.hpp"
#include "usb/host.hpp"

namespace tavro {

// Set of valid model letters (upper-case ASCII).
class ModelSet {
 public:
  static ModelSet defaults() noexcept;  // H, I, J
  // From the value of TAVRO_VALID_MODELS: every ASCII letter, upper-cased; nullptr (unset), invalid UTF-8 or no
  // letter at all give the defaults.
  static ModelSet parse(const char* env_value) noexcept;

  bool contains(int32_t code_point) const noexcept {
    return code_point >= 'A' && code_point <= 'Z' && (bits_ >> (code_point - 'A') & 1u);
  }
  std::string letters() const;  // "HIJ", for diagnostics and tests

 private:
  uint32_t bits_ = 0;
};

// The process's valid-model set: TAVRO_VALID_MODELS read once, on first use; later changes have no effect.
const ModelSet& valid_models();

// A TAVRO serial: at least 11 bytes, the serial prefix byte for byte, then the model letter (the 11th character,
// decoded as UTF-8) from `models`.
bool is_valid_serial(std::string_view serial, const ModelSet& models) noexcept;
inline bool is_valid_serial(std::string_view serial) { return is_valid_serial(serial, valid_models()); }

// The model letter of a valid serial (byte 10); callers check validity first.
inline char model_letter(std::string_view serial) noexcept { return serial.size() > 10 ? serial[10] : '\0'; }

Result<std::vector<std::string>> list_devices(usb::Backend& backend);

Result<std::shared_ptr<UsbAdapter>> open_adapter(usb::Backend& backend, const usb::EnumeratedDevice& device,
                                                 const std::string& serial);

Result<std::shared_ptr<UsbAdapter>> open_by_serial(usb::Backend& backend, const std::optional<std::string>& serial);
Result<std::shared_ptr<UsbAdapter>> open_by_name(usb::Backend& backend, const std::string& name);

}  // namespace tavro
