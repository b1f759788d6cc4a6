// mactool: reads and checks the MAC store, and writes a new one with a
// generated Wi-Fi address when it is missing.
#include "core/applet.h"
#include "core/byteorder.h"
#include "core/config.h"
#include "devtools/mac_store.h"
#include "flash/params.h"
#include "flash/storage.h"

#include <cstdio>
#include <cstring>

namespace {

bool is_command(const char *word, const char *command) {
    return strncmp(word, command, strlen(command)) == 0;
}

// A new store: the generated Wi-Fi address in the bytes the check read.
// False after the generation failed (the text, as far as it got, is in mac).
bool generate_store(unsigned char store[mac_store_size], char (&mac)[mac_text_length + 1],
                    bool announce_failure) {
    const int fifth = mac_pick_now(generated_fifth_low, generated_fifth_high);
    const int sixth = mac_pick_now(generated_sixth_low, generated_sixth_high);
    const bool whole = generated_mac_text(mac, fifth, sixth);
    if (!whole && !announce_failure) return false;
    fprintf(stderr, "Generated Mac address : %s\n", mac);
    return whole && mac_text_to_store(mac, store);
}

// Full build.

int full_usage() {
    fprintf(stderr, "mactool : readstore | checkstore\n");
    return 1;
}

void full_readstore() {
    unsigned char store[mac_store_size] = {};
    const bool ethernet = board_has_ethernet();
    const int r = mac_store_check(store, ethernet, true);
    if (r != 0) {
        fprintf(stderr, "read mac returned %d\n", r);
        return;
    }
    printf("WIFI : ");
    mac_print(stdout, store + mac_store_wifi);
    if (ethernet) {
        printf("ETH : ");
        mac_print(stdout, store + mac_store_ethernet);
    }
}

void full_checkstore() {
    unsigned char store[mac_store_size] = {};
    const bool ethernet = board_has_ethernet();
    if (mac_store_check(store, ethernet, true) == 0) {
        fprintf(stderr, "Mac address present\n");
        return;
    }
    char mac[mac_text_length + 1] = {};
    if (!generate_store(store, mac, false)) {
        fprintf(stderr, "checkstore_mac_addr error\n");
        return;
    }
    store_le32(store,
               mac_store_magic | mac_store_wifi_bit | (ethernet ? mac_store_ethernet_bit : 0));
    const int r = param_write(param_prod, prod_mac_store_offset, store, mac_store_size);
    if (r < 0) fprintf(stderr, "write mac returned %d\n", r);
}

int mactool_full(int argc, char **argv) {
    if (argc <= 1) return full_usage();
    for (int i = 1; i < argc; ++i) {
        if (is_command(argv[i], "readstore")) {
            if (argc != 3 || i + 1 >= argc || strcmp(argv[i + 1], "mac") != 0) return full_usage();
            full_readstore();
        } else if (is_command(argv[i], "checkstore")) {
            full_checkstore();
        }
    }
    return 0;
}

// Basic build: one sub-command, no Ethernet.

int basic_usage(const char *self) {
    fprintf(stderr, "%s : readstore | checkstore\n", self);
    return 1;
}

// Writes the store; a failure prints "<what> returned -1" and gives -1.
int write_store(const unsigned char store[mac_store_size], const char *what) {
    if (param_write(param_prod, prod_mac_store_offset, store, mac_store_size) >= 0) return 0;
    fprintf(stderr, "%s returned %d\n", what, -1);
    return -1;
}

int mactool_basic(int argc, char **argv) {
    if (argc <= 1) return basic_usage(argv[0]);
    const char *command = argv[1];
    unsigned char store[mac_store_size] = {};
    if (is_command(command, "readstore")) {
        const int r = mac_store_check(store, false, false);
        if (r != 0) {
            fprintf(stderr, "read mac returned %d\n", r);
            return r;
        }
        mac_print(stdout, store + mac_store_wifi);
        return 0;
    }
    if (is_command(command, "checkstore")) {
        if (mac_store_check(store, false, false) == 0) {
            fprintf(stderr, "Mac address present\n");
            return 0;
        }
        char mac[mac_text_length + 1] = {};
        if (!generate_store(store, mac, true)) return basic_usage(argv[0]);
        store_le32(store, mac_store_magic | mac_store_wifi_bit);
        return write_store(store, "write mac");
    }
    if (is_command(command, "erasestore")) return write_store(store, "erase store");
    return basic_usage(argv[0]);
}

int mactool_main(int argc, char **argv) {
    if constexpr (basic_build)
        return mactool_basic(argc, argv);
    else
        return mactool_full(argc, argv);
}

} // namespace

VARITOOL_APPLET(mactool, mactool_main);
