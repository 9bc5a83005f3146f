# Cross build for 64-bit ARM with Debian's cross compiler, against the arm64
# libraries of a multiarch system (dpkg --add-architecture arm64; the -dev
# packages as :arm64). scripts/cross-arm64.sh installs both and uses this
# file; the tests run through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VEXA_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VEXA_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VEXA_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VEXA_CROSS_TRIPLET})

# Multiarch: the arm64 libraries live under / in lib/aarch64-linux-gnu, the
# cross C library under /usr/aarch64-linux-gnu. Libraries, headers and CMake
# packages come from there only; programs (Qt's moc and rcc, pkg-config) are
# the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${VEXA_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_PATH /usr/lib/${VEXA_CROSS_TRIPLET} /lib/${VEXA_CROSS_TRIPLET})

# pkg-config reads the arm64 .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VEXA_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs (ctest, try_run) run under qemu-user. The multiarch root
# gives the arm64 C library that matches the arm64 Qt and codec libraries
# (libc6:arm64); VEXA_QEMU_LD_PREFIX chooses another, e.g.
# /usr/aarch64-linux-gnu for the cross compiler's own.
if(NOT DEFINED VEXA_QEMU_LD_PREFIX)
  set(VEXA_QEMU_LD_PREFIX /)
endif()
find_program(VEXA_QEMU_AARCH64 qemu-aarch64)
if(VEXA_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXA_QEMU_AARCH64} -L ${VEXA_QEMU_LD_PREFIX})
endif()
