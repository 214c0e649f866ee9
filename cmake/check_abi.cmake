# Compares the built shared library with the ABI description kept in the tree. Run as
#   cmake -DABIDIFF=<abidiff> -DABI=<kept .abi> -DLIB=<built libwanradio-osl.so>
#         -DCC=<C compiler> -DHEADERS=<h1;h2;...> -DMACROS=<kept .macros>
#         [-DPROBE=<the same library built with -g> -DNM=<nm>] -P check_abi.cmake
# Passes only when abidiff --no-added-syms finds no change but added functions, and every macro
# the kept .macros lists is still defined by the public headers with the same value (callers size
# buffers by them; a new macro passes like a new function). Otherwise fails with abidiff's report,
# which names each removed or changed function and the type that changed, and with each lost or
# changed macro. abidiff reads DWARF: where LIB has none, PROBE (cmake/abi_probe.cmake) is read
# instead, after checking that it exports exactly LIB's names.
# The macros are those the public headers define, as the C compiler's preprocessor sees them
# (`-E -dD`), without the include guards and without osl_version.h, whose numbers change with
# every release by design. scripts/update_abi.sh rewrites the description and writes the macros
# by running this script with -DWRITE_MACROS=<file> (then only CC and HEADERS are needed).
cmake_minimum_required(VERSION 3.16)

# osl_public_macros(<out>): "#define NAME VALUE" lines, sorted, of the macros HEADERS define.
function(osl_public_macros out)
  set(_incs "")
  foreach(h IN LISTS HEADERS)
    if(h STREQUAL "")
      continue()
    endif()
    get_filename_component(_name "${h}" NAME)
    get_filename_component(_hdir "${h}" DIRECTORY)
    if(NOT _name STREQUAL "osl_version.h")
      list(APPEND _incs -include ${h})
    endif()
    list(APPEND _incs -I${_hdir})
  endforeach()
  execute_process(COMMAND ${CC} -std=c99 -E -dD ${_incs} -x c /dev/null
                  RESULT_VARIABLE rc OUTPUT_VARIABLE _pp ERROR_VARIABLE _err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_abi: the public headers do not preprocess with ${CC}:\n${_err}")
  endif()
  string(REPLACE ";" "\\;" _pp "${_pp}")
  string(REGEX MATCHALL "[^\n]+" _pp_lines "${_pp}")
  set(_ours OFF)
  set(_defs "")
  foreach(l IN LISTS _pp_lines)
    if(l MATCHES "^# [0-9]+ \"([^\"]*)\"")
      set(_ours OFF)
      get_filename_component(_name "${CMAKE_MATCH_1}" NAME)
      foreach(h IN LISTS HEADERS)
        get_filename_component(_hname "${h}" NAME)
        if(_name STREQUAL _hname AND NOT _name STREQUAL "osl_version.h")
          set(_ours ON)
        endif()
      endforeach()
    elseif(_ours AND l MATCHES "^#define ([A-Za-z_][A-Za-z0-9_]*(\\([^)]*\\))?)[ \t]*(.*)$")
      set(_name ${CMAKE_MATCH_1})
      string(REGEX REPLACE "[ \t]+" " " _value "${CMAKE_MATCH_3}")
      string(STRIP "${_value}" _value)
      if(_value STREQUAL "" AND _name MATCHES "_H$")
        continue()   # an include guard
      endif()
      list(APPEND _defs "#define ${_name} ${_value}")
    endif()
  endforeach()
  list(SORT _defs)
  set(${out} "${_defs}" PARENT_SCOPE)
endfunction()

foreach(v CC HEADERS)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "check_abi: -D${v}=... is required")
  endif()
endforeach()
osl_public_macros(_now)
if(DEFINED WRITE_MACROS)
  list(JOIN _now "\n" _text)
  file(WRITE ${WRITE_MACROS} "${_text}\n")
  list(LENGTH _now _n)
  message(STATUS "check_abi: ${_n} public macros written to ${WRITE_MACROS}")
  return()
endif()

foreach(v ABIDIFF ABI LIB MACROS)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "check_abi: -D${v}=... is required")
  endif()
endforeach()
set(_faults "")

# The macros: each kept one defined with the same value.
if(NOT EXISTS ${MACROS})
  message(FATAL_ERROR "check_abi: ${MACROS} is missing (scripts/update_abi.sh writes it)")
endif()
file(STRINGS ${MACROS} _kept REGEX "^#define ")
set(_macro_faults "")
foreach(k IN LISTS _kept)
  string(REGEX MATCH "^#define ([A-Za-z_][A-Za-z0-9_]*)" _m "${k}")
  set(_name ${CMAKE_MATCH_1})
  set(_found "")
  foreach(d IN LISTS _now)
    if(d MATCHES "^#define ${_name}[ (]")
      set(_found "${d}")
    endif()
  endforeach()
  if(_found STREQUAL "")
    list(APPEND _macro_faults "macro ${_name} is no longer defined (kept: ${k})")
  elseif(NOT _found STREQUAL k)
    list(APPEND _macro_faults "macro ${_name} changed: kept '${k}', now '${_found}'")
  endif()
endforeach()
if(_macro_faults)
  list(JOIN _macro_faults "\n  " _text)
  list(APPEND _faults "the public macros differ from ${MACROS}:\n  ${_text}")
endif()

# The functions and types, from the library itself or from its probe.
set(_read ${LIB})
if(DEFINED PROBE)
  if(NOT DEFINED NM)
    message(FATAL_ERROR "check_abi: -DNM=... is required with -DPROBE")
  endif()
  foreach(f LIB PROBE)
    execute_process(COMMAND ${NM} -D --defined-only ${${f}} RESULT_VARIABLE rc
                    OUTPUT_VARIABLE _nm_${f})
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "check_abi: ${NM} -D failed on ${${f}}")
    endif()
    string(REGEX REPLACE "(^|\n)[0-9a-f]+ " "\\1" _nm_${f} "${_nm_${f}}")
  endforeach()
  if(NOT _nm_LIB STREQUAL _nm_PROBE)
    message(FATAL_ERROR "check_abi: the probe ${PROBE} exports other names than ${LIB}:\n"
                        "${_nm_PROBE}\n---\n${_nm_LIB}")
  endif()
  set(_read ${PROBE})
endif()
execute_process(COMMAND ${ABIDIFF} --no-added-syms ${ABI} ${_read}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  list(APPEND _faults "${_read} differs from ${ABI} (abidiff exit ${rc}):\n${out}")
endif()

if(_faults)
  list(JOIN _faults "\n" _text)
  message(FATAL_ERROR "check_abi: ${_text}")
endif()
list(LENGTH _kept _n)
message(STATUS "check_abi: ${LIB} keeps the ABI of ${ABI} and the ${_n} macros of ${MACROS}")
