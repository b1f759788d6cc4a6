// ozatool: host tool for update files and the keys that sign and encipher them.
#include "tools/ozatool/ozatool.h"

#include <cstdio>
#include <cstring>

namespace {

const ozatool_command commands[] = {
    {"keygen", "[-e EXPONENT] [-b BITS] KEY.pem RECORD",
     "make an RSA key pair: private key in PEM, public key as a 144-byte record", keygen_main},
    {"keyrec", "KEY.pem RECORD", "write the 144-byte record of a PEM public or private RSA key",
     keyrec_main},
    {"aeskey", "[-b BITS] [-k HEX] RECORD",
     "write an AES key record (u16 bits, key bytes); random key unless -k", aeskey_main},
    {"keystore",
     "[--keys DIR] [--unit NAME] [--aes RECORD] [--image-key RECORD] [--slot N=RECORD]... "
     "(--block FILE | --mmc IMAGE [--length L])",
     "write the unit name and keys into a key-store block or an MMC image; without settings, "
     "list what it holds",
     keystore_main},
    {"pack", "MANIFEST -o FILE [-k KEY.pem] [-a AES-RECORD]",
     "make an update file from a JSON manifest (docs/update-format.md)", pack_main},
    {"info", "FILE [--key RECORD] [--aes RECORD] [--block FILE | --mmc IMAGE] [--builtin DIR]",
     "list the chunks of an update file, check its signature, show what the device refuses",
     info_main},
    {"verify", "FILE [--key RECORD] [--aes RECORD] [--block FILE | --mmc IMAGE] [--builtin DIR]",
     "check an update file as the device would open it: exit 0 valid, 1 refused, 2 trouble",
     verify_main},
    {"kernel", "-k KEY.pem -o OUT [-i INITRAMFS] [-e SIGNED_END] KERNEL",
     "make a signed kernel image: 256-byte header, the kernel, the optional initramfs",
     kernel_main},
    {"cramfs", "-k KEY.pem -o OUT [-v MAJOR.MINOR.REVISION] [-e SIGNED_END] IMAGE",
     "make a signed cramfs image: 160-byte header with the system version, then the image",
     cramfs_main},
};

void list_commands(FILE *out) {
    fprintf(out, "Usage: ozatool COMMAND [ARGUMENTS]\n\nCommands:\n");
    for (const ozatool_command &c : commands)
        fprintf(out, "  %-8s %s\n           %s\n", c.name, c.arguments, c.summary);
    fprintf(out, "\nThe update-file format and the manifest are described in "
                 "docs/update-format.md.\n");
}

} // namespace

int usage(const char *name) {
    for (const ozatool_command &c : commands)
        if (strcmp(c.name, name) == 0)
            fprintf(stderr, "Usage: ozatool %s %s\n", c.name, c.arguments);
    return 2;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        list_commands(stderr);
        return 2;
    }
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0 ||
        strcmp(argv[1], "help") == 0) {
        list_commands(stdout);
        return 0;
    }
    for (const ozatool_command &c : commands)
        if (strcmp(c.name, argv[1]) == 0) return c.run(argc - 1, argv + 1);
    fprintf(stderr, "ozatool: unknown command '%s'\n", argv[1]);
    list_commands(stderr);
    return 2;
}
