/* pyconfig.h for stable-ABI extension modules of 64-bit Windows CPython, cross-compiled with mingw-w64: only what
   CPython's public headers consult when Py_LIMITED_API is set. An official build's own pyconfig.h says the same
   for these names; its other settings describe how the interpreter itself was built and do not reach the limited
   API. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PY_HAVE_THREAD_NATIVE_ID

/* The interpreter is a DLL: API calls and data are __declspec(dllimport), PyInit_* is __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64 */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

#define STDC_HEADERS 1
#define HAVE_WCHAR_H 1
#define HAVE_STDARG_PROTOTYPES 1

#endif /* Py_CONFIG_H */
