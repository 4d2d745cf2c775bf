# -Wall -Wextra for every target the project builds from its own sources, as
# errors with TELEM_PYB_WERROR=ON (CI turns it on). Called once at the end of
# the top-level CMakeLists.txt, when every target exists; libraries built
# from other projects' sources (nanobind's, for a benchmark) keep their flags.
option(TELEM_PYB_WERROR "Treat compiler warnings as errors" OFF)

function(telem_pyb_targets_of dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    telem_pyb_targets_of(${subdir} sub_targets)
    list(APPEND targets ${sub_targets})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(telem_pyb_warnings_for_all_targets)
  telem_pyb_targets_of(${PROJECT_SOURCE_DIR} targets)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY" OR target MATCHES "^nanobind")
      continue()
    endif()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${TELEM_PYB_WERROR}>:-Werror>)
  endforeach()
endfunction()
