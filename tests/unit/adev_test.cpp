// The device event daemon's core in-process: value lookup within exactly the
// received bytes, record matching, the chain's order and dispatch.
#include "adev/event.h"
#include "adev/filter.h"
#include "core/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// The message in a heap block of exactly its size, so that a read past its
// end is caught by the address sanitizer.
struct exact_message {
    std::unique_ptr<char[]> bytes;
    size_t size;
    explicit exact_message(const std::string &text)
        : bytes(new char[text.size() > 0 ? text.size() : 1]), size(text.size()) {
        memcpy(bytes.get(), text.data(), text.size());
    }
    std::string_view view() const { return {bytes.get(), size}; }
};

struct lookup_case {
    const char *what;
    std::string message;
    const char *key;
    std::optional<std::string> value;
};

TEST(EventValue, FindsTheValueWithinTheReceivedBytes) {
    const std::string usb = "change@/devices/virtual/switch/USB_SWITCH\0ACTION=change\0"
                            "SUBSYSTEM=switch\0SWITCH_NAME=USB_SWITCH\0SWITCH_STATE=DETACHED\0"s;
    const lookup_case cases[] = {
        {"an entry", usb, "SWITCH_STATE", "DETACHED"},
        {"the first entry", usb, "ACTION", "change"},
        {"a missing key", usb, "DEVNAME", std::nullopt},
        {"the summary is no entry", usb, "change@/devices/virtual/switch/USB_SWITCH", std::nullopt},
        {"the first of two", "a@b\0K=1\0K=2\0"s, "K", "1"},
        {"a longer key is another key", "a@b\0SWITCH_NAMES=x\0SWITCH_NAME=USB_SWITCH\0"s,
         "SWITCH_NAME", "USB_SWITCH"},
        {"a shorter key is another key", "a@b\0DEV=x\0"s, "DEVNAME", std::nullopt},
        {"a value holding '='", "a@b\0OPT=a=b\0"s, "OPT", "a=b"},
        {"an empty value", "a@b\0K=\0L=1\0"s, "K", ""},
        {"the last string without its NUL", "a@b\0ACTION=add\0MINOR=60"s, "MINOR", std::nullopt},
        {"the last entry whole", "a@b\0ACTION=add\0MINOR=60\0"s, "MINOR", "60"},
        {"a cut entry after a whole one", "a@b\0MINOR=6\0MINOR=60"s, "MINOR", "6"},
        {"an empty value at the very end", "a@b\0MINOR="s, "MINOR", std::nullopt},
        {"the key at the very end, no '='", "a@b\0MINOR"s, "MINOR", std::nullopt},
        {"a key cut inside", "a@b\0MIN"s, "MINOR", std::nullopt},
        {"an entry without '='", "a@b\0ACTION\0ACTION=add\0"s, "ACTION", "add"},
        {"empty strings between entries", "\0\0\0K=v\0\0"s, "K", "v"},
        {"an empty message", "", "K", std::nullopt},
        {"only NULs", "\0\0\0"s, "K", std::nullopt},
    };
    for (const lookup_case &c : cases) {
        exact_message m(c.message);
        std::optional<std::string_view> got = event_value(m.view(), c.key);
        EXPECT_EQ(got ? std::optional<std::string>(*got) : std::nullopt, c.value) << c.what;
    }
}

TEST(EventStrings, VisitsEveryStringUpToTheEnd) {
    struct strings_case {
        std::string message;
        std::vector<std::string> strings;
    };
    const strings_case cases[] = {
        {"add@/x\0ACTION=add\0"s, {"add@/x", "ACTION=add"}},
        {"add@/x\0ACTION=ad"s, {"add@/x", "ACTION=ad"}},
        {"a\0\0b\0"s, {"a", "", "b"}},
        {"", {}},
    };
    for (const strings_case &c : cases) {
        exact_message m(c.message);
        std::vector<std::string> seen;
        for_each_event_string(m.view(), [&](std::string_view s) { seen.emplace_back(s); });
        EXPECT_EQ(seen, c.strings);
    }
}

TEST(EventText, CopiesRefuseWhatDoesNotFit) {
    char field[6];
    EXPECT_TRUE(copy_event_text(field, "sda/1"));
    EXPECT_STREQ(field, "sda/1");
    EXPECT_FALSE(copy_event_text(field, "sda/12"));
    EXPECT_STREQ(field, "");
    EXPECT_TRUE(copy_event_text(field, ""));
}

// Handlers that note which record ran, in order.
std::vector<std::string> calls;

int note_a(std::string_view) {
    calls.push_back("a");
    return 0;
}
int note_b(std::string_view) {
    calls.push_back("b");
    return -1; // a failing handler does not stop the walk
}
int note_c(std::string_view) {
    calls.push_back("c");
    return 0;
}
int start_a() {
    calls.push_back("start a");
    return 0;
}
int start_c() {
    calls.push_back("start c");
    return -1;
}

constexpr filter_pair switch_change[] = {{"ACTION", "change"},
                                         {"SUBSYSTEM", "switch"},
                                         {"SWITCH_NAME", "USB_SWITCH"},
                                         {nullptr, nullptr}};
constexpr filter_pair misc_add[] = {{"SUBSYSTEM", "misc"}, {"ACTION", "add"}, {nullptr, nullptr}};
constexpr filter_pair none[] = {{nullptr, nullptr}};

TEST(FilterMatch, EveryPairMustHoldExactly) {
    const filter_record usb{"usb", nullptr, nullptr, switch_change};
    const filter_record all{"all", nullptr, nullptr, none};
    struct match_case {
        const char *what;
        std::string message;
        bool usb, all;
    };
    const match_case cases[] = {
        {"all pairs", "c@/s\0ACTION=change\0SUBSYSTEM=switch\0SWITCH_NAME=USB_SWITCH\0"s, true,
         true},
        {"pairs in another order",
         "c@/s\0SWITCH_NAME=USB_SWITCH\0SUBSYSTEM=switch\0ACTION=change\0"s, true, true},
        {"a required key missing", "c@/s\0ACTION=change\0SUBSYSTEM=switch\0"s, false, true},
        {"add instead of change", "a@/s\0ACTION=add\0SUBSYSTEM=switch\0SWITCH_NAME=USB_SWITCH\0"s,
         false, true},
        {"a value that is a prefix",
         "c@/s\0ACTION=chang\0SUBSYSTEM=switch\0SWITCH_NAME=USB_SWITCH\0"s, false, true},
        {"a value with more letters",
         "c@/s\0ACTION=changed\0SUBSYSTEM=switch\0SWITCH_NAME=USB_SWITCH\0"s, false, true},
        {"a value cut by the message's end",
         "c@/s\0ACTION=change\0SUBSYSTEM=switch\0SWITCH_NAME=USB_SWI"s, false, true},
        {"an empty message", "", false, true},
    };
    for (const match_case &c : cases) {
        exact_message m(c.message);
        EXPECT_EQ(filter_matches(usb, m.view()), c.usb) << c.what;
        EXPECT_EQ(filter_matches(all, m.view()), c.all) << c.what;
    }
}

std::vector<std::string> names_of(const filter_chain &chain) {
    std::vector<std::string> names;
    for (const filter_node *n = chain.head; n != nullptr; n = n->next)
        names.emplace_back(n->record->name);
    return names;
}

// Each node's back link points at the field that points at it.
void expect_linked(const filter_chain &chain) {
    const filter_node *const *expected = &chain.head;
    for (const filter_node *n = chain.head; n != nullptr; n = n->next) {
        EXPECT_EQ(const_cast<const filter_node *const *>(n->prev_next), expected)
            << n->record->name;
        expected = &n->next;
    }
}

TEST(FilterChain, DispatchOrderIsFixedWhateverTheArrivalOrder) {
    static const filter_record block{"uevent block_filter", nullptr, nullptr, none},
        usb{"usb switch state monitor", nullptr, nullptr, none},
        gadget{"gadget_detect filter", nullptr, nullptr, none},
        hdmi{"hdmi_insert_remove filter", nullptr, nullptr, none},
        misc{"misc devnodes", nullptr, nullptr, none};
    const std::vector<std::string> expected = {"uevent logger",
                                               "misc devnodes",
                                               "hdmi_insert_remove filter",
                                               "gadget_detect filter",
                                               "usb switch state monitor",
                                               "uevent block_filter"};
    const std::vector<std::vector<const filter_record *>> arrivals = {
        {&block, &usb, &gadget, &hdmi, &misc},
        {&misc, &hdmi, &gadget, &usb, &block},
        {&gadget, &block, &misc, &usb, &hdmi},
    };
    for (const auto &arrival : arrivals) {
        filter_chain chain{};
        filter_node nodes[6] = {};
        int i = 0;
        for (const filter_record *r : arrival) {
            nodes[i].record = r;
            filter_chain_insert(chain, nodes[i++]);
        }
        // The logger, registered at run time, goes first.
        nodes[i].record = &uevent_logger;
        filter_chain_insert(chain, nodes[i]);
        EXPECT_EQ(names_of(chain), expected);
        expect_linked(chain);
    }
}

TEST(FilterChain, UnlistedNamesGoFirstNewestFirst) {
    static const filter_record first{"first extra", nullptr, nullptr, none},
        second{"second extra", nullptr, nullptr, none},
        misc{"misc devnodes", nullptr, nullptr, none};
    filter_chain chain{};
    filter_node nodes[3] = {
        {&first, nullptr, nullptr}, {&misc, nullptr, nullptr}, {&second, nullptr, nullptr}};
    for (filter_node &n : nodes) filter_chain_insert(chain, n);
    EXPECT_EQ(names_of(chain),
              (std::vector<std::string>{"second extra", "first extra", "misc devnodes"}));
    expect_linked(chain);
}

TEST(FilterChain, TheProgramRegistersItsFiltersInTheFixedOrder) {
    std::vector<std::string> expected = {"misc devnodes", "hdmi_insert_remove filter",
                                         "gadget_detect filter", "usb switch state monitor",
                                         "uevent block_filter"};
    if constexpr (basic_build)
        expected = {"misc devnodes", "usb switch state monitor", "uevent block_filter"};
    EXPECT_EQ(names_of(registered_filters()), expected);
    expect_linked(registered_filters());
}

TEST(FilterChain, DispatchTriesEveryRecordInChainOrder) {
    static const filter_record a{"a", note_a, start_a, none}, b{"b", note_b, nullptr, misc_add},
        c{"c", note_c, start_c, switch_change}, quiet{"quiet", nullptr, nullptr, misc_add};
    filter_chain chain{};
    filter_node nodes[4] = {{&c, nullptr, nullptr},
                            {&quiet, nullptr, nullptr},
                            {&b, nullptr, nullptr},
                            {&a, nullptr, nullptr}};
    for (filter_node &n : nodes) filter_chain_insert(chain, n);
    ASSERT_EQ(names_of(chain), (std::vector<std::string>{"a", "b", "quiet", "c"}));

    struct dispatch_case {
        std::string message;
        int matched;
        std::vector<std::string> calls;
    };
    const dispatch_case cases[] = {
        {"add@/m\0ACTION=add\0SUBSYSTEM=misc\0DEVNAME=x\0"s, 3, {"a", "b"}},
        {"change@/s\0ACTION=change\0SUBSYSTEM=switch\0SWITCH_NAME=USB_SWITCH\0"s, 2, {"a", "c"}},
        {"add@/s\0ACTION=add\0SUBSYSTEM=switch\0SWITCH_NAME=USB_SWITCH\0"s, 1, {"a"}},
        {"", 1, {"a"}},
    };
    for (const dispatch_case &d : cases) {
        calls.clear();
        exact_message m(d.message);
        EXPECT_EQ(dispatch_event(chain, m.view()), d.matched);
        EXPECT_EQ(calls, d.calls);
    }
    calls.clear();
    run_start_handlers(chain);
    EXPECT_EQ(calls, (std::vector<std::string>{"start a", "start c"}));
}

} // namespace
