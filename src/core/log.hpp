// Logging facade of the native layers: target, level, source location and text, sent to one process-wide sink.
// The enabled check is cheap (one atomic load once the sink has answered), so disabled Debug lines cost nothing
// on hot paths. The Python logging bridge is the only sink the product installs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavro::log {

enum class Target : uint8_t { Device = 0, Channel = 1, TxSession = 2 };
inline constexpr int kTargetCount = 3;

enum class Level : uint8_t { Error = 0, Warn = 1, Info = 2, Debug = 3, Trace = 4 };
inline constexpr int kLevelCount = 5;

// Module path of the emitting source, e.g. "tavro_usb::device".
const char* target_name(Target t) noexcept;

class Sink {
 public:
  virtual ~Sink() = default;
  // Whether records of this level would be handled for this target. Called at most once per (target, level)
  // while the answer is cacheable; may be called from any thread.
  virtual bool enabled(Target target, Level level) noexcept = 0;
  // Deliver one record. Never throws; a failure drops the record.
  virtual void write(Target target, Level level, const char* file, int line, std::string_view text) noexcept = 0;
};

// Installs the process-wide sink; returns false (and keeps the existing one) if one is installed already.
// The sink must live until process exit.
bool install_sink(Sink* sink) noexcept;
Sink* current_sink() noexcept;
// Forget cached enabled answers (tests that change levels use this through the bridge).
void reset_enabled_cache() noexcept;

bool enabled(Target target, Level level) noexcept;
void write(Target target, Level level, const char* file, int line, std::string_view text) noexcept;

}  // namespace tavro::log

// Formats and writes only when enabled; the message expression is not evaluated otherwise.
#define TAVRO_LOG(target, level, message_expr)                                    \
  do {                                                                            \
    if (::tavro::log::enabled((target), (level)))                                 \
      ::tavro::log::write((target), (level), __FILE__, __LINE__, (message_expr)); \
  } while (0)
