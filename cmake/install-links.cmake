# Run by `cmake --install`: one symbolic link per applet in the install
# directory, each naming the executable beside it, the way a multi-call tool
# is installed. The applets are the VARITOOL_APPLET(...) registrations of the
# sources, read now so that the links follow the applets the build holds.
# Set by the install rule: varitool_executable (file name of the installed
# executable), varitool_link_dir (directory below the prefix), varitool_sources.
set(installed "${CMAKE_INSTALL_PREFIX}/${varitool_link_dir}")
string(REGEX REPLACE "/+" "/" installed "${installed}")
set(dir "$ENV{DESTDIR}${installed}")
set(names "")
foreach(source IN LISTS varitool_sources)
  file(STRINGS "${source}" lines REGEX "^VARITOOL_APPLET\\(")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^VARITOOL_APPLET\\([A-Za-z0-9_]+, *\"([^\"]+)\"")
      message(FATAL_ERROR "${source}: cannot read the applet name in: ${line}")
    endif()
    list(APPEND names "${CMAKE_MATCH_1}")
  endforeach()
endforeach()
list(SORT names)
list(REMOVE_DUPLICATES names)
if(names STREQUAL "")
  message(FATAL_ERROR "no applet registration found in the sources")
endif()
foreach(name IN LISTS names)
  if(name STREQUAL varitool_executable)
    message(FATAL_ERROR "applet ${name} has the executable's own name")
  endif()
  message(STATUS "Installing: ${dir}/${name} -> ${varitool_executable}")
  file(REMOVE "${dir}/${name}")
  file(CREATE_LINK "${varitool_executable}" "${dir}/${name}" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${installed}/${name}")
endforeach()
