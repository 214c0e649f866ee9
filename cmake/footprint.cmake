# Footprint budget of the tool, checked by the ctest "wanradio_footprint": the stripped board
# build of wanradio stays within OSL_WANRADIO_SIZE_BUDGET bytes and, on every build, needs only
# libc and libjson-c at run time. Sanitizer builds link their runtimes and are left out, and so
# are shared builds, whose tool links the layer's shared library.
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
endif()
