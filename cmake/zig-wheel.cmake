# Toolchain of the Linux wheels (scripts/build-wheel.sh). zig's clang compiles for <arch>-linux-gnu.<version>
# against that glibc version's headers and symbol versions, so the modules need nothing newer from the system;
# GCC 12's libstdc++ (from a Debian root of the target architecture, the same library the tests run with) is
# linked in statically and hidden, and the system's libgcc_s unwinds, as it does for every C++ program: glibc ends
# a thread that CPython stops at exit with a forced unwind through libgcc_s, which must meet our frames with the
# unwinder they were made for. From the environment, so that CMake's own test projects see the same:
#   TAVRO_WHEEL_KIT      bin/c++, bin/ar, bin/ranlib (zig with the target), single_threaded.o, python/include
#                        (CPython's headers with the target's pyconfig.h), libusb/ (built for the target)
#   TAVRO_WHEEL_ROOT     the Debian root of the target architecture (scripts/debian-root.sh)
#   TAVRO_WHEEL_TRIPLET  Debian's name of the target (aarch64-linux-gnu)
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "$ENV{TAVRO_WHEEL_TRIPLET}")
set(_kit $ENV{TAVRO_WHEEL_KIT})
set(_root $ENV{TAVRO_WHEEL_ROOT})
set(_triplet $ENV{TAVRO_WHEEL_TRIPLET})
set(_compat ${CMAKE_CURRENT_LIST_DIR}/glibc-compat)
set(CMAKE_CXX_COMPILER ${_kit}/bin/c++)
set(CMAKE_AR ${_kit}/bin/ar)
set(CMAKE_RANLIB ${_kit}/bin/ranlib)
# libstdc++'s headers before zig's glibc headers (-I comes before zig's -isystem; libstdc++'s headers mark
# themselves as system headers).
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -I${_compat} -I${_root}/usr/include/c++/12 -I${_root}/usr/include/${_triplet}/c++/12 \
-include ${_compat}/prelude.h")
set(CMAKE_CXX_STANDARD_LIBRARIES
    "${_root}/usr/lib/gcc/${_triplet}/12/libstdc++.a ${_kit}/single_threaded.o ${_root}/lib/${_triplet}/libgcc_s.so.1")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-nostdlib++")
endforeach()
# The root's libgcc_s asks for a newer glibc than the target's; at run time the target's own libgcc_s is loaded.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--allow-shlib-undefined")
# Stripped by the linker (the host's strip knows only its own architecture).
# Stripped by the linker (the host's strip knows only its own architecture). clang refers to __cxa_pure_virtual
# weakly, which would leave it out of the static library's pick: a pure virtual call then aborts with its message.
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT
       " -Wl,--version-script=${_compat}/exports.map -s -Wl,-u,__cxa_pure_virtual")
set(ENV{PKG_CONFIG_LIBDIR} ${_kit}/libusb/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(CMAKE_FIND_ROOT_PATH ${_kit})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
