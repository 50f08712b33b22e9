// USB descriptors of a simulated adapter.
#include "usbip/descriptors.hpp"

#include <string>

namespace tavro::sim::usbip {

namespace {

constexpr uint8_t kDescDevice = 1, kDescConfiguration = 2, kDescString = 3, kDescInterface = 4, kDescEndpoint = 5;
constexpr uint8_t kManufacturerIndex = 1, kProductIndex = 2, kSerialIndex = 3;
constexpr const char* kManufacturer = "tav.io";
constexpr const char* kProduct = "TAVRO CAN adapter";

void put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

uint8_t bcd(uint8_t x) { return uint8_t((x / 10 % 10) << 4 | x % 10); }

void endpoint(std::vector<uint8_t>& v, uint8_t address, uint8_t type, uint16_t max_packet) {
  v.insert(v.end(), {7, kDescEndpoint, address, uint8_t(type & 3)});
  put16(v, max_packet);
  v.push_back(type == 3 ? 1 : 0);  // bInterval
}

}  // namespace

DeviceDescriptors describe(const FirmwareProfile& p) {
  DeviceDescriptors d;
  d.serial = p.serial;
  d.bcd_device = uint16_t(bcd(p.firmware_version[0]) << 8 | bcd(p.firmware_version[1]));
  const bool full_speed = p.rx_packet_size <= 64 && p.out_packet_size <= 64 && p.result_packet_size <= 64;
  d.speed = full_speed ? kSpeedFull : kSpeedHigh;

  auto& dev = d.device;
  dev = {18, kDescDevice};
  put16(dev, 0x0200);                             // bcdUSB
  dev.insert(dev.end(), {0x00, 0x00, 0x00, 64});  // class per interface; ep0 packet size
  put16(dev, p.vendor_id);
  put16(dev, p.product_id);
  put16(dev, d.bcd_device);
  dev.insert(dev.end(), {kManufacturerIndex, kProductIndex, uint8_t(p.serial ? kSerialIndex : 0), 1});

  auto& cfg = d.configuration;
  cfg = {9, kDescConfiguration, 0, 0, 1 /* interfaces */, 1 /* value */, 0, 0x80 /* bus powered */, 50 /* 100 mA */};
  cfg.insert(cfg.end(),
             {9, kDescInterface, protocol::kInterfaceNumber, 0, uint8_t(p.endpoints.size()), 0xFF, 0x00, 0x00, 0});
  for (const auto& e : p.endpoints) endpoint(cfg, e.address, e.type, p.packet_size(e.address));
  cfg[2] = uint8_t(cfg.size());
  cfg[3] = uint8_t(cfg.size() >> 8);
  return d;
}

std::optional<std::vector<uint8_t>> DeviceDescriptors::string(uint8_t index) const {
  std::string text;
  switch (index) {
    case 0: return std::vector<uint8_t>{4, kDescString, 0x09, 0x04};  // English (US)
    case kManufacturerIndex: text = kManufacturer; break;
    case kProductIndex: text = kProduct; break;
    case kSerialIndex:
      if (!serial) return std::nullopt;
      text = *serial;
      break;
    default: return std::nullopt;
  }
  // UTF-16LE of the UTF-8 text (an invalid byte becomes U+FFFD); a descriptor holds at most 126 code units.
  std::vector<uint8_t> s{0, kDescString};
  for (size_t i = 0; i < text.size() && s.size() < 252;) {
    const auto b = static_cast<unsigned char>(text[i]);
    const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    uint32_t cp = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    bool ok = n != 0 && i + n <= text.size();
    for (size_t k = 1; ok && k < n; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      ok = (c >> 6) == 2;
      cp = cp << 6 | (c & 0x3F);
    }
    i += ok ? n : 1;
    if (!ok) cp = 0xFFFD;
    if (cp >= 0x10000) {
      put16(s, uint16_t(0xD800 + ((cp - 0x10000) >> 10)));
      put16(s, uint16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      put16(s, uint16_t(cp));
    }
  }
  s[0] = uint8_t(s.size());
  return s;
}

}  // namespace tavro::sim::usbip
