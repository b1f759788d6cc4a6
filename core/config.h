// Build configuration: one constant selects the basic configuration
// (varitool-basic) over the full one (varitool).
#pragma once

#ifndef VARITOOL_BASIC
#define VARITOOL_BASIC 0
#endif

// True in varitool-basic, false in varitool. Code that differs between the
// two builds tests this with `if constexpr`.
inline constexpr bool basic_build = VARITOOL_BASIC != 0;
