// Decimal-only integer conversion for node ids given on the command line: an
// operator who types "010" means node 10, never octal 8, and "0x10" is refused.
#pragma once

#include <optional>
#include <string_view>

namespace cli {

// The whole text must be an optional sign and one or more decimal digits whose
// value fits an int; anything else (blanks, "0x10", "5abc", "1e3", overflow) gives
// no value.
std::optional<int> parse_decimal_int(std::string_view text);

}  // namespace cli
