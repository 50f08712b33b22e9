// libusb backend: enumeration, exclusive open, interface claim and control transfers.
#include "usb/libusb/libusb_backend.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/log.hpp"
#include "usb/libusb/libusb_objects.hpp"
#include "usb/libusb/libusb_support.hpp"

namespace tavro::usb {
namespace libusb_detail {
namespace {

// Only adapters of this family are opened during enumeration (to read their serial number); any other device
// is described from its cached device descriptor alone, so foreign devices are never touched.
constexpr uint16_t kTavroVendorId = 0x16C0;
constexpr uint16_t kTavroProductId = 0x27D8;

// Deleter of an enumeration token: drops the libusb_device reference the token holds. Its type also tells
// open() that a token came from this backend (std::get_deleter).
struct DeviceRefRelease {
  void operator()(void* dev) const noexcept { libusb_unref_device(static_cast<libusb_device*>(dev)); }
};

// Fills e.serial, or e.serial_error with the host's reason when the serial exists but cannot be read.
void read_serial(libusb_device* dev, uint8_t string_index, EnumeratedDevice& e) {
  if (string_index == 0) return;  // the device declares no serial number
  libusb_device_handle* handle = nullptr;
  if (const int rc = libusb_open(dev, &handle); rc != LIBUSB_SUCCESS) {
    e.serial_error = host_error(rc);
    return;
  }
  unsigned char text[256];
  const int n = libusb_get_string_descriptor_ascii(handle, string_index, text, sizeof text);
  libusb_close(handle);
  if (n < 0) {
    e.serial_error = host_error(n);
    return;
  }
  if (n == 0) return;
  e.serial = std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n));
}

class LibusbBackend final : public Backend {
 public:
  const char* name() const noexcept override { return "libusb"; }

  HostResult<std::vector<EnumeratedDevice>> enumerate() override {
    using R = HostResult<std::vector<EnumeratedDevice>>;
    int err = LIBUSB_ERROR_OTHER;
    libusb_context* ctx = Context::instance().get(&err);
    if (ctx == nullptr) return R::failure(host_error(err));

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) return R::failure(host_error(static_cast<int>(count)));
    // Frees the list and its references on every path; each token takes its own reference first.
    std::unique_ptr<libusb_device*, void (*)(libusb_device**)> guard(
        list, [](libusb_device** l) { libusb_free_device_list(l, 1); });

    std::vector<EnumeratedDevice> out;
    out.reserve(static_cast<size_t>(count));
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device* dev = list[i];
      libusb_device_descriptor desc{};
      if (libusb_get_device_descriptor(dev, &desc) != LIBUSB_SUCCESS) continue;
      EnumeratedDevice e;
      e.vendor_id = desc.idVendor;
      e.product_id = desc.idProduct;
      char bus[8];
      std::snprintf(bus, sizeof bus, "%03u", static_cast<unsigned>(libusb_get_bus_number(dev)));
      e.bus_id = bus;
      e.address = libusb_get_device_address(dev);
      if (registry_.lost(dev)) {
        e.serial_error = HostError{TransferStatus::Lost, 0, "a cancelled transfer of the device did not return"};
      } else if (desc.idVendor == kTavroVendorId && desc.idProduct == kTavroProductId) {
        read_serial(dev, desc.iSerialNumber, e);
      }
      e.token = std::shared_ptr<void>(libusb_ref_device(dev), DeviceRefRelease{});
      out.push_back(std::move(e));
    }
    return R::success(std::move(out));
  }

  HostResult<std::shared_ptr<Device>> open(const EnumeratedDevice& device) override {
    using R = HostResult<std::shared_ptr<Device>>;
    if (!device.token || std::get_deleter<DeviceRefRelease>(device.token) == nullptr)
      return R::failure({TransferStatus::InvalidArgument, LIBUSB_ERROR_INVALID_PARAM,
                         "device was not enumerated by the libusb backend"});
    auto* dev = static_cast<libusb_device*>(device.token.get());
    int err = LIBUSB_ERROR_OTHER;
    if (Context::instance().get(&err) == nullptr) return R::failure(host_error(err));

    if (!registry_.insert(dev)) return R::failure(host_error(LIBUSB_ERROR_BUSY));
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(dev, &handle);
    if (rc != LIBUSB_SUCCESS) {
      registry_.erase(dev);
      return R::failure(host_error(rc));
    }
    if (!Context::instance().add_event_user()) {
      libusb_close(handle);
      registry_.erase(dev);
      return R::failure({TransferStatus::Fault, LIBUSB_ERROR_OTHER, "could not start the USB event thread"});
    }
    return R::success(std::make_shared<DeviceImpl>(handle, dev, registry_));
  }

 private:
  OpenRegistry registry_;
};

}  // namespace

// ---- OpenRegistry ----

bool OpenRegistry::insert(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(m_);
  if (std::find(open_.begin(), open_.end(), dev) != open_.end()) return false;
  open_.push_back(dev);
  return true;
}

void OpenRegistry::erase(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(m_);
  open_.erase(std::remove(open_.begin(), open_.end(), dev), open_.end());
}

void OpenRegistry::mark_lost(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(m_);
  lost_.push_back(dev);
}

bool OpenRegistry::lost(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(m_);
  return std::find(lost_.begin(), lost_.end(), dev) != lost_.end();
}

// ---- DeviceImpl ----

DeviceImpl::DeviceImpl(libusb_device_handle* handle, libusb_device* dev, OpenRegistry& registry)
    : handle_(handle), dev_(libusb_ref_device(dev)), registry_(registry) {
  // Let libusb detach a kernel driver bound to a claimed interface and re-attach it on release. Platforms without
  // kernel drivers answer NOT_SUPPORTED, which is fine: a driver really in the way makes the claim fail instead.
  libusb_set_auto_detach_kernel_driver(handle_, 1);
}

DeviceImpl::~DeviceImpl() {
  // Every interface (and so every pipe and transfer) is gone: each keeps this device alive.
  if (!clear_to_submit()) {
    // Closing would wait in the kernel for the parked transfer, for good if it never comes back. Leaked instead:
    // the handle, its registration (the device cannot be opened again until it is unplugged) and the event user
    // that frees the parked transfer should it return.
    TAVRO_LOG(log::Target::Device, log::Level::Warn,
              "USB handle of an adapter with a lost transfer left open; unplug the adapter to release it");
    return;
  }
  libusb_close(handle_);
  // Unregistered only after the close, and the reference dropped only after that, so the registry never holds a
  // pointer libusb could hand out again for another device.
  registry_.erase(dev_);
  libusb_unref_device(dev_);
  Context::instance().remove_event_user();
}

HostResult<std::shared_ptr<Interface>> DeviceImpl::claim_interface(uint8_t number) {
  using R = HostResult<std::shared_ptr<Interface>>;
  if (lost()) return R::failure({TransferStatus::Lost, 0, "a cancelled transfer of the device did not return"});
  {
    std::lock_guard<std::mutex> lock(m_);
    if (claimed_[number]) {
      return R::failure(
          {TransferStatus::Unknown, LIBUSB_ERROR_BUSY, "interface " + std::to_string(number) + " is already claimed"});
    }
    claimed_[number] = true;
  }
  int rc = libusb_claim_interface(handle_, number);
  if (rc != LIBUSB_SUCCESS) {
    forget_claim(number);
    return R::failure(host_error(rc));
  }
  libusb_config_descriptor* config = nullptr;
  rc = libusb_get_active_config_descriptor(libusb_get_device(handle_), &config);
  std::optional<std::vector<EndpointDescriptor>> endpoints;
  if (rc == LIBUSB_SUCCESS) {
    endpoints = interface_endpoints(*config, number);
    libusb_free_config_descriptor(config);
  }
  if (!endpoints) {
    libusb_release_interface(handle_, number);
    forget_claim(number);
    if (rc != LIBUSB_SUCCESS) return R::failure(host_error(rc));
    return R::failure({TransferStatus::InvalidArgument, LIBUSB_ERROR_NOT_FOUND,
                       "interface " + std::to_string(number) + " is not in the active configuration"});
  }
  auto self = std::static_pointer_cast<DeviceImpl>(shared_from_this());
  return R::success(std::make_shared<InterfaceImpl>(std::move(self), number, std::move(*endpoints)));
}

void DeviceImpl::forget_claim(uint8_t number) {
  std::lock_guard<std::mutex> lock(m_);
  claimed_[number] = false;
}

Clock::time_point DeviceImpl::return_deadline() const noexcept {
  return deadline_after(lost() ? Duration(kLostDeviceGrace) : Duration(kCancelReturnLimit));
}

bool DeviceImpl::reclaim(TransferSlot& slot, Clock::time_point give_up, const char* what) {
  if (wait_returned(slot, give_up, what)) return true;
  lose(what);
  return false;
}

bool DeviceImpl::clear_to_submit() {
  if (lost()) return false;
  if (gate_->clear() || gate_->wait_clear(return_deadline())) return true;
  lose("USB");
  return false;
}

void DeviceImpl::lose(const char* what) {
  if (lost_.exchange(true)) return;
  registry_.mark_lost(dev_);
  TAVRO_LOG(log::Target::Device, log::Level::Error,
            std::string("a cancelled ") + what +
                " transfer did not return; its buffer stays reserved until it does, and the adapter is unusable "
                "until it is unplugged");
}

TransferOutcome DeviceImpl::control_transfer(const ControlSetup& setup, std::span<uint8_t> data, Duration timeout) {
  if (lost()) return TransferOutcome{TransferStatus::Lost, 0, 0};
  const auto deadline = deadline_after(timeout);
  const bool in = (setup.request_type & LIBUSB_ENDPOINT_IN) != 0;
  if (data.size() < setup.length) return TransferOutcome{TransferStatus::InvalidArgument, 0, 0};

  // Per-call waiter and slot: control requests are rare and may run on several threads at once. Both may go out of
  // scope with the transfer still out: it is parked then (see reclaim), and its callback never reaches them.
  Waiter waiter;
  TransferSlot slot(waiter);
  if (!slot.valid() || !slot.reserve(LIBUSB_CONTROL_SETUP_SIZE + setup.length))
    return outcome_from_error(LIBUSB_ERROR_NO_MEM);
  uint8_t* buf = slot.buffer.get();
  libusb_fill_control_setup(buf, setup.request_type, setup.request, setup.value, setup.index, setup.length);
  if (!in && setup.length > 0) std::memcpy(buf + LIBUSB_CONTROL_SETUP_SIZE, data.data(), setup.length);
  // No libusb time-out (0): ours is enforced by cancelling, so a time-out always ends as Cancelled.
  libusb_fill_control_transfer(slot.transfer, handle_, buf, on_transfer_done, &slot, 0);

  if (!clear_to_submit()) return TransferOutcome{TransferStatus::Lost, 0, 0};
  arm(slot);
  const int rc = libusb_submit_transfer(slot.transfer);
  if (rc != LIBUSB_SUCCESS) return outcome_from_error(rc);
  if (!wait_done(slot, deadline)) {
    // A transfer that completed meanwhile makes the cancellation a no-op; either way it is back once `done` is set.
    cancel(slot);
    // Bounded with state_lock held above us: see wait_returned. A request lost this way fails the device.
    if (!reclaim(slot, return_deadline(), "control")) return TransferOutcome{TransferStatus::Lost, 0, 0};
  }
  // `done` was seen under the waiter's mutex and the callback never writes after that: no lock needed.
  TransferOutcome out = slot.outcome;
  if (in) {
    // The data stage follows the setup packet in the buffer; a short reply is not an error at this level.
    out.actual = std::min<size_t>(out.actual, setup.length);
    if (out.actual > 0) std::memcpy(data.data(), buf + LIBUSB_CONTROL_SETUP_SIZE, out.actual);
  }
  return out;
}

// ---- InterfaceImpl ----

InterfaceImpl::InterfaceImpl(std::shared_ptr<DeviceImpl> device, uint8_t number,
                             std::vector<EndpointDescriptor> endpoints)
    : device_(std::move(device)), number_(number), endpoints_(std::move(endpoints)) {}

InterfaceImpl::~InterfaceImpl() {
  // The kernel would wait for a parked transfer of the interface before releasing it (see DeviceImpl).
  if (!device_->clear_to_submit()) return;
  // Fails harmlessly with NO_DEVICE after an unplug; there is nothing else to undo.
  libusb_release_interface(device_->handle(), number_);
  device_->forget_claim(number_);
}

HostResult<std::unique_ptr<BulkInPipe>> InterfaceImpl::open_bulk_in(uint8_t address) {
  using R = HostResult<std::unique_ptr<BulkInPipe>>;
  auto found = find_bulk_endpoint(endpoints_, address, /*want_in=*/true);
  if (!found.ok()) return R::failure(std::move(found.error));
  return R::success(make_bulk_in_pipe(shared_from_this(), *found.value));
}

HostResult<std::unique_ptr<BulkOutPipe>> InterfaceImpl::open_bulk_out(uint8_t address) {
  using R = HostResult<std::unique_ptr<BulkOutPipe>>;
  auto found = find_bulk_endpoint(endpoints_, address, /*want_in=*/false);
  if (!found.ok()) return R::failure(std::move(found.error));
  const size_t bit = address & 0x0F;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (out_open_[bit]) {
      char text[48];
      std::snprintf(text, sizeof text, "endpoint 0x%02x is already open", address);
      return R::failure({TransferStatus::Unknown, LIBUSB_ERROR_BUSY, text});
    }
    out_open_[bit] = true;
  }
  return R::success(make_bulk_out_pipe(shared_from_this(), *found.value));
}

void InterfaceImpl::release_out(uint8_t address) {
  std::lock_guard<std::mutex> lock(m_);
  out_open_[address & 0x0F] = false;
}

}  // namespace libusb_detail

Backend& libusb_backend() {
  // Leaked on purpose (see the header): static destruction order at exit must not involve USB.
  static Backend* const backend = new libusb_detail::LibusbBackend();
  return *backend;
}

}  // namespace tavro::usb
