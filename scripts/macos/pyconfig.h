/* pyconfig.h for compile-and-link checks of stable-ABI extension modules for macOS (arm64, x86-64, both LP64) on
   another host: only what CPython's public headers consult when Py_LIMITED_API is set. A real macOS build uses the
   interpreter's own headers. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define WITH_THREAD
#define PY_HAVE_THREAD_NATIVE_ID
#define HAVE_PTHREAD_H 1

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 8
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T 4
#define SIZEOF_WCHAR_T 4
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 8
#define HAVE_LONG_LONG 1
#define HAVE_SSIZE_T 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

#define STDC_HEADERS 1
#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_UNISTD_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_STDARG_PROTOTYPES 1

#endif /* Py_CONFIG_H */
