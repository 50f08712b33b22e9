// The USB/IP identity of a simulated adapter: what `usbip list` shows and `usbip attach -b` takes. Built on every
// platform, server or not.
#include "usbip/descriptors.hpp"
#include "usbip/server.hpp"

namespace tavro::sim::usbip {

std::string UsbipServer::busid(const SimAdapter& a) { return std::to_string(kBusnum) + "-" + std::to_string(a.id()); }

uint32_t UsbipServer::devid(const SimAdapter& a) { return kBusnum << 16 | a.address(); }

uint32_t UsbipServer::speed(SimAdapter& a) { return describe(a.firmware().profile()).speed; }

}  // namespace tavro::sim::usbip
