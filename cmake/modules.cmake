# The product's folders are modules, each a library that may include only its
# own headers and those of the folders below it:
#
#   core -> crypto, formats -> flash, sysinfo -> update -> install, adev
#        -> devtools -> applets
#
# A module's sources are compiled with one include directory, its "sees"
# directory: ${CMAKE_BINARY_DIR}/sees/<module>/ holds a symbolic link per
# folder the module may use and nothing else. An include of any other folder
# is not found, so a wrong-direction include fails the build.
#
# crypto and formats do not depend on the configuration and are built once;
# the others are built per configuration (full and basic). The applets are an
# object library and the event filters' archive is linked whole, so that
# every registration made by a static initialiser is kept.

cmake_path(GET CMAKE_CURRENT_LIST_DIR PARENT_PATH varitool_modules_root)

# The folders each module may include, besides its own.
set(varitool_sees_core "")
set(varitool_sees_crypto core)
set(varitool_sees_formats core)
set(varitool_sees_flash core crypto)
set(varitool_sees_sysinfo core)
set(varitool_sees_update core crypto formats flash)
set(varitool_sees_install core sysinfo update)
set(varitool_sees_adev core sysinfo)
set(varitool_sees_devtools core crypto flash sysinfo)
set(varitool_sees_applets core crypto formats flash sysinfo update install adev devtools)
set(VARITOOL_MODULES core crypto formats flash sysinfo update install adev devtools applets)

# Makes ${CMAKE_BINARY_DIR}/sees/<module>/ afresh and sets var to it.
function(varitool_sees_dir module var)
  set(dir "${CMAKE_BINARY_DIR}/sees/${module}")
  file(MAKE_DIRECTORY "${dir}")
  file(GLOB old LIST_DIRECTORIES true "${dir}/*")
  foreach(entry IN LISTS old)
    # A link is removed itself; what it names is left alone.
    file(REMOVE "${entry}")
  endforeach()
  foreach(folder IN ITEMS ${module} ${varitool_sees_${module}})
    file(CREATE_LINK "${varitool_modules_root}/${folder}" "${dir}/${folder}" SYMBOLIC)
  endforeach()
  set(${var} "${dir}" PARENT_SCOPE)
endfunction()

# varitool_module(TARGET MODULE KIND [SOURCES...] [DEPENDS targets...])
# Adds library TARGET of KIND (STATIC or OBJECT) from the module's sources
# (all of MODULE/*.cpp when none are given), compiled against the module's
# sees directory only and linked with the DEPENDS targets.
function(varitool_module target module kind)
  cmake_parse_arguments(arg "" "" "SOURCES;DEPENDS" ${ARGN})
  if(NOT arg_SOURCES)
    file(GLOB arg_SOURCES CONFIGURE_DEPENDS "${varitool_modules_root}/${module}/*.cpp")
  endif()
  varitool_sees_dir(${module} sees)
  add_library(${target} ${kind} ${arg_SOURCES})
  target_include_directories(${target} PRIVATE "${sees}" "${CMAKE_BINARY_DIR}/generated")
  target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64)
  target_compile_options(${target} PRIVATE ${VARITOOL_WARNINGS})
  if(arg_DEPENDS)
    target_link_libraries(${target} PUBLIC ${arg_DEPENDS})
  endif()
endfunction()

# The cryptographic primitives and key records (crypto/), as library TARGET.
# The keys built into the program are a library of their own
# (varitool_builtin_keys), made only where the key records are configured.
function(varitool_crypto_library target)
  varitool_module(${target} crypto STATIC SOURCES
      ${varitool_modules_root}/crypto/aes.cpp ${varitool_modules_root}/crypto/md5.cpp
      ${varitool_modules_root}/crypto/bignum.cpp ${varitool_modules_root}/crypto/rsa.cpp
      ${varitool_modules_root}/crypto/lookup3.cpp ${varitool_modules_root}/crypto/keyrec.cpp)
endfunction()

# The update file's parameter records and the boot tag patch (formats/).
function(varitool_formats_library target)
  varitool_module(${target} formats STATIC)
endfunction()

# The modules of one configuration: varitool_<module>_NAME for each folder,
# and the applets as the object library varitool_NAME, which links them all.
function(varitool_configuration_modules name basic)
  set(defs VARITOOL_BASIC=${basic})
  if(basic)
    list(APPEND defs VARITOOL_HAVE_PNG=0)
  else()
    list(APPEND defs VARITOOL_HAVE_PNG=1)
  endif()
  file(GLOB core_sources CONFIGURE_DEPENDS "${varitool_modules_root}/core/*.cpp")
  list(FILTER core_sources EXCLUDE REGEX "/core/main[.]cpp$")
  varitool_module(varitool_core_${name} core STATIC SOURCES ${core_sources}
                  DEPENDS Threads::Threads)
  varitool_module(varitool_flash_${name} flash STATIC
                  DEPENDS varitool_builtin_keys varitool_crypto varitool_core_${name})
  varitool_module(varitool_sysinfo_${name} sysinfo STATIC DEPENDS varitool_core_${name})
  varitool_module(varitool_update_${name} update STATIC
                  DEPENDS varitool_flash_${name} varitool_formats varitool_builtin_keys
                          varitool_crypto varitool_core_${name})
  varitool_module(varitool_install_${name} install STATIC
                  DEPENDS varitool_update_${name} varitool_sysinfo_${name}
                          varitool_core_${name})
  varitool_module(varitool_adev_${name} adev STATIC
                  DEPENDS varitool_sysinfo_${name} varitool_core_${name})
  varitool_module(varitool_devtools_${name} devtools STATIC
                  DEPENDS varitool_flash_${name} varitool_sysinfo_${name}
                          varitool_crypto varitool_core_${name})
  if(NOT basic)
    target_link_libraries(varitool_devtools_${name} PUBLIC PNG::PNG ZLIB::ZLIB)
  endif()
  # The event filters register themselves from static initialisers, which
  # nothing else refers to: their archive is linked whole.
  varitool_module(varitool_${name} applets OBJECT
                  DEPENDS varitool_install_${name} "$<LINK_LIBRARY:WHOLE_ARCHIVE,varitool_adev_${name}>"
                          varitool_devtools_${name} varitool_update_${name})
  foreach(module IN LISTS VARITOOL_MODULES)
    if(module STREQUAL "crypto" OR module STREQUAL "formats")
      continue()
    elseif(module STREQUAL "applets")
      set(t varitool_${name})
    else()
      set(t varitool_${module}_${name})
    endif()
    target_compile_definitions(${t} PRIVATE ${defs})
  endforeach()
  # What links the applets (the executable, tests, drivers) sees every folder
  # and builds with the configuration's definitions.
  target_include_directories(varitool_${name} INTERFACE "${varitool_modules_root}"
                             "${CMAKE_BINARY_DIR}/generated")
  target_compile_definitions(varitool_${name} INTERFACE ${defs} _FILE_OFFSET_BITS=64)
endfunction()
