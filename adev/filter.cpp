// The process's chain, ordered by each record's place in filter_order whatever the order in
// which they register. A record matches when the event carries each of its pairs; every
// matching record runs, in chain order. The uevent logger prints each string of a message.
#include "adev/filter.h"

#include "adev/event.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

namespace {

// Zero-initialised before any static initialiser runs.
filter_chain chain_of_process;

int rank_of(const char *name) {
    int n = static_cast<int>(std::size(filter_order));
    for (int i = 0; i < n; ++i)
        if (strcmp(filter_order[i], name) == 0) return i;
    return n;
}

int log_event(std::string_view message) {
    fprintf(stderr, "%s:\n", "uevent_logger_callback");
    for_each_event_string(message, [](std::string_view text) {
        fprintf(stderr, "\t- %.*s\n", static_cast<int>(text.size()), text.data());
    });
    fflush(stderr);
    return 0;
}

constexpr filter_pair every_event[] = {{nullptr, nullptr}};

} // namespace

const filter_record uevent_logger{"uevent logger", log_event, nullptr, every_event};

void filter_chain_insert(filter_chain &chain, filter_node &node) {
    // Newest first: a record goes before the first one registered no later.
    int rank = rank_of(node.record->name);
    filter_node **at = &chain.head;
    while (*at != nullptr && rank_of((*at)->record->name) > rank) at = &(*at)->next;
    node.next = *at;
    node.prev_next = at;
    if (node.next != nullptr) node.next->prev_next = &node.next;
    *at = &node;
}

int register_filter(const filter_record *record) {
    if (record == nullptr) return -1;
    filter_node *node = new (std::nothrow) filter_node{record, nullptr, nullptr};
    if (node == nullptr) return -1;
    filter_chain_insert(chain_of_process, *node);
    return 0;
}

const filter_chain &registered_filters() {
    return chain_of_process;
}

bool filter_matches(const filter_record &record, std::string_view message) {
    for (const filter_pair *p = record.pairs; p != nullptr && p->key != nullptr; ++p) {
        std::optional<std::string_view> value = event_value(message, p->key);
        if (!value || *value != p->value) return false;
    }
    return true;
}

int dispatch_event(const filter_chain &chain, std::string_view message) {
    int matched = 0;
    for (const filter_node *n = chain.head; n != nullptr; n = n->next) {
        if (!filter_matches(*n->record, message)) continue;
        ++matched;
        if (n->record->match != nullptr) n->record->match(message);
    }
    return matched;
}

void run_start_handlers(const filter_chain &chain) {
    for (const filter_node *n = chain.head; n != nullptr; n = n->next)
        if (n->record->start != nullptr) n->record->start();
}
