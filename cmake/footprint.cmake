# Footprint budget of the tool, checked by the ctest "wanradio_footprint": the stripped board
# build of wanradio stays within OSL_WANRADIO_SIZE_BUDGET bytes and, on every build, needs only
# libc and libjson-c at run time. Sanitizer builds link their runtimes and are left out, and so
# are shared builds, whose tool links the layer's shared library.

# The budget holds in every optimised build type: the layer's code is built with -O2 at most, as
# Debian builds (CMake's Release flags say -O3, whose inlining and unrolling put the tool 1.5 KiB
# over; MinSizeRel's -Os stays). The tool's own code is built with -Os already.
foreach(layer ${OSL_LAYERS})
  target_compile_options(${layer} PRIVATE $<$<CONFIG:Release>:-O2>)
endforeach()
if(BUILD_TESTING AND NOT OSL_SANITIZE AND NOT BUILD_SHARED_LIBS)
  if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(_budget 16384)
  else()
    set(_budget 0)   # the budget is the board's; other builds report their size only
  endif()
  set(OSL_WANRADIO_SIZE_BUDGET ${_budget} CACHE STRING
      "Largest allowed size in bytes of the stripped wanradio (0: report only)")
  set(_readelf ${CMAKE_READELF})
  if(NOT _readelf)
    set(_readelf readelf)
  endif()
  add_test(NAME wanradio_footprint
           COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/footprint.sh $<TARGET_FILE:wanradio>
                   ${CMAKE_STRIP} ${_readelf} ${OSL_WANRADIO_SIZE_BUDGET})
  # A board build checks the tool of the other optimised build types too, each built in a tree
  # of its own inside this one (the tool and the layer only: seconds).
  if(_budget GREATER 0 AND CMAKE_TOOLCHAIN_FILE)
    get_filename_component(_toolchain ${CMAKE_TOOLCHAIN_FILE} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    foreach(_type Release MinSizeRel RelWithDebInfo)
      if(NOT _type STREQUAL CMAKE_BUILD_TYPE)
        string(TOLOWER ${_type} _lower)
        add_test(NAME wanradio_footprint_${_lower}
                 COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/footprint.sh --build ${_type}
                         ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/footprint-${_lower}
                         ${_toolchain} ${CMAKE_STRIP} ${_readelf} ${OSL_WANRADIO_SIZE_BUDGET}
                         -DOSL_HARDEN=${OSL_HARDEN} -DOSL_WERROR=${OSL_WERROR})
        set_tests_properties(wanradio_footprint_${_lower} PROPERTIES TIMEOUT 600)
      endif()
    endforeach()
  endif()
endif()
