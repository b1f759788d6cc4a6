// Applet registry and dispatcher of the multi-call executable.
#pragma once

#include "core/applet_list.h"

// One applet: its name, a one-line description and its main. Records are
// static, owned by the applet's module, and never freed.
struct applet {
    const char *name;
    const char *description;
    int (*entry)(int argc, char **argv);
};

inline constexpr int applet_table_capacity = 64;

// The applets in registration order.
struct applet_table {
    const applet *records[applet_table_capacity];
    int count;
};

// The order in which applets register, whatever order the static
// initialisers run in: a record is inserted at its name's place in this list.
#define VARITOOL_APPLET_NAME(ident, name, description) name,
inline constexpr const char *applet_order[] = {VARITOOL_APPLET_LIST(VARITOOL_APPLET_NAME)};
#undef VARITOOL_APPLET_NAME

// Each listed applet's name and description, as applet_texts::<identifier>.
struct applet_text {
    const char *name;
    const char *description;
};
namespace applet_texts {
#define VARITOOL_APPLET_TEXT(ident, name, description)                                             \
    inline constexpr applet_text ident{name, description};
VARITOOL_APPLET_LIST(VARITOOL_APPLET_TEXT)
#undef VARITOOL_APPLET_TEXT
} // namespace applet_texts

// Inserts record into t at its name's place in applet_order (names outside
// the list go after the listed ones, in arrival order). Returns record, or
// nullptr when t is full.
const applet *applet_table_insert(applet_table &t, const applet *record);

// Adds record to the applet table at its place in applet_order (names outside
// the list go after the listed ones, in arrival order). Returns record, or
// nullptr when the table is full.
const applet *register_applet(const applet *record);

// The table as filled by the static initialisers.
const applet_table &registered_applets();

// True when the invoked name s names the applet a: s ends with a, and either
// equals it or has a '/' just before the matched tail.
bool applet_name_matches(const char *s, const char *a);

// The entry of the first registered applet whose name matches, or nullptr.
int (*find_applet(const char *name))(int, char **);

// The dispatcher: runs the applet named by argv[0], else by argv[1] with argv
// shifted, else prints the "command not provided" message. Returns the exit
// status.
int varitool_main(int argc, char **argv);

// Declares the record of the listed applet ident (see core/applet_list.h),
// with the name and description the list gives it, and registers it before
// main runs. One line per applet module; an identifier missing from the list
// does not compile.
#define VARITOOL_APPLET(ident, entry)                                                              \
    static constexpr applet ident##_applet_record{applet_texts::ident.name,                        \
                                                  applet_texts::ident.description, entry};         \
    [[maybe_unused]] static const applet *const ident##_applet_registered =                        \
        register_applet(&ident##_applet_record)
