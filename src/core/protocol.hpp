// Wire protocol constants of the TAVRO adapter: USB identity, vendor control requests, endpoints, record sizes
// and feature bits. Shared by the driver and the simulated adapter's firmware model.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavro::protocol {

inline constexpr uint16_t kVendorId = 0x16C0;
inline constexpr uint16_t kProductId = 0x27D8;
// Maker's domain, a colon and the product tag; the model letter follows.
inline constexpr std::string_view kSerialPrefix = "tav.io:CAN";
static_assert(kSerialPrefix.size() == 10);

inline constexpr uint8_t kInterfaceNumber = 0;
inline constexpr uint8_t kEpBulkOut = 0x02;
inline constexpr uint8_t kEpRxIn = 0x81;
inline constexpr uint8_t kEpTxResultIn = 0x83;

inline constexpr uint8_t kRequestTypeIn = 0xC1;   // device-to-host, vendor, interface
inline constexpr uint8_t kRequestTypeOut = 0x41;  // host-to-device, vendor, interface

enum class ControlCommand : uint8_t {
  GetDeviceInfo = 0,
  GetDeviceCapabilities = 1,
  GetBtConst = 2,
  GetBerr = 3,  // never sent
  GetLastError = 4,
  GetTemperatures = 5,
  CanBittiming = 20,
  Bus = 21,
  Mode = 22,
  TerminationState = 23,
  LedMode = 24,
  DeviceName = 25,
  Channel = 26,
  TxResultMode = 27,
  SettingsStatus = 30,
  SetInterfaceName = 40,
  ResetCan = 60,
  Identify = 61,
  ResetTimestamp = 62,
  FlushTxQueue = 63,
  ResetDevice = 64,        // never sent
  ResetToBootloader = 65,  // never sent
  CancelTx = 66,
};

inline const char* command_name(ControlCommand c) noexcept {
  switch (c) {
    case ControlCommand::GetDeviceInfo: return "GetDeviceInfo";
    case ControlCommand::GetDeviceCapabilities: return "GetDeviceCapabilities";
    case ControlCommand::GetBtConst: return "GetBtConst";
    case ControlCommand::GetBerr: return "GetBerr";
    case ControlCommand::GetLastError: return "GetLastError";
    case ControlCommand::GetTemperatures: return "GetTemperatures";
    case ControlCommand::CanBittiming: return "CanBittiming";
    case ControlCommand::Bus: return "Bus";
    case ControlCommand::Mode: return "Mode";
    case ControlCommand::TerminationState: return "TerminationState";
    case ControlCommand::LedMode: return "LedMode";
    case ControlCommand::DeviceName: return "DeviceName";
    case ControlCommand::Channel: return "Channel";
    case ControlCommand::TxResultMode: return "TxResultMode";
    case ControlCommand::SettingsStatus: return "SettingsStatus";
    case ControlCommand::SetInterfaceName: return "SetInterfaceName";
    case ControlCommand::ResetCan: return "ResetCan";
    case ControlCommand::Identify: return "Identify";
    case ControlCommand::ResetTimestamp: return "ResetTimestamp";
    case ControlCommand::FlushTxQueue: return "FlushTxQueue";
    case ControlCommand::ResetDevice: return "ResetDevice";
    case ControlCommand::ResetToBootloader: return "ResetToBootloader";
    case ControlCommand::CancelTx: return "CancelTx";
  }
  return "Unknown";
}

// Record sizes on the bulk endpoints.
inline constexpr size_t kRxRecordSize = 24;
inline constexpr size_t kTxRecordSize = 16;
inline constexpr size_t kTxResultLegacySize = 10;
inline constexpr size_t kTxResultExplicitSize = 12;

// Bus state values of the bus state record.
enum BusState : uint32_t {
  kBusErrorActive = 0,
  kBusErrorWarning = 1,
  kBusErrorPassive = 2,
  kBusOff = 3,
  kBusStopped = 4,
  kBusSleeping = 5,
};

// Mode word bits with a fixed meaning.
inline constexpr uint32_t kModeListenOnly = 0x02;
inline constexpr uint32_t kModeFd = 0x20;
inline constexpr uint32_t kModePresumeAck = 0x40;
inline constexpr uint32_t kModeFdReserved = 0x80;

// features_supported bits.
inline constexpr uint32_t kFeatureIdentify = 0x01;
inline constexpr uint32_t kFeatureTermination = 0x04;
inline constexpr uint32_t kFeatureLed = 0x08;
inline constexpr uint32_t kFeatureTemperature = 0x10;
inline constexpr uint32_t kFeatureTxResults = 0x20;
inline constexpr uint32_t kFeatureCancel = 0x40;
inline constexpr uint32_t kFeatureBitTimingSnapshot = 0x80;

// Identifier word bits (SocketCAN convention).
inline constexpr uint32_t kIdExtended = 0x80000000u;
inline constexpr uint32_t kIdRemote = 0x40000000u;
inline constexpr uint32_t kIdError = 0x20000000u;

}  // namespace tavro::protocol
