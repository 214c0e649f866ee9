# Compares the built shared library with the ABI description kept in the tree. Run as
#   cmake -DABIDIFF=<abidiff> -DABI=<kept .abi> -DLIB=<built libwanradio-osl.so> -P check_abi.cmake
# Passes only when abidiff --no-added-syms finds no change but added functions; otherwise fails
# with abidiff's report, which names each removed or changed function and the type that changed.
# scripts/update_abi.sh rewrites the description once a change is meant.
cmake_minimum_required(VERSION 3.16)
foreach(v ABIDIFF ABI LIB)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "check_abi: -D${v}=... is required")
  endif()
endforeach()
execute_process(COMMAND ${ABIDIFF} --no-added-syms ${ABI} ${LIB}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "check_abi: ${LIB} differs from ${ABI} (abidiff exit ${rc}):\n${out}")
endif()
message(STATUS "check_abi: ${LIB} keeps the ABI of ${ABI}")
