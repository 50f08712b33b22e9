// USB/IP server for the simulated adapters (the kernel's USB/IP protocol): each plugged adapter is one exported USB
// device whose control requests and bulk transfers reach its firmware model through the same entry points as the
// in-process seam (sim/adapter/adapter.hpp), so faults, records and the shared CAN bus are the same on both paths.
//
//   server = UsbipServer(hub)
//   port = server.listen("127.0.0.1", 0)   # OP_REQ_DEVLIST / OP_REQ_IMPORT, then the imported device's URBs
//   server.serve(adapter, fd)              # a connected stream socket handed to vhci-hcd by the caller
//   server.stop()                          # closes every connection, joins every thread
//
// How the device answers: standard requests (descriptors, configuration, interface, halt clearing, status) come
// from the device's USB core here; vendor requests go to the firmware. Bulk IN URBs queue per endpoint and complete
// when the firmware has data (as a device that NAKs until then), each with what a firmware packet run would carry.
// Faults map onto USB: stall -> -EPIPE, a request that is never answered stays pending until the host unlinks it,
// a disconnect (or any unplug) closes the connection, delays and short replies as they are, a reply longer than
// the request is babble (-EOVERFLOW). Not expressible here: faults of host operations (enumerate, open, claim,
// endpoint open happen in the host's stack) and OS error codes (the host library maps statuses onto its own classes);
// tavro_sim.USB_PATH_UNSUPPORTED_FAULTS lists them for tests.
//
// Threads: one accept thread ("tavro-usbip") and one per connection ("tavro-usbip-dev"); they take the adapter's
// locks only through its entry points and never run Python. stop() joins them all with no lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "adapter/hub.hpp"

namespace tavro::sim::usbip {

class Connection;

class UsbipServer {
 public:
  explicit UsbipServer(SimHub& hub);
  ~UsbipServer();
  UsbipServer(const UsbipServer&) = delete;
  UsbipServer& operator=(const UsbipServer&) = delete;

  // Listens on host:port (IPv4 address text; port 0 picks a free one) and returns the bound port, or -1 with
  // `error` set. Fails while already listening.
  int listen(const std::string& host, uint16_t port, std::string& error);
  // The bound port while listening, else 0.
  uint16_t port() const;
  // Serves `adapter` on a connected stream socket (takes ownership of `fd`). False (fd closed) when the adapter is
  // unplugged or already served on another connection.
  bool serve(std::shared_ptr<SimAdapter> adapter, int fd);
  // Stops listening, closes every connection and joins every thread. The server can listen again afterwards.
  void stop();

  // Why this platform has no server (it serves a Linux kernel's vhci-hcd), or nullptr where it has one. Without
  // one, listen() fails with this text and serve() refuses.
  static const char* unavailable() noexcept;
  // A close-on-exec duplicate of a socket that the caller keeps, for serve(); -1 (errno set) on failure.
  static int duplicate_socket(int fd) noexcept;

  // The adapter's USB/IP identity: bus id text, devid (busnum << 16 | devnum) and kernel speed code.
  static constexpr uint32_t kBusnum = 1;
  static std::string busid(const SimAdapter& adapter);
  static uint32_t devid(const SimAdapter& adapter);
  static uint32_t speed(SimAdapter& adapter);

  // --- used by the connections ---
  SimHub& hub() noexcept { return hub_; }
  // One connection per adapter at a time: an import of a served adapter is refused.
  bool claim(uint64_t adapter_id);
  void release(uint64_t adapter_id);

 private:
  void accept_loop(int fd, int wake);
  // False (fd closed) when the connection limit is reached or no thread could start.
  bool start_connection(int fd, std::shared_ptr<SimAdapter> adapter);
  // Joins connections whose thread has ended. Needs mu_.
  std::vector<std::unique_ptr<Connection>> take_finished_locked();

  SimHub& hub_;
  mutable std::mutex mu_;
  int listen_fd_ = -1;  // guarded by mu_
  int wake_fd_ = -1;    // eventfd that ends the accept loop; guarded by mu_
  uint16_t port_ = 0;   // guarded by mu_
  std::thread accept_thread_;
  std::vector<std::unique_ptr<Connection>> connections_;  // guarded by mu_
  std::set<uint64_t> served_;                             // guarded by mu_
};

}  // namespace tavro::sim::usbip
