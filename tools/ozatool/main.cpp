// ozatool: host tool for update files and the keys that sign and encipher them.
#include "tools/ozatool/cli.h"
#include "tools/ozatool/ozatool.h"

#include <cstdio>
#include <cstring>

namespace {

// What the checking subcommands say of the device they check against.
#define CHECK_OPTIONS                                                                              \
    "  --key RECORD, --aes RECORD    the public-key record of the file's slot, the AES key "       \
    "record\n"                                                                                     \
    "  --block FILE, --mmc IMAGE     the device's key store (unit name, AES key, slot keys)\n"     \
    "  --box DIR                     a device box: its key store, parameter records, tags area\n"  \
    "                                and build\n"                                                  \
    "  --builtin DIR                 the records built into the program (slot5, fallback,\n"       \
    "                                aes_default; default: this build's key directory)\n"          \
    "  --unit NAME                   the device's unit name\n"                                     \
    "  --target full|basic           the build the device runs (default full)\n"                   \
    "  --params-file FILE            the device's /mnt/storage/System/System.bin (PARM ids)\n"     \
    "  --params-image FILE           its \"params\" area or ParamStore_3b (FPAR ids)\n"            \
    "  --update-path PATH            where the file will lie on the device\n"                      \
    "  --strict                      warnings count as errors\n"

const ozatool_command commands[] = {
    {"keygen", "[-e EXPONENT] [-b BITS] [--allow-weak-key] KEY.pem RECORD",
     "make an RSA key pair: private key in PEM, public key as a 144-byte record", keygen_main,
     "  -e EXPONENT       public exponent (default 65537; below 65537 is refused)\n"
     "  -b BITS           modulus size (default 1024, the most a record holds; below is refused)\n"
     "  --allow-weak-key  make a weak key anyway, for tests (prints a warning)\n"},
    {"keyrec", "[--allow-weak-key] KEY.pem RECORD",
     "write the 144-byte record of a PEM public or private RSA key", keyrec_main,
     "  --allow-weak-key  write the record of a weak key anyway (exponent below 65537 or\n"
     "                    modulus below 1024 bits), for tests; prints a warning\n"
     "  RECORD \"-\" writes standard output\n"},
    {"aeskey", "[-b BITS] [-k HEX] RECORD",
     "write an AES key record (u16 bits, key bytes); random key unless -k", aeskey_main,
     "  -b BITS   128 (default; the key store holds 128-bit keys), 192 or 256\n"
     "  -k HEX    the key instead of random bytes\n"},
    {"keystore",
     "[--keys DIR] [--unit NAME] [--aes RECORD] [--image-key RECORD] [--slot N=RECORD]... "
     "[--allow-weak-key] (--block FILE | --mmc IMAGE [--length L])",
     "write the unit name and keys into a key-store block or an MMC image; without settings, "
     "list what it holds",
     keystore_main,
     "  --keys DIR          image.keyrec, slot1.keyrec ... slot4.keyrec, aes.keyrec of DIR\n"
     "  --length L          on a fresh MMC image: the length at byte 512 (store at 520 + L)\n"
     "  --allow-weak-key    store weak public keys anyway, for tests (prints a warning)\n"},
    {"pack", "MANIFEST -o FILE [-k KEY.pem] [-a AES-RECORD] [--allow-refused] [checks]",
     "make an update file from a JSON manifest and check it with the device's rules", pack_main,
     "  -o FILE            the update file (\"-\": standard output)\n"
     "  -k KEY.pem         sign with this key instead of the manifest's\n"
     "  -a AES-RECORD      encipher with this key instead of the manifest's\n"
     "  --allow-refused    write a file the device would refuse or misread (for tests)\n"
     "checks (what the file is checked against):\n"
     "  --block FILE, --mmc IMAGE, --box DIR, --builtin DIR, --unit NAME, --target full|basic,\n"
     "  --params-file FILE, --params-image FILE, --update-path PATH, --strict (see verify)\n"},
    {"info", "FILE [checks] [--json]",
     "list the chunks of an update file, check its signature, show what the device refuses",
     info_main,
     CHECK_OPTIONS "  --json                        one JSON document on standard output\n"
                   "exit status: 0 valid, 1 refused or a check failed, 2 usage error or a key "
                   "missing\n"},
    {"verify", "FILE [checks] [--json]",
     "check an update file as the device would open and walk it: exit 0 valid, 1 refused, 2 "
     "cannot tell",
     verify_main,
     CHECK_OPTIONS "  --json                        one JSON document on standard output\n"
                   "exit status: 0 valid, 1 refused or a check failed, 2 usage error or a key "
                   "missing\n"},
    {"resign", "FILE -k KEY.pem [--slot N] -o OUT [checks]",
     "sign an update file again, for another slot or with another key", resign_main,
     "  -k KEY.pem     the new signing key\n"
     "  --slot N       the new signature slot (1 to 5; default: the file's)\n"
     "  -o OUT         the new file (\"-\": standard output; never the input itself)\n"
     "  --aes RECORD   the AES key of an enciphered file, to check the new slot's gate\n"
     "  --allow-refused  write it even when the device would refuse it\n"},
    {"extract", "FILE -d DIR [--aes RECORD] [checks]",
     "write every payload of an update file into a folder, with a manifest that packs back to "
     "the same bytes",
     extract_main,
     "  -d DIR         the folder (absent or empty): manifest.json and one file per payload\n"
     "  --aes RECORD   the AES key of an enciphered file (or a key store: --block, --mmc, "
     "--box)\n"
     "  --key-path PEM   the signing key the manifest names (default: the file's signature "
     "block is kept as it is)\n"},
    {"rotate",
     "(--mmc IMAGE | --box DIR | --length L) -k OLD.pem [--slot-of-file N] "
     "(--slot N=RECORD | --image-key RECORD | --aes RECORD | --unit NAME)... -o FILE",
     "make the update file that replaces keys or the unit name in a device's key store",
     rotate_main,
     "  --mmc IMAGE, --box DIR  the device's MMC layout: the key store's place is read from it\n"
     "  --length L         the length at byte 512 of the device's MMC, when no image is at hand\n"
     "  -k OLD.pem         the key the device holds now for the file's slot\n"
     "  --slot-of-file N   the slot the rotation file is signed for (1 or 2; default 1)\n"
     "  --slot N=RECORD    the new public key of slot N (1 to 4)\n"
     "  --image-key RECORD the new image-verification key\n"
     "  --aes RECORD       the new AES key (the file itself is enciphered with --old-aes)\n"
     "  --old-aes RECORD   encipher the rotation file with the device's current AES key\n"
     "  --iv HEX           the IV for --old-aes (32 hexadecimal digits)\n"
     "  --file-unit NAME   the unit the file is for (default: the device's, from its store)\n"
     "  --version V        the file's version (default: the target's oldest accepted)\n"
     "  --manifest         print the manifest instead of packing it\n"
     "  --allow-weak-key   store weak public keys anyway, for tests\n"},
    {"params", "(IMAGE | BOX) [--json] [--id N]",
     "list the typed parameter records of a params area, a System.bin or a device box", params_main,
     "  IMAGE      a \"params\" area image, the record ParamStore_3b, or a System.bin file\n"
     "  BOX        a device box: its ParamStore_3b and System.bin\n"
     "  --id N     only the records of identifier N\n"
     "  --json     one JSON document\n"},
    {"try",
     "FILE [--keys DIR] [--unit U] [--board B] [--basic] [--file BOX=HOST]... [--json] "
     "[--keep DIR]",
     "install an update file with the real ozaparser in a device box and show what changed",
     try_main,
     "  --keys DIR, --unit U, --board B, --basic    how the box is made (devbox init)\n"
     "  --init OPTION      any other devbox init option (repeatable: --init --charger "
     "--init dcin)\n"
     "  --file BOX=HOST    copy a host file into the box before the run (repeatable)\n"
     "  --at PATH          where the update file lies in the box (default /cache/update.oza)\n"
     "  --keep DIR         make the box in DIR (absent or empty) and keep it\n"
     "  --json             one JSON document\n"
     "  --exe PATH, --devbox PATH   the executable and the box tool (default: this build's)\n"
     "exit status: the installer's (0 success, 201 to 283 its result), 2 on a usage error\n"},
    {"kernel", "-k KEY.pem -o OUT [-i INITRAMFS] [-e SIGNED_END] KERNEL",
     "make a signed kernel image: 256-byte header, the kernel, the optional initramfs", kernel_main,
     "  -o OUT  the image (\"-\": standard output)\n"},
    {"cramfs", "-k KEY.pem -o OUT [-v MAJOR.MINOR.REVISION] [-e SIGNED_END] IMAGE",
     "make a signed cramfs image: 160-byte header with the system version, then the image",
     cramfs_main, "  -o OUT  the image (\"-\": standard output)\n"},
};

void list_commands(FILE *out) {
    fprintf(out, "Usage: ozatool [--version] COMMAND [ARGUMENTS]\n\nCommands:\n");
    for (const ozatool_command &c : commands)
        fprintf(out, "  %-8s %s\n           %s\n", c.name, c.arguments, c.summary);
    fprintf(out, "\nEvery command takes -h/--help, -q/--quiet and -v/--verbose. The update-file "
                 "format and the manifest are described in docs/update-format.md.\n");
}

const ozatool_command *find(const char *name) {
    for (const ozatool_command &c : commands)
        if (strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

} // namespace

int usage(const char *name) {
    if (const ozatool_command *c = find(name))
        fprintf(stderr, "Usage: ozatool %s %s\n(ozatool %s --help for more)\n", c->name,
                c->arguments, c->name);
    return 2;
}

int help(const char *name) {
    const ozatool_command *c = find(name);
    if (!c) return 2;
    printf("Usage: ozatool %s %s\n\n%s.\n\n%s", c->name, c->arguments, c->summary, c->details);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        list_commands(stderr);
        return 2;
    }
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0 ||
        strcmp(argv[1], "help") == 0) {
        if (argc > 2 && strcmp(argv[1], "help") == 0 && find(argv[2])) return help(argv[2]);
        list_commands(stdout);
        return 0;
    }
    if (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "version") == 0) {
        printf("%s\n", ozatool_version());
        return 0;
    }
    for (int i = 2; i < argc && strcmp(argv[i], "--") != 0; i++)
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s\n", ozatool_version());
            return 0;
        }
    if (const ozatool_command *c = find(argv[1])) return c->run(argc - 1, argv + 1);
    fprintf(stderr, "ozatool: unknown command '%s'\n", argv[1]);
    list_commands(stderr);
    return 2;
}
