// The adapter's status records: the latched last error (two firmware generations) and the temperature words, their
// decoders and their reads. No locking: callers hold the device's state lock.
//
//   read_last_error(a)     GetLastError IN 8; on a stall, IN 4 within what is left of the 1 s budget
//                          -> LastErrorRecord (bxCAN: 8 bytes, legacy: 4 bytes) | Communication (other lengths)
//   read_temperatures(a)   GetTemperatures IN 20 -> TemperatureRecord | Communication "Invalid temperatures response"
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "core/result.hpp"
#include "device/adapter.hpp"

namespace tavro {

// The controller's latched last error. Which form the adapter sends is told only by the reply length.
struct LastErrorRecord {
  enum class Form : uint8_t { Bxcan, Legacy };
  struct Bxcan {
    uint32_t lec = 0;        // last error code, 0..7
    uint32_t raw_errsr = 0;  // error status register: TEC in bits 16..23, REC in bits 24..31
  };
  struct Legacy {
    uint8_t error_type = 0;
    uint8_t error_location = 0;
    uint8_t tx_error_count = 0;
    uint8_t rx_error_count = 0;
  };

  Form form = Form::Bxcan;
  Bxcan bxcan;    // meaningful when form == Bxcan
  Legacy legacy;  // meaningful when form == Legacy

  static constexpr size_t kBxcanSize = 8;
  static constexpr size_t kLegacySize = 4;

  // The generation's error number: the LEC or the legacy error type.
  uint32_t code() const noexcept { return form == Form::Bxcan ? bxcan.lec : legacy.error_type; }
  uint32_t tx_error_count() const noexcept {
    return form == Form::Bxcan ? (bxcan.raw_errsr >> 16) & 0xFF : legacy.tx_error_count;
  }
  uint32_t rx_error_count() const noexcept {
    return form == Form::Bxcan ? (bxcan.raw_errsr >> 24) & 0xFF : legacy.rx_error_count;
  }
  // The code's name in its own generation's table.
  const char* name() const noexcept;

  // Exactly 8 or 4 bytes; anything else is Communication
  // "invalid GET_LAST_ERROR length (expected legacy 4 or bxCAN 8)".
  static Result<LastErrorRecord> decode(std::span<const uint8_t> reply);
};

// Name tables; an index outside a table is "unknown". The two generations number their errors differently.
const char* bxcan_error_name(uint32_t lec) noexcept;
const char* legacy_error_name(uint32_t error_type) noexcept;

// Five words passed through unscaled; the host neither interprets the mask nor the units.
struct TemperatureRecord {
  static constexpr size_t kSize = 20;
  uint32_t mask = 0;
  uint32_t soc = 0;
  uint32_t device = 0;
  uint32_t aux1 = 0;
  uint32_t aux2 = 0;

  // Uses the first 20 bytes; shorter replies fail with Communication "Invalid temperatures response".
  static Result<TemperatureRecord> decode(std::span<const uint8_t> reply);
};

// Reads the last error within `budget` (1 s in normal use). Early firmware stalls the 8-byte request; the retry
// with 4 bytes only gets the time left, and none left is Timeout. Other failures are returned unchanged.
Result<LastErrorRecord> read_last_error(UsbAdapter& adapter, std::chrono::nanoseconds budget = kControlTimeout);
Result<TemperatureRecord> read_temperatures(UsbAdapter& adapter);

}  // namespace tavro
