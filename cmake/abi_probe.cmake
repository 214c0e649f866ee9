# The ABI guard's stand-in for builds without debugging information (Release, MinSizeRel):
# abidiff reads the types from DWARF, which those builds do not make. osl_abi_probe(<target>)
# builds <target>, a shared library of the same name, SONAME, version script and link options
# as the layer's runtime, from the same sources with the same flags plus -g, into abi-probe/ of
# the build tree. It copies each layer's object library as the build defines it (sources,
# options, include directories, links), so a file added to a layer's list is in the probe too.
# The guard compares the probe's types with the kept description, and its exported names with
# the real runtime's, so the probe stands for the library that ships.
function(osl_abi_probe target)
  set(_objects "")
  foreach(layer ${OSL_LAYERS})
    set(_probe ${target}_${layer})
    get_target_property(_sources ${layer} SOURCES)
    get_target_property(_dir ${layer} SOURCE_DIR)
    set(_abs "")
    foreach(s ${_sources})
      if(IS_ABSOLUTE ${s})
        list(APPEND _abs ${s})
      else()
        list(APPEND _abs ${_dir}/${s})
      endif()
    endforeach()
    add_library(${_probe} OBJECT ${_abs})
    foreach(p INCLUDE_DIRECTORIES COMPILE_DEFINITIONS LINK_LIBRARIES
              POSITION_INDEPENDENT_CODE C_VISIBILITY_PRESET CXX_VISIBILITY_PRESET)
      get_target_property(_v ${layer} ${p})
      if(_v)
        set_property(TARGET ${_probe} PROPERTY ${p} "${_v}")
      endif()
    endforeach()
    # The options as they stand once the whole project is read (options may be added later).
    set_property(TARGET ${_probe} PROPERTY COMPILE_OPTIONS
                 "$<TARGET_PROPERTY:${layer},COMPILE_OPTIONS>")
    target_compile_options(${_probe} PRIVATE -g)
    list(APPEND _objects $<TARGET_OBJECTS:${_probe}>)
  endforeach()
  add_library(${target} SHARED ${_objects})
  foreach(p OUTPUT_NAME VERSION SOVERSION LINKER_LANGUAGE LINK_OPTIONS LINK_DEPENDS
            LINK_LIBRARIES)
    get_target_property(_v ${OSL_SHARED_TARGET} ${p})
    if(_v)
      set_property(TARGET ${target} PROPERTY ${p} "${_v}")
    endif()
  endforeach()
  set_target_properties(${target} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/abi-probe)
endfunction()
