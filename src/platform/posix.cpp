// What Linux and macOS share: the environment, the interpreter's symbols in the global scope, parking a thread.
#include "platform/platform.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

namespace tavro::platform {

std::optional<std::string> environment(const char* name) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is the process's; callers read it once, at start
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

bool set_environment(const char* name, const char* value) noexcept {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): for tests and tools, before any driver thread starts
  return (value ? ::setenv(name, value, 1) : ::unsetenv(name)) == 0;
}

// The interpreter's symbols are global: the python executable exports them, or libpython is loaded with them.
void* interpreter_symbol(const void*, const char* name) noexcept { return dlsym(RTLD_DEFAULT, name); }

void park_thread_forever() noexcept {
  for (;;) pause();
}

}  // namespace tavro::platform
