# varitool_configuration(NAME BASIC EXECUTABLE)
# Builds the modules of one configuration (see modules.cmake), the applets
# as the object library varitool_NAME (linked whole into anything that links
# it, so every applet's registration is kept) and the executable EXECUTABLE. Installs
# EXECUTABLE into <prefix>/sbin with one symbolic link per applet beside it,
# as the install component EXECUTABLE; the basic configuration's component is
# installed only when asked for (cmake --install ... --component
# varitool-basic), since both would give the applets' links.
function(varitool_configuration name basic executable)
  set(objs varitool_${name})
  varitool_configuration_modules(${name} ${basic})

  add_executable(${executable} core/main.cpp)
  target_compile_options(${executable} PRIVATE ${VARITOOL_WARNINGS})
  target_link_libraries(${executable} PRIVATE ${objs})
  if(VARITOOL_STATIC)
    target_link_options(${executable} PRIVATE -static)
  endif()

  if(basic)
    set(only_when_asked EXCLUDE_FROM_ALL)
  else()
    set(only_when_asked "")
  endif()
  install(TARGETS ${executable} RUNTIME DESTINATION ${VARITOOL_APPLET_DIR}
          COMPONENT ${executable} ${only_when_asked})
  install(CODE "set(varitool_executable \"${executable}\")
                set(varitool_link_dir \"${VARITOOL_APPLET_DIR}\")
                set(varitool_applet_list \"${CMAKE_SOURCE_DIR}/core/applet_list.h\")
                include(\"${CMAKE_SOURCE_DIR}/cmake/install-links.cmake\")"
          COMPONENT ${executable} ${only_when_asked})
endfunction()
