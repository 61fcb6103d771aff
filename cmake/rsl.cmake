# ioh_add_rsl(NAME SOURCES... [OUTPUT_DIRECTORY dir] [LINK libs...])
# A real-time shared library: NAME.rsl with no "lib" prefix, in build/lib/rsl
# unless told otherwise, loaded at run time with LoadRtLibrary. The same
# function serves this project and, installed with the iohost package
# (find_package(iohost)), a driver built outside it.
function(ioh_add_rsl name)
  cmake_parse_arguments(RSL "" "OUTPUT_DIRECTORY" "SOURCES;LINK" ${ARGN})
  if(NOT RSL_SOURCES)
    set(RSL_SOURCES ${RSL_UNPARSED_ARGUMENTS})
  endif()
  if(NOT RSL_OUTPUT_DIRECTORY)
    set(RSL_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/rsl)
  endif()
  add_library(${name} MODULE ${RSL_SOURCES})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".rsl"
    LIBRARY_OUTPUT_DIRECTORY ${RSL_OUTPUT_DIRECTORY}
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden)
  # Only the library's own exports leave it, none of the static code it carries.
  target_link_options(${name} PRIVATE -Wl,--no-undefined -Wl,--exclude-libs,ALL)
  # Installed in lib/rsl: the shared libraries it needs are one folder up.
  set_target_properties(${name} PROPERTIES INSTALL_RPATH "$ORIGIN/..")
  target_link_libraries(${name} PRIVATE iohost::rtkernel ${RSL_LINK})
endfunction()
