// The built-in records come from the key directory the build was configured
// with (VARITOOL_KEY_DIR); CMake writes their bytes into the header below.
#include "crypto/keyrec.h"

#include "builtin_key_data.h"

const unsigned char builtin_slot5_key[key_record_size] = {BUILTIN_SLOT5_KEY_BYTES};
const unsigned char builtin_fallback_key[key_record_size] = {BUILTIN_FALLBACK_KEY_BYTES};
const unsigned char builtin_aes_key[aes_key_record_size] = {BUILTIN_AES_KEY_BYTES};
