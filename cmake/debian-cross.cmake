# Cross build with Debian's cross compiler against a Debian root of the target architecture (scripts/debian-root.sh),
# whose binaries (the C++ tests, at build time too) run through qemu-user. From the environment, so that CMake's
# own test projects see the same:
#   TAVRO_CROSS_TRIPLET   e.g. aarch64-linux-gnu (the compiler is <triplet>-g++)
#   TAVRO_CROSS_ROOT      the root: sysroot and the emulator's prefix
#   TAVRO_CROSS_QEMU      the qemu-user binary, e.g. qemu-aarch64-static
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "$ENV{TAVRO_CROSS_TRIPLET}")
set(CMAKE_CXX_COMPILER $ENV{TAVRO_CROSS_TRIPLET}-g++)
set(CMAKE_SYSROOT $ENV{TAVRO_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH $ENV{TAVRO_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR $ENV{TAVRO_CROSS_QEMU} -L $ENV{TAVRO_CROSS_ROOT})
set(ENV{PKG_CONFIG_SYSROOT_DIR} $ENV{TAVRO_CROSS_ROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    $ENV{TAVRO_CROSS_ROOT}/usr/lib/$ENV{TAVRO_CROSS_TRIPLET}/pkgconfig:$ENV{TAVRO_CROSS_ROOT}/usr/share/pkgconfig)
