# telem_pyb_pybind11_internals_id(<var>): the ID of the pybind11 internals that
# a module built here with pybind11::module would share (PYBIND11_INTERNALS_ID:
# internals version, compiler, standard library and ABI). Modules see each
# other's classes only when their IDs are equal. The ID is read from a compiled
# object, so nothing has to run.
function(telem_pyb_pybind11_internals_id var)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/telem_pyb_internals_id")
  file(WRITE "${dir}/id.cpp"
    "#include <pybind11/pybind11.h>\n"
    "extern const char telem_pyb_internals_id[];\n"
    "const char telem_pyb_internals_id[] = \"<telem_pyb_internals_id>\" PYBIND11_INTERNALS_ID \"</telem_pyb_internals_id>\";\n")
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  try_compile(compiled "${dir}/build" SOURCES "${dir}/id.cpp"
    LINK_LIBRARIES pybind11::module
    CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
    COPY_FILE "${dir}/id.a" OUTPUT_VARIABLE output)
  if(NOT compiled)
    message(FATAL_ERROR "Could not compile against pybind11 to read its internals ID:\n${output}")
  endif()
  file(STRINGS "${dir}/id.a" found REGEX "<telem_pyb_internals_id>.*</telem_pyb_internals_id>")
  string(REGEX REPLACE ".*<telem_pyb_internals_id>(.*)</telem_pyb_internals_id>.*" "\\1" id "${found}")
  set(${var} "${id}" PARENT_SCOPE)
endfunction()
