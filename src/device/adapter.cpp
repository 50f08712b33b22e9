// UsbAdapter lifetime: it owns the claimed interface and the bulk OUT endpoint of one opened adapter.
#include "device/adapter.hpp"

#include <utility>

namespace tavro {

UsbAdapter::UsbAdapter(std::string serial, std::shared_ptr<usb::Device> device,
                       std::shared_ptr<usb::Interface> interface, std::unique_ptr<usb::BulkOutPipe> bulk_out)
    : serial_(std::move(serial)),
      device_(std::move(device)),
      interface_(std::move(interface)),
      bulk_out_(std::move(bulk_out)) {}

UsbAdapter::~UsbAdapter() {
  // Reverse order of acquisition: endpoint, interface, device. The pipe's destructor reclaims a transfer that is
  // still in flight before its buffer goes away.
  bulk_out_.reset();
  interface_.reset();
  device_.reset();
}

}  // namespace tavro
