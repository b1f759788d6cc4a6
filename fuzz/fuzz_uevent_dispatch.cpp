// Fuzzes the uevent value lookup and the dispatch to filter records with
// arbitrary received messages. The records are the daemon's kinds of
// required pairs with handlers that check what they are given instead of
// acting on the device.
#include "adev/event.h"
#include "adev/filter.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

std::string_view received;

// A value lies inside the message, right after "key=", and holds no NUL.
void check_value(std::string_view key) {
    std::optional<std::string_view> v = event_value(received, key);
    if (!v) return;
    const char *begin = received.data(), *end = received.data() + received.size();
    if (v->data() < begin + key.size() + 1 || v->data() + v->size() >= end) abort();
    if (v->data()[-1] != '=' || memcmp(v->data() - 1 - key.size(), key.data(), key.size()) != 0)
        abort();
    if (v->find('\0') != std::string_view::npos || v->data()[v->size()] != '\0') abort();
}

const char *const keys[] = {"ACTION", "DEVPATH",     "SUBSYSTEM",    "DEVNAME", "MAJOR",
                            "MINOR",  "SWITCH_NAME", "SWITCH_STATE", "DRIVER",  "A"};

int check_message(std::string_view message) {
    if (message.data() != received.data() || message.size() != received.size()) abort();
    for (const char *key : keys) check_value(key);
    char field[36];
    if (auto v = event_value(message, "DEVPATH");
        v && copy_event_text(field, *v) && strlen(field) != v->size())
        abort();
    return 0;
}

constexpr filter_pair block[] = {{"SUBSYSTEM", "block"}, {nullptr, nullptr}};
constexpr filter_pair usb[] = {{"ACTION", "change"},
                               {"SUBSYSTEM", "switch"},
                               {"SWITCH_NAME", "USB_SWITCH"},
                               {nullptr, nullptr}};
constexpr filter_pair gadget[] = {
    {"SUBSYSTEM", "platform"}, {"DRIVER", "norvel_gadget_detect"}, {nullptr, nullptr}};
constexpr filter_pair hdmi[] = {{"SUBSYSTEM", "switch"},
                                {"DEVPATH", "/devices/virtual/switch/hdmi"},
                                {"ACTION", "change"},
                                {nullptr, nullptr}};
constexpr filter_pair misc[] = {{"SUBSYSTEM", "misc"}, {"ACTION", "add"}, {nullptr, nullptr}};
constexpr filter_pair every[] = {{nullptr, nullptr}};

// Each string of the message, visited in order, covers it exactly.
int check_strings(std::string_view message) {
    size_t covered = 0;
    for_each_event_string(message, [&](std::string_view s) {
        if (s.data() != message.data() + covered || s.find('\0') != std::string_view::npos) abort();
        covered += s.size() + 1;
    });
    if (covered < message.size() || covered > message.size() + 1) abort();
    return 0;
}

const filter_record records[] = {
    {"uevent block_filter", check_message, nullptr, block},
    {"usb switch state monitor", check_message, nullptr, usb},
    {"gadget_detect filter", check_message, nullptr, gadget},
    {"hdmi_insert_remove filter", check_message, nullptr, hdmi},
    {"misc devnodes", check_message, nullptr, misc},
    {"strings", check_strings, nullptr, every},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static filter_chain chain;
    static filter_node nodes[std::size(records)];
    if (chain.head == nullptr)
        for (size_t i = 0; i < std::size(records); ++i) {
            nodes[i].record = &records[i];
            filter_chain_insert(chain, nodes[i]);
        }
    received = std::string_view(reinterpret_cast<const char *>(data), size);
    int matched = dispatch_event(chain, received);
    if (matched < 1 || matched > static_cast<int>(std::size(records))) abort();
    return 0;
}
