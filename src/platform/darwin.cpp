// macOS: a thread can name only itself; the names of all threads come from the Mach task's thread list.
#include <mach/mach.h>
#include <pthread.h>

#include "platform/platform.hpp"

namespace tavro::platform {

void name_current_thread(const ThreadName& name) noexcept { pthread_setname_np(name.text); }

// Not possible here: start_named_thread's threads name themselves.
void name_thread(std::thread&, const ThreadName&) noexcept {}

std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  thread_act_array_t threads = nullptr;
  mach_msg_type_number_t count = 0;
  if (task_threads(mach_task_self(), &threads, &count) != KERN_SUCCESS) return names;
  for (mach_msg_type_number_t i = 0; i < count; ++i) {
    char name[64] = {};
    if (pthread_t t = pthread_from_mach_thread_np(threads[i])) pthread_getname_np(t, name, sizeof name);
    names.emplace_back(name);
    mach_port_deallocate(mach_task_self(), threads[i]);
  }
  vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(threads), count * sizeof(thread_act_t));
  return names;
}

// The scheduler's timers are precise already: nothing to change, nothing to put back.
FineTimers::FineTimers() noexcept { saved_ = 0; }
FineTimers::~FineTimers() = default;

}  // namespace tavro::platform
