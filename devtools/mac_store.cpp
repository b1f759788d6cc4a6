// The store is read from ParamStore_Prod and checked for its magic, the Wi-Fi bit and, on
// boards with Ethernet, the Ethernet bit. A generated address takes its last two octets from
// rand() seeded with the current time.
#include "devtools/mac_store.h"

#include "core/byteorder.h"
#include "flash/params.h"
#include "flash/storage.h"
#include "sysinfo/board.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

bool board_has_ethernet() {
    return strcmp(board_product_name(), "ZEMO") == 0;
}

int mac_store_check(unsigned char store[mac_store_size], bool ethernet, bool report) {
    if (param_read(param_prod, prod_mac_store_offset, store, mac_store_size) < 0) {
        memset(store, 0, mac_store_size);
        if (report) fprintf(stderr, "Couldn't read store\n");
        return -1;
    }
    const uint32_t word = load_le32(store);
    const char *fault = nullptr;
    if ((word & mac_store_mask) != mac_store_magic) {
        if (report)
            fprintf(stderr,
                    "Store magic error %x (param->magic & MAC_STORE_MASK) != MAC_STORE_MAGIC\n",
                    word);
        return -1;
    }
    if ((word & mac_store_wifi_bit) == 0)
        fault = "Device should have Wifi bit\n";
    else if (ethernet && (word & mac_store_ethernet_bit) == 0)
        fault = "Device should have Ethernet bit\n";
    if (fault == nullptr) return 0;
    if (report) fputs(fault, stderr);
    return -1;
}

void mac_print(FILE *out, const unsigned char *mac) {
    fprintf(out, "%02x:%02x:%02x:%02x:%02x:%02x\n", mac[5], mac[4], mac[3], mac[2], mac[1], mac[0]);
}

int mac_pick(int low, int high, unsigned seed) {
    const int n = high - low + 1;
    if (n < 2 || n > 256) return -1;
    int values[256];
    for (int i = 0; i < n; ++i) values[i] = low + i;
    srand(seed);
    return values[rand() % (n - 1)];
}

int mac_pick_now(int low, int high) {
    const time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) return -1;
    return mac_pick(low, high, static_cast<unsigned>(now));
}

bool generated_mac_text(char (&text)[mac_text_length + 1], int fifth, int sixth) {
    if (fifth < 0 || sixth < 0)
        snprintf(text, sizeof text, "%s", generated_mac_prefix);
    else
        snprintf(text, sizeof text, "%s%02x:%02x", generated_mac_prefix, unsigned(fifth) & 0xFF,
                 unsigned(sixth) & 0xFF);
    return strlen(text) == mac_text_length;
}

bool mac_text_to_store(const char *text, unsigned char store[mac_store_size]) {
    if (strlen(text) != mac_text_length) return false;
    unsigned char octets[6];
    for (int i = 0; i < 6; ++i) {
        char pair[3] = {text[3 * i], text[3 * i + 1], '\0'};
        unsigned value;
        if (sscanf(pair, "%02x", &value) != 1) return false;
        octets[i] = static_cast<unsigned char>(value);
    }
    for (int i = 0; i < 6; ++i) store[mac_store_wifi + 5 - i] = octets[i];
    return true;
}
