# Debian packages of wanradio and the osl layer: `cpack -G DEB` in a configured build tree gives
# wanradio_<version>_<arch>.deb for the architecture of that build (amd64 natively, armhf with
# cmake/toolchains/arm-linux-gnueabihf.cmake). Configure with -DCMAKE_INSTALL_PREFIX=/usr for a
# package: the files land under the install prefix, which osl.pc also names.
include(${CMAKE_CURRENT_LIST_DIR}/footprint.cmake)

# The manual page, compressed as Debian ships them.
set(_man_src ${PROJECT_SOURCE_DIR}/docs/wanradio.1)
find_program(OSL_GZIP gzip)
if(OSL_GZIP)
  set(_man ${PROJECT_BINARY_DIR}/wanradio.1.gz)
  add_custom_command(OUTPUT ${_man}
    COMMAND ${OSL_GZIP} -9 -n -c ${_man_src} > ${_man}
    DEPENDS ${_man_src} VERBATIM)
  add_custom_target(wanradio_man ALL DEPENDS ${_man})
else()
  set(_man ${_man_src})
endif()
install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# A stripping install (cmake --install --strip, and CPack below) strips the programs only; drop
# the debugging sections of the static library too, keeping its symbols.
if(CMAKE_STRIP)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:osl>\")
    endif()")
endif()

# Debian's name for the target architecture; left to CPack (dpkg --print-architecture) when the
# triple is not one of ours.
set(_deb_arch "")
if(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^arm-linux-gnueabihf")
  set(_deb_arch armhf)
elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^x86_64-linux-gnu")
  set(_deb_arch amd64)
elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^aarch64-linux-gnu")
  set(_deb_arch arm64)
endif()
if(_deb_arch)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wanradio)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "wanradio maintainers <wanradio-maintainers@localhost>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CDMA radio module control for the board, and the osl layer")
# CPack puts the summary first and wraps the paragraphs itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"wanradio reports the state of the board's CDMA radio module, switches it on or
switches it off through the management service on 127.0.0.1:8668.

Also holds the osl system layer it is built on (static library, C headers,
pkg-config file and CMake package) for building applications for the board.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

# Run-time dependencies from the program's ELF needs (libc6, libjson-c5). dpkg-shlibdeps reads
# the armhf binary through the installed libc6:armhf and libjson-c5:armhf packages; without it
# the same needs are written out.
find_program(OSL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(OSL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libjson-c5 (>= 0.15)")
endif()

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "~$")
include(CPack)
