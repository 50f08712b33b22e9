// Fixed-capacity byte FIFO for the firmware's bulk IN queues: records are appended whole and read out at any byte
// boundary, the way a USB controller drains a packet buffer. No allocation after construction.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace tavro::sim {

class ByteRing {
 public:
  explicit ByteRing(size_t capacity = 0) : buf_(capacity) {}

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return buf_.size(); }
  size_t space() const noexcept { return buf_.size() - size_; }
  bool empty() const noexcept { return size_ == 0; }
  void clear() noexcept { head_ = size_ = 0; }

  // Keeps the contents; only for the control API (allocates).
  void grow_to(size_t capacity) {
    if (capacity <= buf_.size()) return;
    std::vector<uint8_t> next(capacity);
    const size_t n = size_;
    pop(std::span<uint8_t>(next.data(), n));
    buf_.swap(next);
    head_ = 0;
    size_ = n;
  }

  // All or nothing: false when the bytes do not fit.
  bool push(std::span<const uint8_t> bytes) noexcept {
    if (bytes.size() > space()) return false;
    if (bytes.empty()) return true;  // memcpy must not see the null data pointer of an empty span
    size_t tail = (head_ + size_) % buf_.size();
    size_t first = std::min(bytes.size(), buf_.size() - tail);
    std::memcpy(buf_.data() + tail, bytes.data(), first);
    std::memcpy(buf_.data(), bytes.data() + first, bytes.size() - first);
    size_ += bytes.size();
    return true;
  }

  // Moves up to dst.size() bytes out; returns how many.
  size_t pop(std::span<uint8_t> dst) noexcept {
    const size_t n = std::min(dst.size(), size_);
    if (n == 0) return 0;
    size_t first = std::min(n, buf_.size() - head_);
    std::memcpy(dst.data(), buf_.data() + head_, first);
    std::memcpy(dst.data() + first, buf_.data(), n - first);
    head_ = (head_ + n) % buf_.size();
    size_ -= n;
    if (size_ == 0) head_ = 0;
    return n;
  }

 private:
  std::vector<uint8_t> buf_;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace tavro::sim
