// The MAC store at the start of ParamStore_Prod: magic and flag bits, then
// the Wi-Fi and Ethernet addresses, each with its last printed octet first.
// Also the generation of a locally administered address when the store is
// missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr int32_t mac_store_size = 24;
inline constexpr uint32_t mac_store_mask = 0xFFFF0000;
inline constexpr uint32_t mac_store_magic = 0x822C0000;
inline constexpr uint32_t mac_store_wifi_bit = 1, mac_store_ethernet_bit = 2;
inline constexpr size_t mac_store_wifi = 4, mac_store_ethernet = 10; // 6 bytes each

// Generated addresses: this prefix and two octets, "%s%02x:%02x".
inline constexpr char generated_mac_prefix[] = "02:a7:3e:5d:";
inline constexpr size_t mac_text_length = 17;
inline constexpr int generated_fifth_low = 0xd0, generated_fifth_high = 0xd4;
inline constexpr int generated_sixth_low = 0, generated_sixth_high = 255;

// True on the board that has an Ethernet port besides Wi-Fi.
bool board_has_ethernet();

// Reads the store into store (zeros when the read fails) and checks its
// magic, its Wi-Fi bit and, with ethernet, its Ethernet bit. With report each
// failure prints its line on standard error. 0 or -1.
int mac_store_check(unsigned char store[mac_store_size], bool ethernet, bool report);

// Prints the 6 stored bytes at mac as "xx:xx:xx:xx:xx:xx\n", last byte first.
void mac_print(FILE *out, const unsigned char *mac);

// The pick of the seeded generator: seeds the standard generator with seed
// and returns entry r mod (n - 1) of the n values low..high (at most 256), r
// being the generator's first value, so high itself is never returned. -1
// for an empty or over-long range.
int mac_pick(int low, int high, unsigned seed);

// mac_pick seeded with the current time in seconds; -1 when the time cannot
// be read.
int mac_pick_now(int low, int high);

// Writes the prefix followed by the two octets into text (the bare prefix
// when either is negative: a failed pick). True when the result has the 17
// characters of an address.
bool generated_mac_text(char (&text)[mac_text_length + 1], int fifth, int sixth);

// Parses a 17-character address into the store's Wi-Fi bytes (first octet
// to byte 9, sixth to byte 4). False, with nothing changed, on anything else.
bool mac_text_to_store(const char *text, unsigned char store[mac_store_size]);
