# Fails when a C or C++ source of the project differs from its clang-format form.
file(GLOB_RECURSE sources
     ${SOURCE_DIR}/core/*.[ch] ${SOURCE_DIR}/core/*.cpp ${SOURCE_DIR}/core/*.h
     ${SOURCE_DIR}/update/*.cpp ${SOURCE_DIR}/update/*.h
     ${SOURCE_DIR}/flash/*.cpp ${SOURCE_DIR}/flash/*.h
     ${SOURCE_DIR}/sysinfo/*.cpp ${SOURCE_DIR}/sysinfo/*.h
     ${SOURCE_DIR}/adev/*.cpp ${SOURCE_DIR}/adev/*.h
     ${SOURCE_DIR}/applets/*.cpp ${SOURCE_DIR}/applets/*.h
     ${SOURCE_DIR}/fuzz/*.cpp ${SOURCE_DIR}/fuzz/*.h
     ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h ${SOURCE_DIR}/tests/*.c
     ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h ${SOURCE_DIR}/tools/*.c
     ${SOURCE_DIR}/bench/*.cpp ${SOURCE_DIR}/bench/*.h)
list(FILTER sources EXCLUDE REGEX "/fuzz/corpus/")
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${sources}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "clang-format: the files above need formatting (run tools/format)")
endif()
