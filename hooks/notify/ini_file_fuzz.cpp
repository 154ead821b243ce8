// libFuzzer target: the pool event hook's INI file, loaded from a memory file as the
// hook loads it, then the broker settings read from it. Whatever the file holds, the
// load equals the parse of the same text, every name and value is trimmed and one
// line long, and the settings are read without a crash.
#include "fuzz/memory_file.hpp"
#include "hooks/notify/ini_file.hpp"
#include "hooks/notify/notify_event.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void expect(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "ini_file_fuzz: %s\n", what);
        std::abort();
    }
}

bool one_trimmed_line(std::string_view s)
{
    constexpr std::string_view blank = " \t\r\n";
    return s.find('\n') == std::string_view::npos &&
           (s.empty() || (blank.find(s.front()) == std::string_view::npos &&
                          blank.find(s.back()) == std::string_view::npos));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = fuzz::memory_file_with(data, size);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto loaded = notify::load_ini(path);
    expect(loaded.has_value(), "a readable file was not loaded");
    const notify::ini_data parsed = notify::parse_ini(text);
    expect(*loaded == parsed, "the load differs from the parse of the same text");
    for (const auto& [section, keys] : parsed) {
        expect(one_trimmed_line(section), "section name not trimmed");
        for (const auto& [key, value] : keys) {
            expect(one_trimmed_line(key) && one_trimmed_line(value), "key or value not trimmed");
            expect(notify::ini_value(parsed, section, key) == value, "lookup differs from the map");
        }
    }
    (void)notify::settings_from_ini(parsed);
    (void)notify::leading_number(std::string(text));
    (void)notify::action_from_argument(text);
    return 0;
}
