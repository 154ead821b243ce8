// Service addresses of poolrun (the "ext-ip" phase): the netmask notation, the
// presence test, adding and removing an alias, and the whole phase over a
// service's address map. Single-threaded program.
#pragma once

#include <netinet/in.h>

#include <map>
#include <optional>
#include <string>

namespace nodeactions {

// One configured address: the interface and the netmask text (empty: /32).
struct ext_ip_value {
    std::string interface;
    std::string netmask;
};

// The service's addresses keyed by their text, in byte-wise ascending order.
using ext_ip_map = std::map<std::string, ext_ip_value>;

// Empty: /32. "0x"/"0X" and hex digits: the low 32 bits of that number as a host-order
// mask (refused above 0xffffffff). A text with a dot: a dotted quad. Otherwise a
// prefix length 0..32. The mask comes back in network byte order; none when invalid.
std::optional<in_addr_t> netmask_parse(const std::string& text);

enum class ip_presence {
    present,
    absent,
    invalid_address,  // the address text does not parse
    unknown,          // the address list could not be read
};

// Whether `interface` (cut like every kernel request) carries `ip`; `err` gets the
// reason for invalid_address and unknown.
ip_presence ext_ip_presence(const std::string& interface, const std::string& ip, std::string* err = nullptr);

// Adds the alias; false with the reason ("invalid IPv4 address", "invalid netmask",
// or the system's error text).
bool ext_ip_add(const std::string& interface, const std::string& ip, const std::string& netmask, std::string* err);

// Removes the alias whatever its mask; false with the reason.
bool ext_ip_delete(const std::string& interface, const std::string& ip, std::string* err);

// Presence of addresses read beforehand, by address text.
using ip_presence_map = std::map<std::string, ip_presence>;

// The whole phase: every address brought to the wanted state in map order. 0, or
// `failure_code` after the one failure line, the later addresses left untouched.
// An address found in `known` is not read again (a caller that already looked).
int ext_ips_apply(const ext_ip_map& ips, bool add, int failure_code, const ip_presence_map* known = nullptr);

}  // namespace nodeactions
