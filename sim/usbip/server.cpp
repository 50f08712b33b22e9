// The USB/IP server: the listening socket, its accept thread and the connections it serves.
#include "usbip/server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/platform.hpp"
#include "usbip/connection.hpp"

namespace tavro::sim::usbip {

namespace {

// Connections served at once; more are closed at once.
constexpr size_t kMaxConnections = 64;

}  // namespace

UsbipServer::UsbipServer(SimHub& hub) : hub_(hub) {}

UsbipServer::~UsbipServer() { stop(); }

const char* UsbipServer::unavailable() noexcept { return nullptr; }

int UsbipServer::duplicate_socket(int fd) noexcept { return fcntl(fd, F_DUPFD_CLOEXEC, 0); }

uint16_t UsbipServer::port() const {
  std::lock_guard l(mu_);
  return port_;
}

int UsbipServer::listen(const std::string& host, uint16_t port, std::string& error) {
  std::lock_guard l(mu_);
  if (listen_fd_ >= 0) {
    error = "already listening on port " + std::to_string(port_);
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    error = "not an IPv4 address: " + host;
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  auto fail = [&](const char* what) {
    error = std::string(what) + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    if (wake >= 0) ::close(wake);
    return -1;
  };
  if (fd < 0 || wake < 0) return fail("socket");
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) return fail("bind");
  if (::listen(fd, 16) < 0) return fail("listen");
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) return fail("getsockname");
  try {
    accept_thread_ = std::thread([this, fd, wake] { accept_loop(fd, wake); });
  } catch (const std::system_error&) {
    return fail("thread");
  }
  listen_fd_ = fd;
  wake_fd_ = wake;
  port_ = ntohs(addr.sin_port);
  return port_;
}

void UsbipServer::accept_loop(int fd, int wake) {
  platform::name_current_thread("tavro-usbip");
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
    if (p[1].revents) break;
    if (!(p[0].revents & POLLIN)) continue;
    const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    const int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    start_connection(c, nullptr);
  }
}

bool UsbipServer::start_connection(int fd, std::shared_ptr<SimAdapter> adapter) {
  std::vector<std::unique_ptr<Connection>> finished;
  bool started;
  {
    std::lock_guard l(mu_);
    finished = take_finished_locked();
    const uint64_t served = adapter ? adapter->id() : 0;
    std::unique_ptr<Connection> c;
    if (connections_.size() < kMaxConnections)
      c = Connection::create(*this, fd, std::move(adapter));
    else
      ::close(fd);
    started = c && c->start();
    if (started) {
      connections_.push_back(std::move(c));
    } else {
      if (served) served_.erase(served);  // the claim taken by serve()
      finished.push_back(std::move(c));   // closes its socket
    }
  }
  finished.clear();  // joined here, with no lock held
  return started;
}

std::vector<std::unique_ptr<Connection>> UsbipServer::take_finished_locked() {
  std::vector<std::unique_ptr<Connection>> done;
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->finished()) {
      done.push_back(std::move(*it));
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
  return done;
}

bool UsbipServer::serve(std::shared_ptr<SimAdapter> adapter, int fd) {
  if (!adapter || !adapter->plugged() || !claim(adapter->id())) {
    ::close(fd);
    return false;
  }
  return start_connection(fd, std::move(adapter));
}

bool UsbipServer::claim(uint64_t adapter_id) {
  std::lock_guard l(mu_);
  return served_.insert(adapter_id).second;
}

void UsbipServer::release(uint64_t adapter_id) {
  std::lock_guard l(mu_);
  served_.erase(adapter_id);
}

void UsbipServer::stop() {
  std::thread accept;
  int fd, wake;
  std::vector<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard l(mu_);
    accept = std::move(accept_thread_);
    fd = std::exchange(listen_fd_, -1);
    wake = std::exchange(wake_fd_, -1);
    port_ = 0;
  }
  if (wake >= 0) {
    const uint64_t one = 1;
    (void)!::write(wake, &one, sizeof one);
  }
  if (accept.joinable()) accept.join();
  if (fd >= 0) ::close(fd);
  if (wake >= 0) ::close(wake);
  {
    std::lock_guard l(mu_);
    connections.swap(connections_);
  }
  for (auto& c : connections) c->stop();
  connections.clear();  // joins each
}

}  // namespace tavro::sim::usbip
