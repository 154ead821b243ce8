// The port list parser and the ctladm command lines.
#include "nodeactions/ctl_ports.hpp"

#include "nodeactions/tool_runner.hpp"
#include "platform/fence_tools.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace nodeactions {

namespace {

constexpr const char* blanks = " \t\r\n";

std::string trim(const std::string& text)
{
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

void set(std::string* err, const std::string& text)
{
    if (err != nullptr)
        *err = text;
}

// The decimal id after the first id= and its quotation mark in a start tag; -1
// when there is none, when no digit follows, or when it does not fit.
int64_t tag_id(const std::string& start_tag)
{
    auto pos = start_tag.find("id=");
    if (pos == std::string::npos)
        return -1;
    pos += 3;
    if (pos < start_tag.size() && (start_tag[pos] == '"' || start_tag[pos] == '\''))
        ++pos;
    if (pos >= start_tag.size())
        return -1;
    const char* begin = start_tag.c_str() + pos;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE)
        return -1;
    return v;
}

int64_t decimal_or(const std::string& text, int64_t fallback)
{
    if (text.empty())
        return fallback;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE)
        return fallback;
    return v;
}

}  // namespace

std::optional<std::string> ctl_portlist_get(std::string* err)
{
    std::string why;
    auto r = run_capture(platform::tool_path(platform::ctladm_path), {"portlist", "-x"}, &why);
    if (!r) {
        set(err, "ctladm portlist -x: " + why);
        return std::nullopt;
    }
    if (r->status != 0) {
        set(err, "ctladm portlist -x exited rc=" + std::to_string(r->status));
        return std::nullopt;
    }
    return std::move(r->output);
}

bool xml_tag_text(const std::string& block, const std::string& tag, std::string* out)
{
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    auto start = block.find(open);
    if (start == std::string::npos)
        return false;
    start += open.size();
    auto stop = block.find(close, start);
    if (stop == std::string::npos)
        return false;
    *out = trim(block.substr(start, stop - start));
    return true;
}

std::optional<std::vector<ctl_port>> ctl_portlist_parse(const std::string& text, std::string* err)
{
    if (text.find("<ctlportlist>") == std::string::npos) {
        set(err, "no <ctlportlist> in ctladm portlist output");
        return std::nullopt;
    }
    static const std::string open = "<targ_port";
    static const std::string close = "</targ_port>";
    std::vector<ctl_port> ports;
    size_t pos = 0;
    while ((pos = text.find(open, pos)) != std::string::npos) {
        auto tag_end = text.find('>', pos + open.size());
        if (tag_end == std::string::npos)
            break;  // a start tag cut off: nothing more to read
        ctl_port port;
        port.id = tag_id(text.substr(pos + open.size(), tag_end - pos - open.size()));
        auto block_start = tag_end + 1;
        auto block_end = text.find(close, block_start);
        std::string block = text.substr(block_start, block_end == std::string::npos ? std::string::npos
                                                                                   : block_end - block_start);
        std::string value;
        if (xml_tag_text(block, "port_type", &value))
            port.type = decimal_or(value, -1);
        if (xml_tag_text(block, "target", &value))
            port.target = value;
        if (port.id >= 0)
            ports.push_back(std::move(port));
        if (block_end == std::string::npos)
            break;
        pos = block_end + close.size();
    }
    std::stable_sort(ports.begin(), ports.end(), [](const ctl_port& a, const ctl_port& b) { return a.id < b.id; });
    return ports;
}

std::optional<ctl_port> ctl_port_find(const std::vector<ctl_port>& ports, const std::string& target)
{
    if (target.empty())
        return std::nullopt;
    for (const auto& p : ports)
        if (p.type == ctl_port_type_iscsi && p.target == target)
            return p;
    return std::nullopt;
}

bool ctl_port_switch(int64_t id, bool on, std::string* output, std::string* err)
{
    const std::string word = on ? "on" : "off";
    const std::string id_text = std::to_string(id);
    std::string why;
    auto r = run_capture(platform::tool_path(platform::ctladm_path), {"port", "-o", word, "-p", id_text}, &why);
    if (!r) {
        set(err, why);
        if (output != nullptr)
            output->clear();
        return false;
    }
    if (output != nullptr)
        *output = trim(r->output);
    if (r->status != 0) {
        set(err, "ctladm port -o " + word + " -p " + id_text + " exited rc=" + std::to_string(r->status));
        return false;
    }
    return true;
}

}  // namespace nodeactions
