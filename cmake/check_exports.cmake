# Checks what a shared build of the layer exports. Run as
#   cmake -DLIB=<libwanradio-osl.so> -DNM=<nm> -DREADELF=<readelf> -DHEADERS=<h1;h2;...>
#         -DSOVERSION=<major> -DNODES=<node1;node2;...> -P check_exports.cmake
# Fails unless the library's SONAME is libwanradio-osl.so.<major>, it stays loaded once loaded
# (NODELETE), its defined dynamic symbols are exactly the functions the public headers declare
# (a declaration starts a line), each a plain global function under one of the version nodes NODES, and
# no relocation refers to one of them: the library's own calls cannot be taken by another
# definition of the name.
cmake_minimum_required(VERSION 3.16)
foreach(v LIB NM READELF HEADERS SOVERSION NODES)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "check_exports: -D${v}=... is required")
  endif()
endforeach()

execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE _dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT _dyn MATCHES "\\(SONAME\\)[^\n]*\\[libwanradio-osl\\.so\\.${SOVERSION}\\]")
  message(FATAL_ERROR "check_exports: ${LIB} has no SONAME libwanradio-osl.so.${SOVERSION}")
endif()
if(NOT _dyn MATCHES "\\(FLAGS_1\\)[^\n]*NODELETE")
  message(FATAL_ERROR "check_exports: ${LIB} is not linked with -z nodelete")
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
set(_wrong "")
foreach(l IN LISTS _nm_lines)
  # "<address> <type> <name>@@<node>"; the node's own absolute symbol is no function.
  if(l MATCHES "^[0-9a-f]* A ([^ ]+)$" AND CMAKE_MATCH_1 IN_LIST NODES)
    continue()
  endif()
  if(NOT l MATCHES "^[0-9a-f]* *([A-Za-z]) ([^ @]+)(@@?[^ ]*)?$")
    message(FATAL_ERROR "check_exports: unreadable nm line: ${l}")
  endif()
  list(APPEND _exported ${CMAKE_MATCH_2})
  string(REPLACE "@@" "" _node "${CMAKE_MATCH_3}")
  if(NOT CMAKE_MATCH_1 STREQUAL "T" OR NOT _node IN_LIST NODES)
    list(APPEND _wrong "${CMAKE_MATCH_2} (${CMAKE_MATCH_1}${CMAKE_MATCH_3})")
  endif()
endforeach()
list(SORT _exported)
if(_wrong)
  message(FATAL_ERROR "check_exports: not a plain function (T) of a version node (${NODES}): ${_wrong}")
endif()

# Relocations name a symbol in their last column ("<name>@<version> + <addend>" or "<name> + 0").
execute_process(COMMAND ${READELF} -rW ${LIB} OUTPUT_VARIABLE _rel RESULT_VARIABLE rc)
string(REGEX MATCHALL "[^\n]+" _rel_lines "${_rel}")
set(_bound "")
foreach(l IN LISTS _rel_lines)
  if(l MATCHES "^ *[0-9a-f]+ +[0-9a-f]+ +[A-Z0-9_]+ +[0-9a-f]+ +([^ @]+)")
    list(FIND _exported "${CMAKE_MATCH_1}" _at)
    if(_at GREATER -1)
      list(APPEND _bound ${CMAKE_MATCH_1})
    endif()
  endif()
endforeach()
if(_bound)
  message(FATAL_ERROR "check_exports: ${LIB} reaches its own functions through relocations "
                      "another definition could take: ${_bound}")
endif()

set(_extra ${_exported})
list(REMOVE_ITEM _extra ${_declared})
set(_missing ${_declared})
list(REMOVE_ITEM _missing ${_exported})
if(_extra OR _missing)
  message(FATAL_ERROR "check_exports: ${LIB} exports names no public header declares: ${_extra}; "
                      "declared but not exported: ${_missing}")
endif()
list(LENGTH _exported _n)
message(STATUS "check_exports: ${_n} functions exported under ${NODES}, each declared by a public "
               "header and bound inside the library")
