// Forwards the native layers' log records to Python's `logging` without ever running Python code where a driver
// lock is held or on a thread that another thread may join, and knows when the interpreter is going away.
//
//   record logged on a Python caller's thread  -> kept for that thread, handed to Python as the method returns
//   record logged on any other thread          -> bounded queue -> "tavro-log" hands it to Python
//
// Every record of one thread reaches Python in the order it was logged; what a full queue drops is counted and
// reported in one Warning.
#pragma once

namespace tavro::py {

// Installs the process-wide bridge (once; a later call keeps the existing one) and the exit hook.
// Returns -1 with "Failed to initialize python logging" set when `logging` cannot be imported.
int install_logging_bridge();

// Reads the levels of the driver's Python loggers into the facade's cache (interpreter lock held). Called when a
// handle is opened, so that the levels a program configured before that take effect, and nothing earlier (an
// import, list_devices()) freezes them.
void refresh_log_levels();

// Called from the interpreter's exit hook: first runs the registered shutdown work (closing open handles) with
// the interpreter lock released, then delivers what is queued and stops forwarding.
using ExitWork = void (*)();
void set_exit_work(ExitWork work) noexcept;

// False once the exit hook has finished: nothing may be handed to Python any more.
bool python_available() noexcept;

// True on a thread that must not take the interpreter lock back: the interpreter is finalising (and the thread
// is not the one that ran the exit hook), so CPython would end the thread with a forced unwind. The check and the
// taking are not atomic: a forced unwind may still happen, and our frames on that path let it pass.
bool must_park() noexcept;
// Set by the release scope while it takes the interpreter lock back: a forced unwind that starts there must not
// make the call scope talk to Python on its way out.
void set_retaking(bool on) noexcept;
// Never returns: the thread sleeps until the process exits. It holds no lock of ours when it gets here.
[[noreturn]] void park_forever() noexcept;

// Marks the calling thread as a Python caller for its scope (every method wrapper opens one). What the native
// layers log on this thread meanwhile is kept for it and handed to Python when the scope ends, with the
// interpreter lock held, no driver lock held, and the pending exception (the method's result) left untouched.
class CallScope {
 public:
  CallScope() noexcept;
  // noexcept(false): a log handler that blocks may be where CPython ends a daemon thread at exit.
  ~CallScope() noexcept(false);
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

}  // namespace tavro::py
