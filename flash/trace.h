// The flash and storage modules' debug trace: a printf-style hook whose
// texts are discarded. Calls keep their formats checked by the compiler.
#pragma once

__attribute__((format(printf, 1, 2))) inline void flash_trace(const char *, ...) {}
