// The one include of Python.h: pins the stable ABI for CPython 3.10 before anything else is seen.
#pragma once

#ifndef Py_LIMITED_API
#error "the extension modules are built against the stable ABI only: define Py_LIMITED_API=0x030A0000"
#elif Py_LIMITED_API != 0x030A0000
#error "the extension modules target the CPython 3.10 stable ABI"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
