# CPack post-build step (CPACK_POST_BUILD_SCRIPTS): gives each built Debian package its
# Multi-Arch field, which CPack's DEB generator does not write itself, and file times clamped to
# CPACK_OSL_SOURCE_DATE_EPOCH. CPACK_OSL_MULTIARCH holds "<package>=<value>" pairs; a package that
# already has the field is left alone.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  get_filename_component(_name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" _pkg ${_name})
  set(_value "")
  foreach(pair IN LISTS CPACK_OSL_MULTIARCH)
    if(pair MATCHES "^${_pkg}=(.+)$")
      set(_value ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT _value)
    continue()
  endif()
  set(_dir ${CPACK_TOPLEVEL_DIRECTORY}/multiarch-${_pkg})
  file(REMOVE_RECURSE ${_dir})
  # umask 022: the unpacked tree keeps the modes dpkg expects whatever the builder's umask.
  execute_process(COMMAND sh -c "umask 022 && dpkg-deb -R \"$0\" \"$1\"" ${deb} ${_dir}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  file(READ ${_dir}/DEBIAN/control _control)
  if(NOT _control MATCHES "(^|\n)Multi-Arch:")
    # A field of its own at the end (dpkg reads the fields in any order), inside the one
    # paragraph: CPack ends the file with a blank line.
    string(STRIP "${_control}" _control)
    file(WRITE ${_dir}/DEBIAN/control "${_control}\nMulti-Arch: ${_value}\n")
    # Times clamped to the changelog's date (unless the builder sets its own).
    if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
      set(ENV{SOURCE_DATE_EPOCH} ${CPACK_OSL_SOURCE_DATE_EPOCH})
    endif()
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${_dir} ${deb}
                    OUTPUT_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "dpkg-deb -b of ${deb} failed")
    endif()
  endif()
  file(REMOVE_RECURSE ${_dir})
endforeach()
