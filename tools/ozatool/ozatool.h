// ozatool: one subcommand per file, listed in the table of main.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <openssl/evp.h>
#include <string>
#include <vector>

using bytes = std::vector<unsigned char>;

struct ozatool_command {
    const char *name;
    const char *arguments;             // synopsis after the subcommand's name
    const char *summary;               // one line for the command list
    int (*run)(int argc, char **argv); // argv[0] is the subcommand's name
    const char *details;               // the options, for --help
};

int keygen_main(int argc, char **argv);
int keyrec_main(int argc, char **argv);
int aeskey_main(int argc, char **argv);
int keystore_main(int argc, char **argv);
int pack_main(int argc, char **argv);
int info_main(int argc, char **argv);
int verify_main(int argc, char **argv);
int kernel_main(int argc, char **argv);
int cramfs_main(int argc, char **argv);
int resign_main(int argc, char **argv);
int extract_main(int argc, char **argv);
int rotate_main(int argc, char **argv);
int params_main(int argc, char **argv);
int try_main(int argc, char **argv);

// Shared helpers (common.cpp).

// Prints "ozatool NAME: message" and OpenSSL's queued errors on standard
// error; returns 1, the subcommands' failure status.
int fail(const char *name, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Prints the subcommand's synopsis on standard error; returns 2.
int usage(const char *name);
// Prints the subcommand's help on standard output; returns 0.
int help(const char *name);
// Parses a decimal or 0x-prefixed hexadecimal unsigned 64-bit number.
bool parse_u64(const char *text, uint64_t *value);
// Parses hexadecimal text into bytes; spaces, tabs, newlines and ':' between
// the pairs of digits are ignored. False on any other character or an odd
// number of digits.
bool parse_hex(const std::string &text, bytes *out);
// The bytes as lower-case hexadecimal text.
std::string hex_text(const unsigned char *data, size_t n);
// Reads the whole file at path ("-": standard input); false on failure, with
// errno set.
bool read_whole(const std::string &path, bytes *out);
// path made absolute against the current folder.
std::string absolute_path(const std::string &path);
// True when the folder does not exist or holds nothing.
bool folder_empty_or_absent(const std::string &dir);

// Fills the 144-byte public-key record of an RSA key, checksum included.
// Fails (false, with a message) when the modulus exceeds 1024 bits or the
// exponent 64 bits.
bool make_key_record(const char *name, EVP_PKEY *key, unsigned char record[144]);

// The signature block of a 16-byte MD5 digest: the textbook RSA private
// operation with the PEM key on the digest taken as a little-endian number
// (digest byte 0 least significant), written as 128 little-endian bytes.
// False with a message in error when the key cannot be read, is not RSA or
// its modulus exceeds 1024 bits.
bool sign_digest(const std::string &pem, const unsigned char digest[16], unsigned char block[128],
                 std::string *error);
