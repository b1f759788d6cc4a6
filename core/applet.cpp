// The applet registry: records kept in the listed order, names matched against argv[0] or argv[1],
// and the dispatcher that runs the one named.
#include "core/applet.h"

#include "core/hostops.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// Zero-initialised before any static initialiser runs.
applet_table table;

int rank_of(const char *name) {
    int n = static_cast<int>(std::size(applet_order));
    for (int i = 0; i < n; ++i)
        if (strcmp(applet_order[i], name) == 0) return i;
    return n;
}

} // namespace

const applet *applet_table_insert(applet_table &t, const applet *record) {
    if (record == nullptr || t.count >= applet_table_capacity) return nullptr;
    int rank = rank_of(record->name);
    int at = t.count;
    while (at > 0 && rank_of(t.records[at - 1]->name) > rank) {
        t.records[at] = t.records[at - 1];
        --at;
    }
    t.records[at] = record;
    ++t.count;
    return record;
}

const applet *register_applet(const applet *record) {
    return applet_table_insert(table, record);
}

const applet_table &registered_applets() {
    return table;
}

bool applet_name_matches(const char *s, const char *a) {
    size_t ls = strlen(s), la = strlen(a);
    if (ls < la) return false;
    if (memcmp(s + ls - la, a, la) != 0) return false;
    if (ls == la) return true;
    return s[ls - la - 1] == '/';
}

int (*find_applet(const char *name))(int, char **) {
    if (name == nullptr) return nullptr;
    for (int i = 0; i < table.count; ++i)
        if (applet_name_matches(name, table.records[i]->name)) return table.records[i]->entry;
    return nullptr;
}

int varitool_main(int argc, char **argv) {
    host_operations ops = main_host_operations();
    if (register_host_operations(&ops) != 0) return 1;

    const char *self = argc > 0 && argv[0] ? argv[0] : "";
    if (auto entry = find_applet(self)) return entry(argc, argv);
    if (argc >= 2) {
        if (auto entry = find_applet(argv[1])) return entry(argc - 1, argv + 1);
    }
    printf("varitool: '%s' command not provided\n", self);
    return 1;
}
