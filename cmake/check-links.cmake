# Fails when EXECUTABLE loads a shared library matching one of the regular
# expressions in FORBIDDEN, or does not load one matching each of REQUIRED
# (which shows that the listing was read at all). The listing comes from ldd
# (every library loaded, also indirectly) or, for another processor's
# executable, from READELF (the libraries it names itself). With STATIC set,
# fails unless EXECUTABLE is fully static: no program interpreter and no
# shared library at all.
if(READELF)
  execute_process(COMMAND ${READELF} --program-headers --dynamic ${EXECUTABLE}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE result)
else()
  execute_process(COMMAND ldd ${EXECUTABLE} OUTPUT_VARIABLE listing RESULT_VARIABLE result)
endif()
if(STATIC)
  # ldd answers "not a dynamic executable" with a failure status.
  if(NOT READELF)
    message(FATAL_ERROR "STATIC needs READELF")
  endif()
  if(NOT result EQUAL 0 OR listing MATCHES "INTERP|[(]NEEDED[)]")
    message(FATAL_ERROR "${EXECUTABLE} is not fully static:\n${listing}")
  endif()
  return()
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "listing the libraries of ${EXECUTABLE} failed")
endif()
foreach(pattern IN LISTS FORBIDDEN)
  if(listing MATCHES "(^|[\n\t /[])(${pattern})")
    message(FATAL_ERROR "${EXECUTABLE} loads ${CMAKE_MATCH_2}:\n${listing}")
  endif()
endforeach()
foreach(pattern IN LISTS REQUIRED)
  if(NOT listing MATCHES "(^|[\n\t /[])(${pattern})")
    message(FATAL_ERROR "${EXECUTABLE} does not load ${pattern}:\n${listing}")
  endif()
endforeach()
