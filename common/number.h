// Reading a whole number the way the settings and palette files always have.
#pragma once

#include <string_view>

namespace tolvek {

// atoi's reading: leading white space, an optional sign, the digits that
// follow; the rest is ignored and no digits read 0. Saturates at INT_MIN and
// INT_MAX instead of overflowing.
int read_int(std::string_view text);

// True when `text` is exactly what read_int reads: optional blanks, an
// optional sign and at least one digit, nothing after.
bool is_whole_number(std::string_view text);

}  // namespace tolvek
