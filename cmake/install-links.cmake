# Run by `cmake --install`: one symbolic link per applet in the install
# directory, each naming the executable beside it, the way a multi-call tool
# is installed. The applets are the lines of the applet list
# (core/applet_list.h), read now so that the links follow the list the
# build holds.
# Set by the install rule: varitool_executable (file name of the installed
# executable), varitool_link_dir (directory below the prefix),
# varitool_applet_list (the list's path).
set(installed "${CMAKE_INSTALL_PREFIX}/${varitool_link_dir}")
string(REGEX REPLACE "/+" "/" installed "${installed}")
set(dir "$ENV{DESTDIR}${installed}")
set(names "")
# Read whole: the list's lines end in backslashes, which would join a list
# of lines.
file(READ "${varitool_applet_list}" text)
string(REGEX MATCHALL "\n *X\\([A-Za-z0-9_]+, *\"[^\"\n]+\"" entries "${text}")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".*\"([^\"]+)\"$" "\\1" name "${entry}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
list(REMOVE_DUPLICATES names)
if(names STREQUAL "")
  message(FATAL_ERROR "no applet found in ${varitool_applet_list}")
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
