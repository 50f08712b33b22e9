// The USB/IP server where it cannot work: it serves a Linux kernel's vhci-hcd (and waits on Linux's eventfd), so
// other platforms get this stand-in, which refuses to listen or serve with one clear text.
#include <cerrno>

#include "usbip/server.hpp"

namespace tavro::sim::usbip {

class Connection {};

UsbipServer::UsbipServer(SimHub& hub) : hub_(hub) {}

UsbipServer::~UsbipServer() = default;

const char* UsbipServer::unavailable() noexcept {
  return "not built on this platform (it serves the simulated adapters to a Linux kernel's vhci-hcd); the "
         "simulated adapters work here in-process (TAVRO_USB_BACKEND=simulator)";
}

int UsbipServer::duplicate_socket(int) noexcept {
  errno = ENOSYS;
  return -1;
}

int UsbipServer::listen(const std::string&, uint16_t, std::string& error) {
  error = unavailable();
  return -1;
}

uint16_t UsbipServer::port() const { return 0; }

// Never handed a socket: duplicate_socket() fails first.
bool UsbipServer::serve(std::shared_ptr<SimAdapter>, int) { return false; }

void UsbipServer::stop() {}

bool UsbipServer::claim(uint64_t) { return false; }

void UsbipServer::release(uint64_t) {}

}  // namespace tavro::sim::usbip
