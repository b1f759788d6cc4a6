# varitool_configuration(NAME BASIC EXECUTABLE)
# Builds the product objects of one configuration as the object library
# varitool_NAME (linked whole into anything that links it, so every applet's
# registration is kept) and the executable EXECUTABLE from them.
function(varitool_configuration name basic executable)
  set(objs varitool_${name})
  add_library(${objs} OBJECT ${VARITOOL_SOURCES})
  target_include_directories(${objs} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
  target_compile_definitions(${objs} PUBLIC VARITOOL_BASIC=${basic} _FILE_OFFSET_BITS=64)
  target_compile_options(${objs} PRIVATE ${VARITOOL_WARNINGS})
  target_link_libraries(${objs} PUBLIC Threads::Threads)
  if(NOT basic)
    target_compile_definitions(${objs} PUBLIC VARITOOL_HAVE_PNG=1)
    target_link_libraries(${objs} PUBLIC PNG::PNG ZLIB::ZLIB)
  else()
    target_compile_definitions(${objs} PUBLIC VARITOOL_HAVE_PNG=0)
  endif()

  add_executable(${executable} core/main.cpp)
  target_compile_options(${executable} PRIVATE ${VARITOOL_WARNINGS})
  target_link_libraries(${executable} PRIVATE ${objs})
endfunction()
