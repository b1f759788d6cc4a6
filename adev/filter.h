// Filter records of the device event daemon and the chain that holds them:
// each record names the key/value pairs an event must carry and the handler
// to run for it.
#pragma once

#include <string_view>

// One required pair; a list of pairs ends with a pair whose key is null.
struct filter_pair {
    const char *key;
    const char *value;
};

// A filter: static, owned by its module, never freed.
struct filter_record {
    const char *name;                       // identifies the filter
    int (*match)(std::string_view message); // run for each matching event; may be null
    int (*start)();                         // run once at start-up; may be null
    const filter_pair *pairs;               // all must hold; empty matches every event
};

// A node of the doubly linked filter chain: the record, the next node and the
// previous node's next field (the head's address for the first node).
struct filter_node {
    const filter_record *record;
    filter_node *next;
    filter_node **prev_next;
};

// The chain lists records in dispatch order: the latest registered first.
struct filter_chain {
    filter_node *head;
};

// The order in which the static filters register, whatever order the static
// initialisers run in. The chain dispatches in the reverse order; records
// with names outside this list (the verbose logger) go before all of them.
inline constexpr const char *filter_order[] = {
    "uevent block_filter",  "usb switch state monitor",
    "gadget_detect filter", "hdmi_insert_remove filter",
    "misc devnodes",
};

// Links node (its record set) into chain at the place of its record's name in
// filter_order: as though the records had been registered in that order, each
// at the head.
void filter_chain_insert(filter_chain &chain, filter_node &node);

// Adds record to the process's filter chain. 0, or -1 when no node could be
// allocated.
int register_filter(const filter_record *record);

// Registers record before main runs when enabled is true; the record is
// compiled in either way. Returns register_filter's result, or 0.
template <bool enabled>
int register_static_filter(const filter_record *record) {
    if constexpr (enabled)
        return register_filter(record);
    else
        return 0;
}

// The process's filter chain.
const filter_chain &registered_filters();

// True when every required pair of record holds in message: the key is
// present and its value equals the required text exactly.
bool filter_matches(const filter_record &record, std::string_view message);

// Runs the match handler of every record of chain that matches message, in
// chain order; a match does not stop the walk. Returns the number of records
// that matched.
int dispatch_event(const filter_chain &chain, std::string_view message);

// Runs the start handler of every record of chain, in chain order.
void run_start_handlers(const filter_chain &chain);

// The verbose logger: prints every event's strings on standard error.
extern const filter_record uevent_logger;

// Declares the filter record ident##_filter and, when enabled (a constant),
// adds it to the filter chain before main runs. One line per filter module.
#define ADEV_FILTER(ident, enabled, name, match, start, pairs)                                     \
    static constexpr filter_record ident##_filter{name, match, start, pairs};                      \
    [[maybe_unused]] static const int ident##_filter_registered =                                  \
        register_static_filter<(enabled)>(&ident##_filter)
