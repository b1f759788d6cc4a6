// Kernel modules: loading a module file and removing a module through the
// C library's module calls (no outside insmod or rmmod).
#pragma once

// Loads the module image at path with the parameter string. 0, or the
// failing step's negative result (-1 when the file cannot be opened, read or
// mapped) with errno as that step set it (EEXIST: already loaded).
int insmod(const char *path, const char *params);

// Removes the named module with flags (O_NONBLOCK: do not wait). 0; 1 when
// flags hold O_NONBLOCK and the module is busy; otherwise the call's negative
// result.
int rmmod(const char *name, unsigned flags);
