# Checks what a shared build of the layer exports. Run as
#   cmake -DLIB=<libwanradio-osl.so> -DNM=<nm> -DREADELF=<readelf> -DHEADERS=<h1;h2;...>
#         -P check_exports.cmake
# Fails unless the library's SONAME is libwanradio-osl.so.<major> and its defined dynamic
# symbols are exactly the functions the public headers declare (a declaration starts a line).
cmake_minimum_required(VERSION 3.16)
foreach(v LIB NM READELF HEADERS SOVERSION)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "check_exports: -D${v}=... is required")
  endif()
endforeach()

execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE _dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT _dyn MATCHES "\\(SONAME\\)[^\n]*\\[libwanradio-osl\\.so\\.${SOVERSION}\\]")
  message(FATAL_ERROR "check_exports: ${LIB} has no SONAME libwanradio-osl.so.${SOVERSION}")
endif()

set(_declared "")
foreach(h IN LISTS HEADERS)
  file(STRINGS ${h} _lines REGEX "^[A-Za-z_][A-Za-z0-9_ ]*[ *]+[A-Za-z_][A-Za-z0-9_]*\\(")
  foreach(l IN LISTS _lines)
    if(l MATCHES "^typedef")
      continue()
    endif()
    string(REGEX MATCH "[A-Za-z_][A-Za-z0-9_]*\\(" name "${l}")
    string(REPLACE "(" "" name "${name}")
    list(APPEND _declared ${name})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES _declared)
list(SORT _declared)

execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE _nm RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "check_exports: ${NM} failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" _nm_lines "${_nm}")
set(_exported "")
foreach(l IN LISTS _nm_lines)
  # "<address> <type> <name>[@version]"; the version node's own absolute symbol is no function.
  if(NOT l MATCHES " A " AND l MATCHES "^[0-9a-f]* *[A-Za-z] ([^ @]+)")
    list(APPEND _exported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT _exported)

set(_extra ${_exported})
list(REMOVE_ITEM _extra ${_declared})
set(_missing ${_declared})
list(REMOVE_ITEM _missing ${_exported})
if(_extra OR _missing)
  message(FATAL_ERROR "check_exports: ${LIB} exports names no public header declares: ${_extra}; "
                      "declared but not exported: ${_missing}")
endif()
list(LENGTH _exported _n)
message(STATUS "check_exports: ${_n} functions exported, each declared by a public header")
