// Device-level configuration commands and their read-back verification. No locking and no session handling here:
// callers hold the device's state lock and run the reconfiguration sequence around the commands that need the
// bus stopped. Refusals before any request is sent (feature bits, channel ids other than 0, identify duration 0,
// bus not stopped) are the callers'.
//
//   write_bit_timing(a, rec)      CanBittiming OUT 32, IN 32; bitrate word must read back equal (Hardware)
//   read_bit_timing(a)            CanBittiming IN wValue 0, >= 32 bytes
//   reset_can / flush_tx_queue / reset_timestamp(a)   OUT without payload
//   set_led_mode(a, m)            LedMode OUT, IN; must read back equal (Hardware)
//   set_termination(a, on)        TerminationState OUT 1/0, IN; non-zero == on (Hardware)
//   write_device_name(a, name)    validation (InvalidParameter), DeviceName OUT 16 zero-padded; no readback
//   get_device_name(a)            DeviceName IN, lossy UTF-8, no validation
//   set_channel_id(a, id)         Channel OUT id
//   set_interface_name(a, name)   <= 31 bytes, no NUL (InvalidParameter); SetInterfaceName OUT name + NUL
//   identify(a, ms)               Identify OUT, wValue = ms, no payload
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "device/adapter.hpp"
#include "device/bit_timing.hpp"

namespace tavro {

Status write_bit_timing(UsbAdapter& adapter, const BitTimingRecord& record);
Result<BitTimingRecord> read_bit_timing(UsbAdapter& adapter);

Status reset_can(UsbAdapter& adapter);
Status flush_tx_queue(UsbAdapter& adapter);
// Firmware without timestamps stalls this request; callers that tolerate that check is_usb(Stall).
Status reset_timestamp(UsbAdapter& adapter);

Status set_led_mode(UsbAdapter& adapter, uint32_t mode);
Result<uint32_t> get_led_mode(UsbAdapter& adapter);

Status set_termination(UsbAdapter& adapter, bool enabled);
Result<bool> get_termination(UsbAdapter& adapter);

// A name the adapter may store: at most 15 bytes, ASCII letters, digits, '-' and '_' only; empty clears it.
Status validate_device_name(std::string_view name);
Status write_device_name(UsbAdapter& adapter, std::string_view name);
Result<std::string> get_device_name(UsbAdapter& adapter);

Status set_channel_id(UsbAdapter& adapter, uint32_t channel_id);
Status set_interface_name(UsbAdapter& adapter, std::string_view name);
Status identify(UsbAdapter& adapter, uint16_t duration_ms);

}  // namespace tavro
