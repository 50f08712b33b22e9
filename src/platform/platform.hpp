// The operating-system calls that differ between Linux, macOS and Windows, below every other layer. Each platform
// has one implementation file (linux.cpp + posix.cpp, darwin.cpp + posix.cpp, windows.cpp) that CMake picks; the
// rest of the driver calls only what this header declares.
//
//   t = start_named_thread("tavro-rx", body)   # a std::thread that carries the name once this returns (*)
//   name_current_thread("tavro-log")           # a thread names itself
//   thread_names()                             # every thread's name as the OS shows it (tests, diagnostics)
//   environment("TAVRO_VALID_MODELS")          # the process environment, as Python's os.environ writes it
//   interpreter_symbol(&PyLong_FromLong, "Py_IsFinalizing")
//   park_thread_forever()                      # a thread that may not return sleeps until the process exits
//   FineTimers scope;                          # this thread's timed waits end close to their deadline
//
// (*) macOS lets a thread name only itself: there the new thread sets its name as its first step, so the name may
// appear a moment after start_named_thread returns.
#pragma once

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace tavro::platform {

// --- Thread names -------------------------------------------------------------------------------------------------

// Names are cut to the 15 characters that Linux keeps (it refuses longer ones outright), on every platform, so that
// a thread has the same name everywhere: "tavro-tx-results" shows as "tavro-tx-result".
inline constexpr size_t kThreadNameMax = 15;

struct ThreadName {
  explicit ThreadName(std::string_view name) noexcept {
    const size_t n = std::min(name.size(), kThreadNameMax);
    std::memcpy(text, name.data(), n);
    text[n] = '\0';
  }
  char text[kThreadNameMax + 1]{};
};

void name_current_thread(const ThreadName& name) noexcept;
inline void name_current_thread(std::string_view name) noexcept { name_current_thread(ThreadName(name)); }

// Names another, running thread where the OS allows it (Linux, Windows); does nothing on macOS.
void name_thread(std::thread& t, const ThreadName& name) noexcept;

// Starts `body` on a new thread named `name`. Throws std::system_error as std::thread does.
template <typename F>
std::thread start_named_thread(std::string_view name, F&& body) {
  const ThreadName cut(name);
  std::thread t([cut, body = std::forward<F>(body)]() mutable {
    name_current_thread(cut);  // the only way on macOS; elsewhere the creator has named it already or will
    body();
  });
  name_thread(t, cut);
  return t;
}

// The names of the process's threads (unnamed ones as the OS shows them, possibly empty). For tests and
// diagnostics: slow (it asks the OS about every thread), never on a driver path.
std::vector<std::string> thread_names();

// --- Environment ----------------------------------------------------------------------------------------------------

// The value of an environment variable, nullopt when unset. On Windows it is read from the process's environment
// block, where the interpreter's os.environ writes go, not from a C runtime's copy of it (the module's runtime
// may be another than the interpreter's, and each keeps its own).
std::optional<std::string> environment(const char* name);
// Sets (value non-null) or removes (null) a variable; for tests. False when the OS refuses.
bool set_environment(const char* name, const char* value) noexcept;

// --- The host interpreter -----------------------------------------------------------------------------------------

// Looks up an exported function of the interpreter that the stable ABI does not offer. `anchor` is the address of
// a function the interpreter does export (say &PyLong_FromLong): on Windows the symbol is looked up in the module
// that holds it (python3XY.dll); on Linux and macOS in the process's global scope. nullptr when absent.
void* interpreter_symbol(const void* anchor, const char* name) noexcept;

// --- Threads that must not return -----------------------------------------------------------------------------------

// The calling thread sleeps until the process exits. It must hold no lock that another thread may want.
[[noreturn]] void park_thread_forever() noexcept;

// --- Timer precision ------------------------------------------------------------------------------------------------

// While it lives, the calling thread's timed waits end close to their deadlines (a simulated CAN frame lasts about
// 100 us at 1 Mbit/s). Linux: this thread's timer slack goes from 50 us to 1 us. Windows: the process's timer period
// is 1 ms instead of up to 15.6 ms while any scope lives. macOS: nothing to do.
class FineTimers {
 public:
  FineTimers() noexcept;
  ~FineTimers();
  FineTimers(const FineTimers&) = delete;
  FineTimers& operator=(const FineTimers&) = delete;

 private:
  long saved_ = -1;  // what the platform had before, where it must be put back
};

}  // namespace tavro::platform

// A forced unwind (glibc ending a thread with pthread_exit or pthread_cancel, as CPython does with a thread that
// takes the interpreter lock during finalisation) must pass through a catch-all handler: libstdc++ models it as
// the exception abi::__forced_unwind, which a `catch (...)` that does not rethrow would stop (the process then
// aborts). Other C++ libraries have no such type, and their platforms end threads without unwinding. Put this
// first in a handler chain that ends in `catch (...)`.
#if defined(__GLIBCXX__)
#define TAVRO_PASS_FORCED_UNWIND  \
  catch (abi::__forced_unwind&) { \
    throw;                        \
  }
#else
#define TAVRO_PASS_FORCED_UNWIND
#endif
