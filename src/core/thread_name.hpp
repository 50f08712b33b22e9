// Thread names ("tavro-rx", "tavro-tx-results", ...): the one place that knows how each platform sets them.
//   name_thread(t, "tavro-rx")          # the creator names a started std::thread, so the name is set on return
//   name_current_thread("tavro-usb")    # a thread names itself
// Names are a diagnostic (debuggers, top -H, /proc/<pid>/task/*/comm); where a platform cannot set one, the thread
// simply keeps its default name.
#pragma once

#include <algorithm>
#include <cstring>
#include <string_view>
#include <thread>

#if defined(__linux__) || defined(__APPLE__) || defined(__FreeBSD__)
#include <pthread.h>
#endif

namespace tavro {

// Linux keeps 15 characters and refuses longer names outright, so names are cut rather than lost.
struct ThreadName {
  explicit ThreadName(std::string_view name) noexcept {
    const size_t n = std::min(name.size(), sizeof text - 1);
    std::memcpy(text, name.data(), n);
    text[n] = '\0';
  }
  char text[16];
};

inline void name_current_thread(std::string_view name) noexcept {
  const ThreadName cut(name);
#if defined(__linux__) || defined(__FreeBSD__)
  pthread_setname_np(pthread_self(), cut.text);
#elif defined(__APPLE__)
  pthread_setname_np(cut.text);  // macOS names only the calling thread
#else
  (void)cut;  // Windows would need SetThreadDescription; not built there yet
#endif
}

inline void name_thread(std::thread& t, std::string_view name) noexcept {
#if defined(__linux__) || defined(__FreeBSD__)
  const ThreadName cut(name);
  pthread_setname_np(t.native_handle(), cut.text);
#else
  // macOS (and Windows before SetThreadDescription is wired) cannot name another thread: left unnamed there.
  (void)t;
  (void)name;
#endif
}

}  // namespace tavro
