// Stands in for glibc's header (2.32 and later) in a wheel build: libstdc++ asks __libc_single_threaded whether
// it may skip atomic reference counting. The wheel's own copy (single_threaded.c) always says no, which is
// right for a module loaded into a threaded interpreter and costs one atomic operation where it is asked.
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
extern char __libc_single_threaded;
#ifdef __cplusplus
}
#endif
