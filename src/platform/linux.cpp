// Linux: thread names through pthreads and /proc, timer slack through prctl.
#include <dirent.h>
#include <pthread.h>
#include <sys/prctl.h>

#include <fstream>

#include "platform/platform.hpp"

namespace tavro::platform {

void name_current_thread(const ThreadName& name) noexcept { pthread_setname_np(pthread_self(), name.text); }

void name_thread(std::thread& t, const ThreadName& name) noexcept { pthread_setname_np(t.native_handle(), name.text); }

std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return names;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the stream is this call's own; glibc's readdir is safe for that
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(std::move(name));  // a thread that ended meanwhile is skipped
  }
  closedir(dir);
  return names;
}

// The slack is the calling thread's own (threads it starts inherit it).
FineTimers::FineTimers() noexcept : saved_(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
}

FineTimers::~FineTimers() {
  if (saved_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_), 0, 0, 0);
}

}  // namespace tavro::platform
