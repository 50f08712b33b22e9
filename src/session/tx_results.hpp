// The result reader "tavro-tx-results": reads bulk IN endpoint 0x83, matches every legacy echo (10 bytes) or
// explicit result record (12 bytes) to the session's pending slot and completes that ticket. Anything it cannot
// account for is a protocol fault of the whole session: every open ticket becomes uncertain and the reader stops.
// A stall of the endpoint loses no result: its halt is cleared (the adapter's stall policy) and reading goes on.
// Any other read error, or a halt that cannot be cleared, makes the session invalid (TransportFailure).
//
//   ctx = ResultReaderContext(state, result_mode, confirmed); ctx.handoff.put(stream_0x83)
//   reader = spawn_result_reader(ctx)       # thread "tavro-tx-results"
//   ctx.stop.request(); reader.join()       # -> result of releasing the stream: the endpoint-0x83 fence
//
// The reader takes the session state mutex per record (then a ticket's and the echo table's mutex), never the
// transmit lock, so results keep flowing while a transmission waits on the bulk OUT endpoint.
#pragma once

#include <cstdint>
#include <memory>

#include "core/result.hpp"
#include "session/session_state.hpp"
#include "stream/rx_worker.hpp"

namespace tavro {

struct ResultReaderContext {
  ResultReaderContext(std::shared_ptr<SessionState> s, uint32_t mode, bool confirmed_path)
      : state(std::move(s)), result_mode(mode), confirmed(confirmed_path) {}

  size_t record_size() const noexcept { return 10 + 2 * size_t(result_mode); }

  const std::shared_ptr<SessionState> state;
  const uint32_t result_mode;  // 0 legacy echoes, 1 explicit results
  const bool confirmed;        // the session's path mode is Confirmed
  StopSignal stop;
  StreamHandoff handoff;  // the endpoint-0x83 stream until the reader takes it
  // Own frames: a frame the adapter reports sent is also queued here for the receivers (FRAME_FLAG_OWN, the
  // result's timestamp). The queue belongs to the session's channel, which outlives the reader.
  RxQueue* own_frames_queue = nullptr;
  std::atomic<bool> own_frames{false};
  // Set before the session is invalidated when the reader found the adapter unplugged.
  std::atomic<bool> disconnected{false};
};

// Starts "tavro-tx-results". Fails with Internal carrying the operating system's error text as detail.
Result<WorkerThread> spawn_result_reader(const std::shared_ptr<ResultReaderContext>& ctx);

// The reader's body (spawn_result_reader runs it on its thread). Returns the outcome of releasing the stream.
Status run_result_reader(ResultReaderContext& ctx);

// Accounts for one whole record. A Communication error is a protocol failure: the caller logs it, then
// invalidates the session with ProtocolFault (so observers of the tickets find the log line already written) and
// stops reading.
Status process_result_record(ResultReaderContext& ctx, const uint8_t* record);

}  // namespace tavro
