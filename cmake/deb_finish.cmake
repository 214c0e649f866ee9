# CPack post-build step (CPACK_POST_BUILD_SCRIPTS): finishes each built Debian package with what
# CPack's DEB generator does not write itself, then packs it again:
#   CPACK_OSL_MULTIARCH        "<package>=<value>" pairs: the Multi-Arch field (a package that
#                              already has one is left alone);
#   CPACK_OSL_SYMBOLS          "<package>=<symbols file>" pairs: DEBIAN/symbols, written by
#                              dpkg-gensymbols -c4 from the file kept in the tree, so the package
#                              build fails when the library lost a symbol or gained one the file
#                              does not list;
#   CPACK_OSL_LDCONFIG_TRIGGER packages whose ldconfig runs by their trigger: CPack's postinst
#                              and postrm, which call ldconfig, are dropped.
# CPACK_OSL_UPSTREAM_VERSION and CPACK_OSL_DEB_ARCH name the version and the architecture.

# osl_pkg_value(<list> <package> <out>): the value of "<package>=<value>" in <list>, or "".
function(osl_pkg_value pairs pkg out)
  set(v "")
  foreach(pair IN LISTS pairs)
    if(pair MATCHES "^${pkg}=(.+)$")
      set(v ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} "${v}" PARENT_SCOPE)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  get_filename_component(_name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" _pkg ${_name})
  osl_pkg_value("${CPACK_OSL_MULTIARCH}" ${_pkg} _multiarch)
  osl_pkg_value("${CPACK_OSL_SYMBOLS}" ${_pkg} _symbols)
  set(_trigger OFF)
  if(_pkg IN_LIST CPACK_OSL_LDCONFIG_TRIGGER)
    set(_trigger ON)
  endif()
  if(NOT _multiarch AND NOT _symbols AND NOT _trigger)
    continue()
  endif()
  set(_dir ${CPACK_TOPLEVEL_DIRECTORY}/finish-${_pkg})
  file(REMOVE_RECURSE ${_dir})
  # umask 022: the unpacked tree keeps the modes dpkg expects whatever the builder's umask.
  execute_process(COMMAND sh -c "umask 022 && dpkg-deb -R \"$0\" \"$1\"" ${deb} ${_dir}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  file(READ ${_dir}/DEBIAN/control _control)
  if(_multiarch AND NOT _control MATCHES "(^|\n)Multi-Arch:")
    # A field of its own at the end (dpkg reads the fields in any order), inside the one
    # paragraph: CPack ends the file with a blank line.
    string(STRIP "${_control}" _control)
    file(WRITE ${_dir}/DEBIAN/control "${_control}\nMulti-Arch: ${_multiarch}\n")
  endif()
  if(_symbols)
    set(_arch_opt "")
    if(CPACK_OSL_DEB_ARCH)
      set(_arch_opt -a${CPACK_OSL_DEB_ARCH})
    endif()
    execute_process(COMMAND dpkg-gensymbols -c4 -p${_pkg} -v${CPACK_OSL_UPSTREAM_VERSION}
                            ${_arch_opt} -P${_dir} -I${_symbols} -O${_dir}/DEBIAN/symbols
                    WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${_pkg}: the library's symbols differ from ${_symbols} "
                          "(scripts/update_abi.sh rewrites it):\n${out}")
    endif()
    execute_process(COMMAND chmod 0644 ${_dir}/DEBIAN/symbols)
  endif()
  if(_trigger)
    file(REMOVE ${_dir}/DEBIAN/postinst ${_dir}/DEBIAN/postrm)
  endif()
  # Times clamped to the changelog's date (unless the builder sets its own).
  if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} ${CPACK_OSL_SOURCE_DATE_EPOCH})
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${_dir} ${deb}
                  OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b of ${deb} failed")
  endif()
  file(REMOVE_RECURSE ${_dir})
endforeach()
