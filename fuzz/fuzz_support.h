// Helpers the fuzz targets share: inputs handed to code that takes a path,
// and the repository's development key records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Stores data in an anonymous memory file (one per name, reused across
// inputs) and returns a path that opens it. Aborts when it cannot.
const char *memory_file(const char *name, const void *data, size_t size);

// The bytes of keys/development/<file> in the source tree; aborts when the
// file cannot be read.
std::vector<unsigned char> development_file(const std::string &file);

// Signs bytes as an update file's signature block with the development
// private key in keys/development/<pem>: the textbook RSA private operation
// on the MD5 digest of bytes (digest byte 0 least significant), as 128
// little-endian bytes. Aborts when the key cannot be used.
void sign_update_block(const std::string &pem, const unsigned char *bytes, size_t n,
                       unsigned char block[128]);

// AES-CBC encryption in place of the whole blocks of data[0, n) with the key
// of an AES key record (u16 bits, key) and iv.
void encipher_blocks(const std::vector<unsigned char> &key_record, const unsigned char iv[16],
                     unsigned char *data, size_t n);
