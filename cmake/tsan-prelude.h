// Forced into every translation unit of the ThreadSanitizer build, before anything else.
// libstdc++ implements std::timed_mutex::try_lock_until with pthread_mutex_clocklock, which the TSan runtimes of
// GCC 12 and clang 14 do not intercept: TSan then never sees the lock taken and reports "unlock of an unlocked
// mutex". Without the macro libstdc++ falls back to pthread_mutex_timedlock, which TSan does intercept.
#pragma once
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
