# The key records built into the program are deployment data: VARITOOL_KEY_DIR
# names the directory they come from. Configuring writes their bytes into
# ${CMAKE_BINARY_DIR}/generated/builtin_key_data.h and fails when a record is
# missing or has the wrong size; changing a record re-runs the configuration.
set(VARITOOL_KEY_DIR "${CMAKE_SOURCE_DIR}/keys/development" CACHE PATH
    "Directory holding slot5.keyrec, fallback.keyrec and aes_default.keyrec, built into the program")

# Sets var to the bytes of VARITOOL_KEY_DIR/name as a C initialiser list,
# after checking that the file holds exactly size bytes.
function(varitool_key_bytes name size var)
  set(path "${VARITOOL_KEY_DIR}/${name}")
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "VARITOOL_KEY_DIR: key record ${path} is missing")
  endif()
  file(SIZE "${path}" actual)
  if(NOT actual EQUAL size)
    message(FATAL_ERROR "VARITOOL_KEY_DIR: key record ${path} holds ${actual} bytes, not ${size}")
  endif()
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
  string(STRIP "${bytes}" bytes)
  set(${var} "${bytes}" PARENT_SCOPE)
endfunction()

varitool_key_bytes(slot5.keyrec 144 VARITOOL_SLOT5_KEY_BYTES)
varitool_key_bytes(fallback.keyrec 144 VARITOOL_FALLBACK_KEY_BYTES)
varitool_key_bytes(aes_default.keyrec 18 VARITOOL_AES_KEY_BYTES)

file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/generated/builtin_key_data.h" @ONLY CONTENT
"// Written by CMake from the key records in
// @VARITOOL_KEY_DIR@
// (the VARITOOL_KEY_DIR cache option); do not edit.
#pragma once

#define BUILTIN_SLOT5_KEY_BYTES @VARITOOL_SLOT5_KEY_BYTES@
#define BUILTIN_FALLBACK_KEY_BYTES @VARITOOL_FALLBACK_KEY_BYTES@
#define BUILTIN_AES_KEY_BYTES @VARITOOL_AES_KEY_BYTES@
")
