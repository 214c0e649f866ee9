# Cross build for the board: 32-bit ARM hard-float Linux, Debian's arm-linux-gnueabihf compilers.
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
# Libraries come from Debian's armhf multiarch packages (libjson-c-dev:armhf, libgtest-dev:armhf)
# under /usr/lib/arm-linux-gnueabihf, next to the armhf libc6 they pull in; the compilers' own
# runtimes from the cross packages under /usr/arm-linux-gnueabihf. Test programs run under
# qemu-arm-static, so ctest works unchanged.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(OSL_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${OSL_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${OSL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${OSL_CROSS_TRIPLE}-g++)

# Multiarch layout: the armhf libraries live in the host's own tree, next to the amd64 ones, so
# there is no separate sysroot to confine the search to. CMAKE_LIBRARY_ARCHITECTURE above makes
# find_library and find_package look in the lib/arm-linux-gnueabihf directories first.
# Programs (the emulator, strip, readelf, dpkg) are host programs.
set(CMAKE_FIND_ROOT_PATH /usr/${OSL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must see only armhf .pc files (json-c's libdir differs per architecture).
# The toolchain file is read again on every configure run, so the setting holds for re-runs too.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${OSL_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# C++ programs built for the board (tests, the simulator) carry the C++ runtime inside, so they
# need only libc (and json-c) there and under emulation. The tool and the layer use no C++ runtime.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++")

# Test programs (ctest, gtest_discover_tests) run through user-mode qemu. The emulated loader and
# libc must come from one glibc build: Debian's armhf multiarch libc6 (installed with
# libjson-c-dev:armhf, in /lib/arm-linux-gnueabihf) is used as is. Only without it does the
# emulator fall back to the cross runtime in /usr/arm-linux-gnueabihf; there the loader would
# otherwise pick up a multiarch libc of another build and crash in pthread_create.
find_program(OSL_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(OSL_QEMU_ARM)
  if(EXISTS /lib/ld-linux-armhf.so.3)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${OSL_QEMU_ARM})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${OSL_QEMU_ARM} -L /usr/${OSL_CROSS_TRIPLE})
  endif()
endif()

# Installing into /usr (as the Debian package does): use Debian's multiarch library directory,
# which GNUInstallDirs picks natively but not in a cross build.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  set(CMAKE_INSTALL_LIBDIR lib/${OSL_CROSS_TRIPLE} CACHE PATH "Object code libraries (lib)")
endif()
