// Service addresses: netmask notation, presence, add and remove, the "ext-ip" phase.
#include "nodeactions/service_addrs.hpp"

#include "nodeactions/phase_log.hpp"
#include "platform/ifaddr.hpp"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace nodeactions {

namespace net = platform::net;

namespace {

void set(std::string* out, const std::string& text)
{
    if (out != nullptr)
        *out = text;
}

std::optional<in_addr> parse_ip(const std::string& text)
{
    in_addr addr{};
    if (inet_pton(AF_INET, text.c_str(), &addr) != 1)
        return std::nullopt;
    return addr;
}

sockaddr_in inet_sockaddr(in_addr_t addr)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = 0;
    sa.sin_addr.s_addr = addr;
    return sa;
}

template <std::size_t N>
void copy_name(char (&field)[N], const std::string& name)
{
    const std::string cut = net::ifname_cut(name);
    std::memcpy(field, cut.data(), cut.size());
    field[cut.size()] = '\0';
}

}  // namespace

std::optional<in_addr_t> netmask_parse(const std::string& text)
{
    if (text.empty())
        return htonl(0xffffffffU);
    const char* begin = text.c_str();
    char* end = nullptr;
    if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        errno = 0;
        unsigned long value = std::strtoul(begin, &end, 16);
        // The mask has 32 bits: a larger number is refused, not cut to its low bits.
        if (end == begin || *end != '\0' || errno == ERANGE || value > 0xffffffffUL)
            return std::nullopt;
        return htonl(static_cast<uint32_t>(value));
    }
    if (text.find('.') != std::string::npos) {
        in_addr mask{};
        if (inet_pton(AF_INET, begin, &mask) != 1)
            return std::nullopt;
        return mask.s_addr;
    }
    errno = 0;
    long prefix = std::strtol(begin, &end, 10);
    if (end == begin || *end != '\0' || prefix < 0 || prefix > 32)
        return std::nullopt;
    const uint32_t mask = prefix == 0 ? 0U : ~uint32_t{0} << (32 - prefix);
    return htonl(mask);
}

ip_presence ext_ip_presence(const std::string& interface, const std::string& ip, std::string* err)
{
    set(err, "");
    auto addr = parse_ip(ip);
    if (!addr) {
        set(err, "invalid IPv4 address");
        return ip_presence::invalid_address;
    }
    std::vector<net::if_address> list;
    if (net::if_addresses(&list) != 0) {
        set(err, std::strerror(errno));
        return ip_presence::unknown;
    }
    const std::string wanted = net::ifname_cut(interface);
    for (const auto& entry : list) {
        if (entry.name == wanted && entry.addr.s_addr == addr->s_addr)
            return ip_presence::present;
    }
    return ip_presence::absent;
}

bool ext_ip_add(const std::string& interface, const std::string& ip, const std::string& netmask, std::string* err)
{
    set(err, "");
    auto addr = parse_ip(ip);
    if (!addr) {
        set(err, "invalid IPv4 address");
        return false;
    }
    auto mask = netmask_parse(netmask);
    if (!mask) {
        set(err, "invalid netmask");
        return false;
    }
    net::in_aliasreq req;
    copy_name(req.ifra_name, interface);
    req.ifra_addr = inet_sockaddr(addr->s_addr);
    req.ifra_broadaddr = inet_sockaddr(addr->s_addr | ~*mask);
    req.ifra_mask = inet_sockaddr(*mask);
    req.ifra_vhid = 0;
    if (net::if_alias_add(req) != 0) {
        set(err, std::strerror(errno));
        return false;
    }
    return true;
}

bool ext_ip_delete(const std::string& interface, const std::string& ip, std::string* err)
{
    set(err, "");
    auto addr = parse_ip(ip);
    if (!addr) {
        set(err, "invalid IPv4 address");
        return false;
    }
    net::ifreq_in req;
    copy_name(req.name, interface);
    req.addr = inet_sockaddr(addr->s_addr);
    if (net::if_alias_delete(req) != 0) {
        set(err, std::strerror(errno));
        return false;
    }
    return true;
}

int ext_ips_apply(const ext_ip_map& ips, bool add, int failure_code, const ip_presence_map* known)
{
    phase_info("ext-ip", ctx({{"count", std::to_string(ips.size())}}), add ? "begin add" : "begin remove");
    for (const auto& [ip, value] : ips) {
        const std::string context = ctx({{"ip", ip}, {"iface", value.interface}});
        const auto seen = known != nullptr ? known->find(ip) : ip_presence_map::const_iterator{};
        const ip_presence presence =
            known != nullptr && seen != known->end() ? seen->second : ext_ip_presence(value.interface, ip);
        // An unreadable address list decides nothing: the request itself is tried
        // and its result tells. An address text that does not parse cannot be on
        // any interface, so it is already removed (and its add fails below).
        const bool settled = add ? presence == ip_presence::present
                                 : (presence == ip_presence::absent || presence == ip_presence::invalid_address);
        if (settled) {
            phase_info("ext-ip", context, "already in desired state");
            continue;
        }
        phase_info("ext-ip", context, add ? "adding" : "deleting");
        std::string err;
        const bool ok = add ? ext_ip_add(value.interface, ip, value.netmask, &err)
                            : ext_ip_delete(value.interface, ip, &err);
        if (!ok)
            return phase_failed("ext-ip", context, failure_code,
                                std::string("failed to ") + (add ? "add" : "remove") + " address: " + err);
        phase_info("ext-ip", context, add ? "added" : "deleted");
    }
    return 0;
}

}  // namespace nodeactions
