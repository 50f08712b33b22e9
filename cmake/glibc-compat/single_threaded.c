/* The definition that glibc 2.32 and later export, for libstdc++'s static library and the modules (see
   sys/single_threaded.h). Hidden: the module's own, whatever the process's glibc has. */
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
