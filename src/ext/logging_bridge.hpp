// Forwards the native layers' log records to Python's `logging`, from any thread, and knows when the interpreter
// is going away so that no worker ever takes the interpreter lock during finalisation.
#pragma once

namespace tavro::py {

// Installs the process-wide bridge (once; a later call keeps the existing one) and the exit hook.
// Returns -1 with "Failed to initialize python logging" set when `logging` cannot be imported.
int install_logging_bridge();

// Called from the interpreter's exit hook: first runs the registered shutdown work (closing open handles) with
// the interpreter lock released, then stops forwarding and waits for threads that are inside the bridge.
using ExitWork = void (*)();
void set_exit_work(ExitWork work) noexcept;

// False once interpreter shutdown has begun: native threads must not take the interpreter lock any more.
bool python_available() noexcept;

}  // namespace tavro::py
