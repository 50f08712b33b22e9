// TavroChannel: the data path of one session on an opened adapter: the description readback, the receive queue
// fed by "tavro-rx", and the adapter's echo table generation. Also the frame check of managed transmission.
//
//   ch = TavroChannel.open(adapter, params)   # reads info + capabilities, new echo generation, starts tavro-rx
//   ch.queue().pop(deadline)                  # receivers
//   ch.request_stop(); ch.join_worker()       # session shutdown: the endpoint-0x81 fence
//   del ch                                    # stops/joins the worker if still running, abandons its echo slots
//
// The unconfirmed transmit operation lives on the session (BusSession::send_unconfirmed), which owns the
// transmit lock it needs. A channel lives exactly as long as its session.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/result.hpp"
#include "device/adapter.hpp"
#include "device/records.hpp"
#include "echo/echo_table.hpp"
#include "stream/rx_queue.hpp"
#include "stream/rx_worker.hpp"

namespace tavro {

// Fixed parameters of a session's data path (the handle lifecycle passes the defaults).
struct SessionParams {
  size_t bulk_in_transfer_size = 1024;  // receive stream and result stream
  // Bounds the receive worker's reads only while an own frame is held back; otherwise it waits for data.
  std::chrono::nanoseconds rx_read_timeout = std::chrono::milliseconds(2);
  size_t rx_queue_capacity = RxQueue::kCapacity;
  size_t rx_queue_depth = 4;      // transfers kept queued on 0x81
  size_t result_queue_depth = 2;  // transfers kept queued on 0x83
};

// Checks a frame for managed transmission: classic CAN, channel 0, only the RTR/extended flags, dlc <= 8, no
// error bit, identifier within 11 bits unless extended. InvalidParameter
// "invalid classic CAN frame for managed TX" otherwise.
Status validate_managed_frame(const CanFrame& frame);

class TavroChannel {
 public:
  // `endpoint_opened` (optional) is set when the receive endpoint is about to be opened.
  static Result<std::unique_ptr<TavroChannel>> open(std::shared_ptr<UsbAdapter> adapter, const SessionParams& params,
                                                    bool* endpoint_opened = nullptr);
  ~TavroChannel();
  TavroChannel(const TavroChannel&) = delete;
  TavroChannel& operator=(const TavroChannel&) = delete;

  UsbAdapter& adapter() noexcept { return *adapter_; }
  const std::shared_ptr<UsbAdapter>& adapter_ref() const noexcept { return adapter_; }
  const DeviceInfoRecord& device_info() const noexcept { return info_; }
  uint32_t clock_hz() const noexcept { return clock_hz_; }
  uint32_t supported_modes() const noexcept { return supported_modes_; }

  RxQueue& queue() noexcept { return *worker_ctx_->queue; }
  RxWorkerContext& worker_context() noexcept { return *worker_ctx_; }
  const RxWorkerContext& worker_context() const noexcept { return *worker_ctx_; }
  bool disconnected() const noexcept { return worker_ctx_->disconnected.load(std::memory_order_acquire); }

  const std::shared_ptr<EchoTable>& echo_table() const noexcept { return echo_table_; }
  uint64_t echo_generation() const noexcept { return echo_generation_; }

  // Sets the worker's stop flag and wakes it.
  void request_stop() noexcept { worker_ctx_->stop.request(); }
  // Joins "tavro-rx" (call request_stop first, and hold no lock the worker could need). The first call returns
  // the worker's outcome; later calls return an empty (successful) Joined.
  WorkerThread::Joined join_worker();

 private:
  TavroChannel() = default;

  std::shared_ptr<UsbAdapter> adapter_;
  DeviceInfoRecord info_;
  uint32_t clock_hz_ = 0;
  uint32_t supported_modes_ = 0;
  std::shared_ptr<RxWorkerContext> worker_ctx_;
  std::mutex worker_mutex_;  // guards moving the thread handle out; never held across the join
  WorkerThread worker_;
  bool started_ = false;  // the worker was started (a failed open never had one)
  std::shared_ptr<EchoTable> echo_table_;
  uint64_t echo_generation_ = 0;
};

}  // namespace tavro
