# CPack post-build step (CPACK_POST_BUILD_SCRIPTS): finishes each built Debian package with what
# CPack's DEB generator does not write itself, then packs it again:
#   CPACK_OSL_MULTIARCH        "<package>=<value>" pairs: the Multi-Arch field (a package that
#                              already has one is left alone);
#   CPACK_OSL_SYMBOLS          "<package>=<symbols file>" pairs: DEBIAN/symbols, written by
#                              dpkg-gensymbols -c4 from the file kept in the tree. First the
#                              library's exported names (CPACK_OSL_NM -D, with their version
#                              nodes) are compared with the file's names directly: the package
#                              build fails when the library lacks one of them or exports one the
#                              file does not list, whatever versions the file gives them
#                              (dpkg-gensymbols counts a name as lost only when the version built
#                              is newer than the one that added it);
#   CPACK_OSL_LDCONFIG_TRIGGER packages whose ldconfig runs by their trigger: CPack's postinst
#                              and postrm, which call ldconfig, are dropped.
# CPACK_OSL_UPSTREAM_VERSION and CPACK_OSL_DEB_ARCH name the version and the architecture.
# Any failure removes every package of the run before it fails, so no unfinished .deb is left.

# osl_fail(<message>...): removes the packages of this run, those of the same names that an
# earlier run left where CPack puts them (CPACK_OUTPUT_FILE_PREFIX), and the unpacked trees, then
# fails: no package stands beside a failed build.
function(osl_fail)
  foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(_name ${deb} NAME)
    file(REMOVE ${deb} ${CPACK_OUTPUT_FILE_PREFIX}/${_name})
  endforeach()
  file(GLOB _left ${CPACK_TOPLEVEL_DIRECTORY}/finish-*)
  if(_left)
    file(REMOVE_RECURSE ${_left})
  endif()
  string(JOIN "" _msg ${ARGN})
  message(FATAL_ERROR "${_msg}\nno package was left behind")
endfunction()

# osl_check_names(<unpacked package> <symbols file>): fails unless the library the symbols file
# names exports exactly the file's names, each under the version node the file gives it.
function(osl_check_names root symbols)
  file(STRINGS ${symbols} _lines)
  set(_soname "")
  set(_listed "")
  set(_optional "")
  foreach(l IN LISTS _lines)
    if(l MATCHES "^([^ #*|][^ ]*) ")
      if(_soname)
        osl_fail("${symbols}: more than one library; the check reads one")
      endif()
      set(_soname ${CMAKE_MATCH_1})
    elseif(l MATCHES "^ (\\(([^)]*)\\))?([^ ]+) ")
      list(APPEND _listed ${CMAKE_MATCH_3})
      if(CMAKE_MATCH_2 MATCHES "(^|\\|)optional(\\||$)")
        list(APPEND _optional ${CMAKE_MATCH_3})
      endif()
    endif()
  endforeach()
  file(GLOB_RECURSE _libs ${root}/*/${_soname})
  list(LENGTH _libs _n)
  if(NOT _soname OR NOT _n EQUAL 1)
    osl_fail("${symbols}: the package holds ${_n} libraries named '${_soname}', want one")
  endif()
  execute_process(COMMAND ${CPACK_OSL_NM} -D --defined-only ${_libs}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE _nm ERROR_VARIABLE _err)
  if(NOT rc EQUAL 0)
    osl_fail("${CPACK_OSL_NM} -D ${_libs} failed: ${_err}")
  endif()
  string(REGEX MATCHALL "[^\n]+" _nm_lines "${_nm}")
  set(_exported "")
  foreach(l IN LISTS _nm_lines)
    if(l MATCHES "^[0-9a-f]* *A ([^ @]+)$")             # a version node's own symbol
      list(APPEND _exported "${CMAKE_MATCH_1}@${CMAKE_MATCH_1}")
    elseif(l MATCHES "^[0-9a-f]* *[A-Za-z] ([^ @]+)@@?([^ ]+)$")
      list(APPEND _exported "${CMAKE_MATCH_1}@${CMAKE_MATCH_2}")
    elseif(l MATCHES "^[0-9a-f]* *[A-Za-z] ([^ @]+)$")  # unversioned: "Base" in symbols files
      list(APPEND _exported "${CMAKE_MATCH_1}@Base")
    endif()
  endforeach()
  set(_lost ${_listed})
  if(_exported)
    list(REMOVE_ITEM _lost ${_exported})
  endif()
  if(_optional AND _lost)
    list(REMOVE_ITEM _lost ${_optional})
  endif()
  set(_new ${_exported})
  if(_listed)
    list(REMOVE_ITEM _new ${_listed})
  endif()
  if(_lost OR _new)
    list(JOIN _lost " " _lost)
    list(JOIN _new " " _new)
    osl_fail("${_soname}: the library's names differ from ${symbols} "
             "(scripts/update_abi.sh rewrites it once a change is meant):\n"
             "  listed but not exported: ${_lost}\n  exported but not listed: ${_new}")
  endif()
endfunction()

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
    osl_fail("dpkg-deb -R ${deb} failed")
  endif()
  file(READ ${_dir}/DEBIAN/control _control)
  if(_multiarch AND NOT _control MATCHES "(^|\n)Multi-Arch:")
    # A field of its own at the end (dpkg reads the fields in any order), inside the one
    # paragraph: CPack ends the file with a blank line.
    string(STRIP "${_control}" _control)
    file(WRITE ${_dir}/DEBIAN/control "${_control}\nMulti-Arch: ${_multiarch}\n")
  endif()
  if(_symbols)
    osl_check_names(${_dir} ${_symbols})
    set(_arch_opt "")
    if(CPACK_OSL_DEB_ARCH)
      set(_arch_opt -a${CPACK_OSL_DEB_ARCH})
    endif()
    execute_process(COMMAND dpkg-gensymbols -c4 -p${_pkg} -v${CPACK_OSL_UPSTREAM_VERSION}
                            ${_arch_opt} -P${_dir} -I${_symbols} -O${_dir}/DEBIAN/symbols
                    WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      osl_fail("${_pkg}: the library's symbols differ from ${_symbols} "
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
    osl_fail("dpkg-deb -b of ${deb} failed")
  endif()
  file(REMOVE_RECURSE ${_dir})
endforeach()
