// Forced into every C++ file of a wheel build (cmake/zig-wheel.cmake), before anything else. libstdc++'s headers
// come from a GCC built against glibc 2.36, and its configuration assumes that glibc's functions: without these
// macros the timed waits and locks use the calls that every glibc has (pthread_cond_timedwait and
// pthread_mutex_timedlock on the system clock) instead of their clock-choosing variants from glibc 2.30.
#pragma once
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
#undef _GLIBCXX_USE_PTHREAD_RWLOCK_CLOCKLOCK
