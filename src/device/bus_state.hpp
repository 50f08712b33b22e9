// Bus state record, mode word and TX result mode of the adapter, and switching the bus with verification.
// Nothing here locks: callers hold the device's state lock across set-then-verify sequences.
//
//   read_bus_state(a, timeout=1s)   Bus IN 20   -> BusStateRecord | Communication "Invalid bus state response"
//   switch_bus(a, on)               Bus OUT 1/0, then read back; Hardware "Bus state verification failed: ..."
//   read_mode(a) / write_mode(a, m) Mode IN (short replies zero-extended) / Mode OUT 4
//   read_tx_result_mode(a, features), select_tx_result_mode(a, mode)  TxResultMode IN 12 / OUT 4
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "core/result.hpp"
#include "device/adapter.hpp"

namespace tavro {

struct BusStateRecord {
  static constexpr size_t kSize = 20;
  uint32_t state = 0;  // protocol::BusState
  uint32_t rx_errors = 0;
  uint32_t tx_errors = 0;
  uint32_t bus_off_count = 0;
  uint32_t last_error = 0;

  // Stopped and sleeping count as "not running" for verification.
  // Only the defined controller states count: a word the adapter should never send is neither running nor stopped,
  // so it fails the verification of either request.
  bool running() const noexcept { return state <= protocol::kBusOff; }
  bool stopped() const noexcept { return state == protocol::kBusStopped || state == protocol::kBusSleeping; }
  static Result<BusStateRecord> decode(std::span<const uint8_t> reply);
};

struct TxResultModeRecord {
  static constexpr size_t kSize = 12;
  uint32_t mode = 0;        // 0 legacy, 1 explicit
  uint32_t generation = 0;  // changes when the adapter starts a new transmission session
  uint32_t extra = 0;       // carried, not interpreted

  // Exactly 12 bytes ("expected 12 bytes, received N"), mode < 2 ("unknown TX result mode N").
  static Result<TxResultModeRecord> decode(std::span<const uint8_t> reply);
};

inline constexpr uint32_t kTxResultModeLegacy = 0;
inline constexpr uint32_t kTxResultModeExplicit = 1;

Result<BusStateRecord> read_bus_state(UsbAdapter& adapter, std::chrono::nanoseconds timeout = kControlTimeout);
// Sends Bus OUT and checks the state read back; a mismatch is logged at Error and returned as Hardware.
Status switch_bus(UsbAdapter& adapter, bool on);
// Last act before an adapter is left without a host session: a bus-off request, verified when the adapter still
// answers. Failures are only logged (Warn): the caller is already on its way out.
void bus_off_best_effort(UsbAdapter& adapter) noexcept;

// Mode word: an IN reply shorter than 4 bytes is zero-extended, never an error.
uint32_t decode_mode_word(std::span<const uint8_t> reply) noexcept;
Result<uint32_t> read_mode(UsbAdapter& adapter);
Status write_mode(UsbAdapter& adapter, uint32_t mode);
// Mode OUT, then Mode IN: a mode the adapter acknowledged but did not apply is Hardware "Mode verification
// failed: Requested 0x.., Actual 0x.." (logged at Error first).
Status write_mode_verified(UsbAdapter& adapter, uint32_t mode);

// NotSupported "TX_RESULTS not advertised" without feature bit 0x20 in `features_supported`.
Result<TxResultModeRecord> read_tx_result_mode(UsbAdapter& adapter, uint32_t features_supported);
// Reads the capabilities afresh, requires the bus stopped (state 4), writes the mode and verifies the readback.
Result<TxResultModeRecord> select_tx_result_mode(UsbAdapter& adapter, uint32_t mode);

}  // namespace tavro
