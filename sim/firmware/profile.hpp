// Firmware profile of a simulated TAVRO adapter: identity, versions, limits and which requests the firmware knows.
// Device behaviour that differs between firmware generations is data here, so a test can build the adapter it needs.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol.hpp"

namespace tavro::sim {

using Version = std::array<uint8_t, 4>;

// Bit timing constants the firmware declares (GetBtConst).
struct BtConst {
  std::array<uint8_t, 16> name{'b', 'x', 'C', 'A', 'N'};  // zero padded; 16 bytes without a zero are allowed
  uint32_t tseg1_min = 1;
  uint32_t tseg1_max = 16;
  uint32_t tseg2_min = 1;
  uint32_t tseg2_max = 8;
  uint32_t sjw_max = 4;
  uint32_t brp_min = 1;
  uint32_t brp_max = 1024;
  uint32_t brp_inc = 1;
};

// The eight words of the CanBittiming record, in wire order.
struct BitTiming {
  uint32_t bitrate = 0;
  uint32_t sample_point = 0;  // tenths of a percent
  uint32_t tq_ns = 0;
  uint32_t prop_seg = 0;
  uint32_t phase_seg1 = 0;
  uint32_t phase_seg2 = 0;
  uint32_t sjw = 0;
  uint32_t brp = 0;
  bool operator==(const BitTiming&) const = default;
  bool is_zero() const noexcept { return *this == BitTiming{}; }
};

enum class LastErrorFormat : uint8_t {
  Bxcan = 0,   // 8-byte record (LEC + error status register)
  Legacy = 1,  // 4-byte record; the firmware stalls any other request length
};

// Settings status values (SettingsStatus IN).
enum SettingsStatus : uint32_t {
  kSettingsIdle = 0,
  kSettingsPending = 1,
  kSettingsSaved = 2,
  kSettingsUnchanged = 3,
  kSettingsInvalid = 4,
  kSettingsFlashError = 5,
  kSettingsVerifyError = 6,
  kSettingsStuck = 7,
};

// Pseudo request number for the bit timing snapshot (CanBittiming IN wValue 1), which old firmware lacks although it
// knows CanBittiming itself.
inline constexpr unsigned kSnapshotRequest = 256;
using RequestSet = std::bitset<257>;

struct FirmwareProfile {
  uint16_t vendor_id = protocol::kVendorId;
  uint16_t product_id = protocol::kProductId;
  std::optional<std::string> serial = std::string("tav.io:CANH0001");

  Version hardware_version{1, 0, 0, 0};
  Version firmware_version{2, 1, 0, 7};
  Version bootloader_version{1, 2, 0, 0};
  Version min_host_api_version{1, 0, 0, 0};
  uint8_t channel_count = 1;
  uint32_t hardware_id = 0x00480001;

  uint32_t clock_hz = 48'000'000;
  uint32_t tx_buffer_size = 512;
  uint32_t rx_buffer_size = 24576;
  uint32_t ctrlmode_supported = 0x5F;  // loopback, listen-only, triple sample, one-shot, berr reporting, presume-ack
  uint32_t features_supported = 0xFD;  // every advertised feature
  uint32_t temperature_sensors = 0x3;  // sensor mask: SoC and device
  // Temperature words as the firmware reports them (tenths of a degree Celsius).
  std::array<uint32_t, 4> temperatures{412, 356, 0, 0};

  BtConst bt_const;
  // The name stored in flash at power-up.
  std::array<uint8_t, 16> device_name{};
  // The timing the controller boots with (500 kbit/s at 87.5 % for a 48 MHz clock). All zero = unset: the bus then
  // refuses to start until a timing is written.
  BitTiming power_up_bittiming{500000, 875, 125, 0, 13, 2, 1, 6};

  RequestSet supported_requests = default_requests();
  LastErrorFormat last_error_format = LastErrorFormat::Bxcan;
  uint32_t led_mode_max = 3;  // 0 off, 1 on, 2 activity, 3 blink

  // Bulk endpoints: maximum packet sizes (512 high speed, 64 full speed) and firmware queue capacities.
  uint16_t rx_packet_size = 512;
  uint16_t result_packet_size = 512;
  uint16_t out_packet_size = 512;
  // The interface's endpoints as its descriptors list them, in order: address and USB transfer type (2 bulk,
  // 3 interrupt), each with the packet size above for its address (64 for another address). A test may describe a
  // broken adapter: an endpoint missing, one of the wrong type, one more.
  struct Endpoint {
    uint8_t address = 0;
    uint8_t type = 2;
    bool operator==(const Endpoint&) const = default;
  };
  std::vector<Endpoint> endpoints{{protocol::kEpRxIn, 2}, {protocol::kEpBulkOut, 2}, {protocol::kEpTxResultIn, 2}};
  uint16_t packet_size(uint8_t address) const noexcept {
    return address == protocol::kEpRxIn         ? rx_packet_size
           : address == protocol::kEpBulkOut    ? out_packet_size
           : address == protocol::kEpTxResultIn ? result_packet_size
                                                : 64;
  }
  uint32_t tx_queue_depth = 32;      // frames handed to the controller and not yet finished
  uint32_t rx_queue_records = 2048;  // RxRecords buffered while the host does not read
  uint32_t result_queue_records = 1024;

  // Settings persistence: a changed name is "pending" this long, then ends in settings_final_status.
  uint32_t settings_save_delay_ms = 20;
  uint32_t settings_final_status = kSettingsSaved;

  static RequestSet default_requests() {
    RequestSet s;
    using C = protocol::ControlCommand;
    for (C c : {C::GetDeviceInfo,
                C::GetDeviceCapabilities,
                C::GetBtConst,
                C::GetLastError,
                C::GetTemperatures,
                C::CanBittiming,
                C::Bus,
                C::Mode,
                C::TerminationState,
                C::LedMode,
                C::DeviceName,
                C::Channel,
                C::TxResultMode,
                C::SettingsStatus,
                C::SetInterfaceName,
                C::ResetCan,
                C::Identify,
                C::ResetTimestamp,
                C::FlushTxQueue,
                C::CancelTx})
      s.set(static_cast<unsigned>(c));
    s.set(kSnapshotRequest);
    return s;
  }

  // An adapter as the current firmware presents it.
  static FirmwareProfile standard() { return FirmwareProfile{}; }

  // An early firmware: no result modes, cancellation, settings status, timestamp reset or snapshot; 4-byte last
  // error record; full-speed endpoints.
  static FirmwareProfile legacy() {
    FirmwareProfile p;
    p.firmware_version = {1, 0, 0, 3};
    p.min_host_api_version = {0, 0, 0, 0};
    p.features_supported = protocol::kFeatureIdentify | protocol::kFeatureTermination | protocol::kFeatureLed;
    p.temperature_sensors = 0;
    using C = protocol::ControlCommand;
    for (C c : {C::TxResultMode, C::SettingsStatus, C::ResetTimestamp, C::CancelTx, C::GetTemperatures})
      p.supported_requests.reset(static_cast<unsigned>(c));
    p.supported_requests.reset(kSnapshotRequest);
    p.last_error_format = LastErrorFormat::Legacy;
    p.rx_packet_size = p.result_packet_size = p.out_packet_size = 64;
    return p;
  }
};

}  // namespace tavro::sim
