// TavroChannel open and drop, and the managed-transmission frame check.
#include "stream/channel.hpp"

#include "core/log.hpp"
#include "core/protocol.hpp"
#include "stream/bulk.hpp"

namespace tavro {

namespace {
constexpr auto kChannel = log::Target::Channel;
}

Status validate_managed_frame(const CanFrame& f) {
  const bool extended = (f.flags & FRAME_FLAG_EXTENDED) != 0;
  const bool invalid = (f.id & protocol::kIdError) != 0 || f.dlc > 8 || f.channel != 0 ||
                       (f.flags & ~uint8_t(FRAME_FLAG_RTR | FRAME_FLAG_EXTENDED)) != 0 ||
                       (!extended && f.id > 0x7FFu) || (extended && f.id > 0x1FFFFFFFu);
  if (invalid) return DeviceError::invalid_parameter("invalid classic CAN frame for managed TX");
  return Ok{};
}

Result<std::unique_ptr<TavroChannel>> TavroChannel::open(std::shared_ptr<UsbAdapter> adapter,
                                                         const SessionParams& params, bool* endpoint_opened) {
  std::unique_ptr<TavroChannel> ch(new TavroChannel());
  ch->adapter_ = std::move(adapter);

  auto info = read_device_info(*ch->adapter_);
  if (!info) return std::move(info).error();
  ch->info_ = info.value();
  log_channel_connected(ch->info_);

  auto caps = read_capabilities(*ch->adapter_);
  if (!caps) return std::move(caps).error();
  TAVRO_TRY(check_channel_capabilities(caps.value()));  // logs "Clock: ...", refuses clock 0
  ch->clock_hz_ = caps->clock_freq;
  ch->supported_modes_ = caps->ctrlmode_supported;

  // All storage of the receive path is allocated here, before any frame flows.
  auto queue = std::make_shared<RxQueue>(params.rx_queue_capacity);
  ch->worker_ctx_ = std::make_shared<RxWorkerContext>(std::move(queue), params.rx_read_timeout);

  ch->echo_table_ = echo_table_for(ch->adapter_->serial());
  auto generation = ch->echo_table_->begin_generation();
  if (!generation) {
    ch->echo_table_.reset();  // nothing of ours to abandon
    return std::move(generation).error();
  }
  ch->echo_generation_ = generation.value();

  if (endpoint_opened) *endpoint_opened = true;
  clear_out_halt(*ch->adapter_);  // the session's endpoints start clean: 0x81 and 0x83 as their streams open
  auto stream =
      BulkInStream::open(*ch->adapter_, protocol::kEpRxIn, params.bulk_in_transfer_size, params.rx_queue_depth);
  if (!stream) return std::move(stream).error();  // dropping the channel abandons the new generation
  ch->worker_ctx_->handoff.put(std::move(stream).value());

  auto worker = spawn_rx_worker(ch->worker_ctx_);
  if (!worker) return std::move(worker).error();
  ch->worker_ = std::move(worker).value();
  ch->started_ = true;

  TAVRO_LOG(kChannel, log::Level::Debug, "PRESUME_ACK on: Echo RX thread skipped (no echoes emitted)");
  return ch;
}

WorkerThread::Joined TavroChannel::join_worker() {
  WorkerThread w;
  {
    std::lock_guard<std::mutex> lock(worker_mutex_);
    w = std::move(worker_);
  }
  return w.join();
}

TavroChannel::~TavroChannel() {
  if (started_) {
    TAVRO_LOG(kChannel, log::Level::Debug, "Dropping TavroChannel");
    worker_ctx_->stop.request();
    join_worker();
  }
  if (worker_ctx_) {
    // An open that failed before the worker ran leaves the stream in the slot; fence it here.
    (void)release_stream(worker_ctx_->handoff.take());
    worker_ctx_->queue->close(rx_channel_disconnected());
  }
  if (echo_table_) echo_table_->abandon_generation(echo_generation_);
}

}  // namespace tavro
