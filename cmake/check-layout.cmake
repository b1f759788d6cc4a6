# The module boundaries hold (see modules.cmake). Run as
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DCXX=... -P check-layout.cmake
# 1. Each module's sees directory lets the preprocessor find the headers of
#    exactly the folders the module may use: a probe per module asks
#    __has_include for one file of every folder.
# 2. Every product source in a module folder is compiled with that module's
#    sees directory and the generated headers as its only include
#    directories in the tree (read from the build's compile_commands.json),
#    so nothing reaches around the boundary through the project root.
cmake_minimum_required(VERSION 3.25)
include("${SOURCE_DIR}/cmake/modules.cmake")

set(failures "")

# One file of each folder to probe for: a header where there is one.
foreach(folder IN LISTS VARITOOL_MODULES)
  file(GLOB headers RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${folder}/*.h")
  if(NOT headers)
    file(GLOB headers RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${folder}/*.cpp")
  endif()
  list(GET headers 0 probe_${folder})
endforeach()

set(probe_dir "${BINARY_DIR}/layout-probe")
file(MAKE_DIRECTORY "${probe_dir}")
foreach(module IN LISTS VARITOOL_MODULES)
  set(text "")
  foreach(folder IN LISTS VARITOOL_MODULES)
    if(folder STREQUAL module OR folder IN_LIST varitool_sees_${module})
      set(expected 1)
      set(verdict "may use")
    else()
      set(expected 0)
      set(verdict "must not see")
    endif()
    string(APPEND text "#if __has_include(\"${probe_${folder}}\") != ${expected}\n"
                       "#error \"${module} ${verdict} ${folder}/\"\n#endif\n")
  endforeach()
  # Nor the project's root, from which every folder would be reachable.
  string(APPEND text "#if __has_include(\"CMakeLists.txt\")\n"
                     "#error \"${module} sees the project root\"\n#endif\n")
  file(WRITE "${probe_dir}/${module}.cpp" "${text}")
  execute_process(COMMAND "${CXX}" -std=c++20 -E -I "${BINARY_DIR}/sees/${module}"
                          "${probe_dir}/${module}.cpp" -o /dev/null
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REGEX MATCHALL "#error [^\n]*" errors "${err}")
    list(APPEND failures "${module}: ${errors}")
  endif()
endforeach()

file(READ "${BINARY_DIR}/compile_commands.json" commands)
string(JSON count LENGTH "${commands}")
math(EXPR last "${count} - 1")
set(checked 0)
foreach(i RANGE ${last})
  string(JSON file GET "${commands}" ${i} file)
  string(JSON command GET "${commands}" ${i} command)
  if(NOT file MATCHES "^${SOURCE_DIR}/([a-z]+)/[^/]+[.]cpp$")
    continue()
  endif()
  set(module "${CMAKE_MATCH_1}")
  # main.cpp is the executable's entry: it sees every folder, as the
  # applets do.
  if(NOT module IN_LIST VARITOOL_MODULES OR file STREQUAL "${SOURCE_DIR}/core/main.cpp")
    continue()
  endif()
  separate_arguments(words UNIX_COMMAND "${command}")
  set(next_is_dir OFF)
  foreach(word IN LISTS words)
    set(dir "")
    if(next_is_dir)
      set(dir "${word}")
      set(next_is_dir OFF)
    elseif(word MATCHES "^-(I|isystem|iquote|idirafter)$")
      set(next_is_dir ON)
    elseif(word MATCHES "^-(I|iquote)(.+)$")
      set(dir "${CMAKE_MATCH_2}")
    endif()
    # Directories outside the tree (the system's libraries) reach no folder.
    if(dir AND (dir MATCHES "^${SOURCE_DIR}(/|$)" OR dir MATCHES "^${BINARY_DIR}(/|$)")
       AND NOT dir STREQUAL "${BINARY_DIR}/sees/${module}"
       AND NOT dir STREQUAL "${BINARY_DIR}/generated")
      list(APPEND failures "${file} is compiled with -I ${dir}")
    endif()
  endforeach()
  math(EXPR checked "${checked} + 1")
endforeach()
if(checked EQUAL 0)
  list(APPEND failures "no module source in ${BINARY_DIR}/compile_commands.json")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "module boundaries broken:\n  ${text}")
endif()
message(STATUS "module boundaries hold (${checked} compilations checked)")
