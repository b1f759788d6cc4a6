# Fails when EXECUTABLE loads a shared library matching one of the regular
# expressions in FORBIDDEN, or does not load one matching each of REQUIRED
# (which shows that the listing was read at all).
execute_process(COMMAND ldd ${EXECUTABLE} OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "ldd ${EXECUTABLE} failed")
endif()
foreach(pattern IN LISTS FORBIDDEN)
  if(listing MATCHES "(^|[\n\t /])(${pattern})")
    message(FATAL_ERROR "${EXECUTABLE} loads ${CMAKE_MATCH_2}:\n${listing}")
  endif()
endforeach()
foreach(pattern IN LISTS REQUIRED)
  if(NOT listing MATCHES "(^|[\n\t /])(${pattern})")
    message(FATAL_ERROR "${EXECUTABLE} does not load ${pattern}:\n${listing}")
  endif()
endforeach()
