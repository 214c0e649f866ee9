# Debian packages of wanradio and the osl layer: `cpack -G DEB` in a configured build tree gives,
# for the architecture of that build (amd64 natively, armhf with
# cmake/toolchains/arm-linux-gnueabihf.cmake), three packages as Debian splits a program, a
# shared library and its development files:
#   wanradio_<version>-<revision>_<arch>.deb             /usr/bin/wanradio and its manual page
#   libwanradio-osl1_<version>-<revision>_<arch>.deb     the runtime libwanradio-osl.so.1, with
#                                    its symbols file, shlibs and the ldconfig trigger
#   libwanradio-osl-dev_<version>-<revision>_<arch>.deb  libwanradio-osl.a, the .so link, headers,
#                                    wanradio-osl.pc, the CMake package, the examples
# The names stay clear of Debian's own libosl-dev. The library packages are Multi-Arch: same
# (every file outside the library directory is the same on each architecture), the tool foreign.
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for packages: the files land under the install
# prefix, which wanradio-osl.pc also names. Release (and RelWithDebInfo) builds are hardened by
# default.
include(${CMAKE_CURRENT_LIST_DIR}/footprint.cmake)

set(OSL_DEB_REVISION 1 CACHE STRING "Debian revision of the packages")
set(CPACK_PACKAGE_CONTACT "wanradio maintainers <wanradio-maintainers@wanradio.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(_deb_dir ${PROJECT_SOURCE_DIR}/packaging/debian)
find_program(OSL_GZIP gzip)

# osl_gzip_file(<source> <output>): compresses at configure time, as Debian ships manual pages and
# changelogs (-9 -n: reproducible). Made here rather than by a build target so that
# `cmake --install` works after building only some targets; an edit reconfigures.
function(osl_gzip_file src out)
  execute_process(COMMAND ${OSL_GZIP} -9 -n -c ${src} OUTPUT_FILE ${out} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip of ${src} failed: ${rc}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${src})
endfunction()

# The manual page goes with the tool.
set(_man_src ${PROJECT_SOURCE_DIR}/docs/wanradio.1)
if(OSL_GZIP)
  set(_man ${PROJECT_BINARY_DIR}/wanradio.1.gz)
  osl_gzip_file(${_man_src} ${_man})
else()
  set(_man ${_man_src})
endif()
install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)

# Each package carries the copyright and the Debian changelog in /usr/share/doc/<package>; a
# plain `cmake --install` leaves these Debian files out (EXCLUDE_FROM_ALL: component installs only).
set(OSL_DEB_VERSION ${PROJECT_VERSION}-${OSL_DEB_REVISION})
set(OSL_DEB_MAINTAINER ${CPACK_PACKAGE_CONTACT})
configure_file(${_deb_dir}/changelog.in ${PROJECT_BINARY_DIR}/changelog.Debian @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_deb_dir}/changelog.in)
set(_changelog ${PROJECT_BINARY_DIR}/changelog.Debian)
if(OSL_GZIP)
  osl_gzip_file(${_changelog} ${_changelog}.gz)
  set(_changelog ${_changelog}.gz)
endif()
# The runtime holds a fixed notice whose spelling lintian questions; the override says why.
install(FILES ${_deb_dir}/libwanradio-osl1.lintian-overrides RENAME libwanradio-osl1
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT libs EXCLUDE_FROM_ALL)
# The upstream changelog goes along as changelog.gz, as Debian names it.
set(_upstream_changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
if(OSL_GZIP)
  osl_gzip_file(${_upstream_changelog} ${PROJECT_BINARY_DIR}/changelog.gz)
  set(_upstream_changelog ${PROJECT_BINARY_DIR}/changelog.gz)
endif()
foreach(_comp_pkg tool:wanradio libs:libwanradio-osl1 dev:libwanradio-osl-dev)
  string(REPLACE ":" ";" _cp ${_comp_pkg})
  list(GET _cp 0 _comp)
  list(GET _cp 1 _pkg)
  set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg})
  install(FILES ${_deb_dir}/copyright DESTINATION ${_doc} COMPONENT ${_comp} EXCLUDE_FROM_ALL)
  install(FILES ${_changelog} RENAME changelog.Debian.gz DESTINATION ${_doc}
          COMPONENT ${_comp} EXCLUDE_FROM_ALL)
  install(FILES ${_upstream_changelog} RENAME changelog.gz DESTINATION ${_doc}
          COMPONENT ${_comp} EXCLUDE_FROM_ALL)
endforeach()

# A stripping install (cmake --install --strip, and CPack below) strips the program and the
# runtime with no options and leaves the static library alone; finish them as Debian's dh_strip
# does: .comment and .note go from all three, debugging sections from the archive, whose symbols
# stay and which becomes deterministic.
if(CMAKE_STRIP)
  # osl_strip(<component> <installed path> <strip options...>)
  function(osl_strip comp path)
    string(REPLACE ";" " " opts "${ARGN}")
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        set(f \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${path}\")
        execute_process(COMMAND \"${CMAKE_STRIP}\" ${opts} \"\${f}\" RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
          message(FATAL_ERROR \"strip of \${f} failed: \${rc}\")
        endif()
      endif()" COMPONENT ${comp})
  endfunction()
  osl_strip(tool ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:wanradio>
            --remove-section=.comment --remove-section=.note)
  osl_strip(libs ${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:${OSL_SHARED_TARGET}>
            --remove-section=.comment --remove-section=.note)
  osl_strip(dev ${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:${OSL_STATIC_TARGET}> --strip-debug
            --remove-section=.comment --remove-section=.note --enable-deterministic-archives)
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
set(CPACK_DEBIAN_PACKAGE_RELEASE ${OSL_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE wanradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
# Files 0644 and directories 0755 whatever the builder's umask, as dpkg expects them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tool libs dev)
set(CPACK_COMPONENTS_GROUPING IGNORE)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME wanradio)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DESCRIPTION
"control of the board's CDMA radio module
wanradio reports the state of the board's CDMA radio module, switches it on
or switches it off, through the board's management service on
127.0.0.1:8668. It prints one result line per command.")
# Run-time dependencies from the program's ELF needs (libc6, libjson-c5). dpkg-shlibdeps reads
# the armhf binary through the installed libc6:armhf and libjson-c5:armhf packages; without it
# the same needs are written out.
find_program(OSL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(OSL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libc6 (>= 2.34), libjson-c5 (>= 0.15)")
endif()

set(CPACK_DEBIAN_LIBS_PACKAGE_NAME libwanradio-osl1)
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
if(OSL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_LIBS_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_LIBS_PACKAGE_DEPENDS "libc6 (>= 2.34)")
endif()
# Besides the symbols file (written and checked by the finishing step below), the runtime
# carries a shlibs file for tools that read only that, and has ldconfig run by a trigger
# instead of maintainer scripts.
set(OSL_SHLIBS_VERSION ${PROJECT_VERSION} CACHE STRING
    "Lowest version of libwanradio-osl1 that programs built against this tree need (shlibs)")
file(WRITE ${PROJECT_BINARY_DIR}/deb/shlibs
     "libwanradio-osl ${PROJECT_VERSION_MAJOR} libwanradio-osl1 (>= ${OSL_SHLIBS_VERSION})\n")
file(WRITE ${PROJECT_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/deb/shlibs ${PROJECT_BINARY_DIR}/deb/triggers)
set(CPACK_COMPONENT_LIBS_DESCRIPTION
"portable system layer of wanradio (shared library)
osl is a small system layer with C linkage: IPv4 sockets, name resolution,
strings and URLs, logging, clocks, a timed mutex, files, process services
and a memory pool inside a caller's buffer.
.
This package holds the shared library libwanradio-osl.so.1, which the
daemons of the board share.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libwanradio-osl-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
# The headers include the C library's; the archive needs glibc 2.34's 64-bit time symbols on
# armhf. The library links with plain gcc, no C++ runtime.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libwanradio-osl1 (= ${OSL_DEB_VERSION}), libc6-dev (>= 2.34)")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "pkgconf | pkg-config, cmake")
set(CPACK_COMPONENT_DEV_DESCRIPTION
"portable system layer of wanradio (development files)
osl is a small system layer with C linkage: IPv4 sockets, name resolution,
strings and URLs, logging, clocks, a timed mutex, files, process services
and a memory pool inside a caller's buffer.
.
This package holds the C headers (included as <osl/...>), the link to the
shared library, the static library libwanradio-osl.a, the pkg-config
module wanradio-osl, the CMake package (find_package(wanradio-osl) gives
wanradio::osl and wanradio::osl-static) and examples.")

# CPack passes only CPACK_ variables on to the post-build step: Multi-Arch per package, the
# symbols file of the runtime checked against the names the built library exports, and the
# packages whose ldconfig runs by trigger.
# What scripts/update_abi.sh needs besides the library to describe the ABI: this target's C
# compiler and the public headers, whose macros belong to the description.
file(WRITE ${PROJECT_BINARY_DIR}/osl_abi.txt
     "CC=${CMAKE_C_COMPILER}\nOSL_HEADERS_FOR_ABI=${OSL_HEADERS}\n")
set(CPACK_OSL_MULTIARCH wanradio=foreign libwanradio-osl1=same libwanradio-osl-dev=same)
set(CPACK_OSL_SYMBOLS libwanradio-osl1=${_deb_dir}/libwanradio-osl1.symbols)
set(CPACK_OSL_LDCONFIG_TRIGGER libwanradio-osl1)
set(CPACK_OSL_UPSTREAM_VERSION ${PROJECT_VERSION})
set(CPACK_OSL_NM ${CMAKE_NM})   # the toolchain's: reads the board's library too
if(NOT CPACK_OSL_NM)
  set(CPACK_OSL_NM nm)
endif()
set(CPACK_OSL_DEB_ARCH ${_deb_arch})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_finish.cmake)
# File times in the packages: the date of the changelog's latest entry, as dpkg-buildpackage
# takes it (SOURCE_DATE_EPOCH), so that a package's bytes follow from its contents alone.
file(STRINGS ${PROJECT_BINARY_DIR}/changelog.Debian _signoff REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- .*>  " "" _signoff "${_signoff}")
execute_process(COMMAND date -d "${_signoff}" +%s OUTPUT_VARIABLE CPACK_OSL_SOURCE_DATE_EPOCH
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT CPACK_OSL_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "no date read from the changelog's latest entry: ${_signoff}")
endif()

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "~$")
include(CPack)
