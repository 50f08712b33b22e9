// One client connection of the USB/IP server, on a thread of its own: the handshake (unless the socket was handed
// over already connected), then the URB traffic of the imported adapter until the client closes, the adapter is
// unplugged or the server stops.
#pragma once

#include <memory>

#include "adapter/adapter.hpp"

namespace tavro::sim::usbip {

class UsbipServer;

class Connection {
 public:
  // Owns `fd`. `adapter` is the adapter to serve at once (already claimed on the server), or nullptr to wait
  // for the handshake.
  static std::unique_ptr<Connection> create(UsbipServer& server, int fd, std::shared_ptr<SimAdapter> adapter);
  // Stops the thread, joins it and closes the socket.
  virtual ~Connection() = default;
  // False when the thread could not start.
  virtual bool start() = 0;
  // Ends the connection soon: wakes the thread and breaks a blocked send.
  virtual void stop() noexcept = 0;
  virtual bool finished() const noexcept = 0;
};

}  // namespace tavro::sim::usbip
