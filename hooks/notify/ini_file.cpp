// INI parsing and loading for the pool event hook.
#include "hooks/notify/ini_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace notify {

namespace {

constexpr std::string_view blank_chars = " \t\r\n";

std::string_view trim(std::string_view s)
{
    auto first = s.find_first_not_of(blank_chars);
    if (first == std::string_view::npos)
        return {};
    auto last = s.find_last_not_of(blank_chars);
    return s.substr(first, last - first + 1);
}

}  // namespace

ini_data parse_ini(std::string_view text)
{
    ini_data data;
    std::string section;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;

        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = std::string(trim(line.substr(1, line.size() - 2)));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        data[section][std::string(trim(line.substr(0, eq)))] = std::string(trim(line.substr(eq + 1)));
    }
    return data;
}

std::string ini_value(const ini_data& data, const std::string& section, const std::string& key)
{
    auto s = data.find(section);
    if (s == data.end())
        return {};
    auto k = s->second.find(key);
    return k == s->second.end() ? std::string() : k->second;
}

std::optional<ini_data> load_ini(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        ::close(fd);
        // A read error (a directory, an I/O fault) counts as an unreadable file.
        if (n < 0)
            return std::nullopt;
        return parse_ini(text);
    }
}

}  // namespace notify
