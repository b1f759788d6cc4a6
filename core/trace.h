// The debug trace of the update engine and its formats: a printf-style hook
// whose texts are discarded. Calls keep their formats checked by the compiler.
#pragma once

__attribute__((format(printf, 1, 2))) inline void oza_debug(const char *, ...) {}
