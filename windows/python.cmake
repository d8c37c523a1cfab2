# The module target for a cross build against a supported 64-bit Windows
# CPython (CMakeLists.txt): the interpreter's headers with this project's
# Windows pyconfig.h, and an import library made at build time from the
# interpreter's DLL (python3XY.dll).
set(CRENLY_WINDOWS_PYTHON "" CACHE PATH "Folder that holds python3XY.dll of the 64-bit Windows CPython")
set(CRENLY_PYTHON_HEADERS "" CACHE PATH "The include folder (Python.h) of a CPython of the same version; its pyconfig.h is replaced")

if(NOT EXISTS "${CRENLY_PYTHON_HEADERS}/patchlevel.h")
  message(FATAL_ERROR "CRENLY_PYTHON_HEADERS must name a CPython include folder (no patchlevel.h in '${CRENLY_PYTHON_HEADERS}')")
endif()
file(STRINGS "${CRENLY_PYTHON_HEADERS}/patchlevel.h" version_lines REGEX "^#define PY_(MAJOR|MINOR)_VERSION")
set(minor "")
if(version_lines MATCHES "PY_MAJOR_VERSION[ \t]+3;.*PY_MINOR_VERSION[ \t]+([0-9]+)$")
  set(minor "${CMAKE_MATCH_1}")
endif()
if(minor STREQUAL "" OR minor LESS CRENLY_PYTHON_MINOR_FIRST OR minor GREATER CRENLY_PYTHON_MINOR_LAST)
  message(FATAL_ERROR "crenly builds for ${CRENLY_PYTHON_RANGE} only; CRENLY_PYTHON_HEADERS holds: ${version_lines}")
endif()
set(python_tag "3${minor}")  # 312, 313
set(dll_name "python${python_tag}.dll")
set(dll "${CRENLY_WINDOWS_PYTHON}/${dll_name}")
if(NOT EXISTS "${dll}")
  message(FATAL_ERROR "CRENLY_WINDOWS_PYTHON must name the folder of ${dll_name}, the interpreter of the headers (not found: ${dll})")
endif()

# The headers are the same on every platform but pyconfig.h, which Python.h
# includes from its own folder: copy them without it and add ours.
set(include_dir "${CMAKE_CURRENT_BINARY_DIR}/python-include")
file(REMOVE_RECURSE "${include_dir}")
file(COPY "${CRENLY_PYTHON_HEADERS}/" DESTINATION "${include_dir}"
     PATTERN "pyconfig.h" EXCLUDE PATTERN "internal" EXCLUDE)
configure_file("${CMAKE_CURRENT_SOURCE_DIR}/windows/include/pyconfig.h" "${include_dir}/pyconfig.h" COPYONLY)

find_program(CRENLY_GENDEF gendef REQUIRED)
find_program(CRENLY_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool REQUIRED)
set(import_lib "${CMAKE_CURRENT_BINARY_DIR}/libpython${python_tag}.a")
add_custom_command(
  OUTPUT "${import_lib}"
  COMMAND "${CRENLY_GENDEF}" "${dll}"
  COMMAND "${CRENLY_DLLTOOL}" -d "python${python_tag}.def" -l "${import_lib}" -D "${dll_name}"
  DEPENDS "${dll}"
  WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
  COMMENT "Making the import library of ${dll_name}"
  VERBATIM)
add_custom_target(crenly_python_import_lib DEPENDS "${import_lib}")

add_library(crenly MODULE ${CRENLY_SOURCES})
add_dependencies(crenly crenly_python_import_lib)
set_target_properties(crenly PROPERTIES PREFIX "" OUTPUT_NAME "crenly.cp${python_tag}-win_amd64" SUFFIX ".pyd")
target_include_directories(crenly SYSTEM PRIVATE "${include_dir}")
target_link_libraries(crenly PRIVATE "${import_lib}")
# The C and C++ runtimes are linked in: the module needs python3XY.dll and
# Windows' own DLLs only. Only PyInit_crenly is marked for export.
target_link_options(crenly PRIVATE -static-libgcc -static-libstdc++ -static -Wl,--gc-sections -s)
target_compile_options(crenly PRIVATE -ffunction-sections -fdata-sections)
