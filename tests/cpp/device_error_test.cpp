// DeviceError texts are user-facing messages; they must match byte for byte.
#include <gtest/gtest.h>

#include "core/device_error.hpp"

using tavro::DeviceError;
using tavro::UsbErrorKind;

TEST(DeviceErrorText, UsbKinds) {
  EXPECT_EQ(DeviceError::usb(UsbErrorKind::Stall).text(), "USB error: endpoint stall");
  EXPECT_EQ(DeviceError::usb(UsbErrorKind::NoDevice).text(), "USB error: device disconnected");
  EXPECT_EQ(DeviceError::usb(UsbErrorKind::Access).text(), "USB error: access denied");
  EXPECT_EQ(DeviceError::usb(UsbErrorKind::Busy).text(), "USB error: device busy");
  EXPECT_EQ(DeviceError::usb(UsbErrorKind::Timeout).text(), "USB error: timed out");
  EXPECT_EQ(DeviceError::usb(UsbErrorKind::NotFound).text(), "USB error: not found");
  EXPECT_EQ(DeviceError::usb(UsbErrorKind::Other).text(), "USB error: transport error");
}

TEST(DeviceErrorText, MultipleDevicesListing) {
  EXPECT_EQ(DeviceError::multiple_devices_found({"A", "B"}).text(),
            "Multiple devices found. Please specify a device using -s <serial> or -n <name>.\n"
            "Available devices:\n  - A\n  - B");
  EXPECT_EQ(DeviceError::multiple_devices_found({}).text(),
            "Multiple devices found. Please specify a device using -s <serial> or -n <name>.\nAvailable devices:\n");
}

TEST(DeviceErrorText, PayloadVariantsAndFixedTexts) {
  EXPECT_EQ(DeviceError::invalid_parameter("x").text(), "Invalid parameter: x");
  EXPECT_EQ(DeviceError::hardware("y").text(), "Hardware error: y");
  EXPECT_EQ(DeviceError::communication("RX channel disconnected").text(),
            "Communication error: RX channel disconnected");
  EXPECT_EQ(DeviceError::internal("z").text(), "Internal error: z");
  EXPECT_EQ(DeviceError::not_supported("TX_RESULTS not advertised").text(), "Not supported: TX_RESULTS not advertised");
  EXPECT_EQ(DeviceError::device_not_found().text(), "Device not found");
  EXPECT_EQ(DeviceError::device_in_use().text(), "Device is in use");
  EXPECT_EQ(DeviceError::not_open().text(), "Device not open");
  EXPECT_EQ(DeviceError::timeout().text(), "Timeout waiting for operation");
  EXPECT_EQ(DeviceError::rx_empty().text(), "Receive buffer empty");
  EXPECT_EQ(DeviceError::tx_full().text(), "Transmit buffer full");
  EXPECT_EQ(DeviceError::bus_off().text(), "Bus off");
  EXPECT_EQ(DeviceError::bus_passive().text(), "Bus passive");
  EXPECT_EQ(DeviceError::bus_warning().text(), "Bus warning");
  EXPECT_EQ(DeviceError::tx_busy().text(), "TX busy - all echo slots in use");
  EXPECT_EQ(DeviceError::too_many_handles().text(), "Too many open handles");
}
