// Decimal-only integer conversion (see the header for why).
#include "cli/decimal_int.hpp"

#include <charconv>

namespace cli {

std::optional<int> parse_decimal_int(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;  // from_chars would accept a second sign
    // Parsed as a wider unsigned value so INT_MIN round-trips and overflow is seen.
    unsigned long long magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, 10);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    constexpr unsigned long long int_max = 2147483647ULL;
    if (magnitude > int_max + (negative ? 1 : 0))
        return std::nullopt;
    long long value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return static_cast<int>(value);
}

}  // namespace cli
