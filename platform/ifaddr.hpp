// Interface IPv4 aliases as the node action programs use them: add one, delete one,
// list the addresses of every interface. Shaped like the kernel calls of the target
// system (an alias request, an interface request, the interface address list), so
// another backend can replace the file. Single-threaded callers.
//
// Linux backend (ifaddr_netlink.cpp): rtnetlink through libmnl, acting on the
// network namespace of the calling process. It is not emulated: scenarios that
// change addresses run inside a private network namespace. Fault injection, only
// while the platform is emulated (KELM_EMUL_ROOT set): a file
// "$KELM_EMUL_ROOT/net/fail-<call>" (call: add, delete, list) holding an errno
// number makes the next such call fail with that errno; the call that takes the
// fault removes the file, so it fails once.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <vector>

namespace platform::net {

// Size of the kernel's interface name field, terminating zero included.
inline constexpr std::size_t ifnamsiz = 16;

// The interface name as every kernel request carries it: at most ifnamsiz - 1
// bytes, a longer name cut there. Lookups must cut the same way, or an address
// added through the cut name is never found again.
std::string ifname_cut(const std::string& name);

// The alias request: name, address, broadcast address and mask, all AF_INET.
struct in_aliasreq {
    char ifra_name[ifnamsiz] = {};
    sockaddr_in ifra_addr{};
    sockaddr_in ifra_broadaddr{};
    sockaddr_in ifra_mask{};
    int ifra_vhid = 0;
};

// The interface request of a delete: name and the AF_INET address. (The members
// are not called ifr_name and ifr_addr: <net/if.h> defines those as macros.)
struct ifreq_in {
    char name[ifnamsiz] = {};
    sockaddr_in addr{};
};

// Adds the alias, or replaces an identical one (a repeated add succeeds). 0, or -1
// with errno set. Linux backend: a mask that is not contiguous cannot be expressed
// as a prefix length and fails with EINVAL; the broadcast address is sent only for
// prefixes up to /30 (a /32 with a broadcast equal to the address would install a
// stray broadcast route).
int if_alias_add(const in_aliasreq& req);

// Removes the alias whatever its mask. 0, or -1 with errno set (EADDRNOTAVAIL when
// the interface does not carry the address). Linux backend: removing the primary
// address of a subnet also removes that subnet's secondary addresses unless
// net.ipv4.conf.<interface>.promote_secondaries is set, so a node that carries the
// addresses of several services in one subnet of an interface needs that setting.
int if_alias_delete(const ifreq_in& req);

// One AF_INET address of the interface address list.
struct if_address {
    std::string name;  // the interface the address sits on, never an alias label
    in_addr addr{};    // the local address (not the peer of a point-to-point link)
};

// The AF_INET addresses of every interface. 0, or -1 with errno set.
int if_addresses(std::vector<if_address>* out);

}  // namespace platform::net
