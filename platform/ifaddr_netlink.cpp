// Interface aliases on Linux: rtnetlink address requests and dumps through libmnl.
// Each call opens and closes its own netlink socket.
#include "platform/ifaddr.hpp"

#include "platform/emulation.hpp"

#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <vector>

namespace platform::net {

namespace {

// One netlink route socket, closed on every path; errno tells why it is not open.
class route_socket {
public:
    route_socket()
    {
        sock_ = mnl_socket_open(NETLINK_ROUTE);
        if (sock_ == nullptr)
            return;
        if (mnl_socket_bind(sock_, 0, MNL_SOCKET_AUTOPID) < 0) {
            int saved = errno;
            mnl_socket_close(sock_);
            sock_ = nullptr;
            errno = saved;
        }
    }
    ~route_socket()
    {
        if (sock_ != nullptr)
            mnl_socket_close(sock_);
    }
    route_socket(const route_socket&) = delete;
    route_socket& operator=(const route_socket&) = delete;

    explicit operator bool() const { return sock_ != nullptr; }

    // Sends the message and reads replies until the kernel's acknowledgement or
    // the end of a dump; `cb` sees every data message. 0, or -1 with errno set.
    int exchange(nlmsghdr* nlh, mnl_cb_t cb, void* data)
    {
        const unsigned seq = static_cast<unsigned>(std::time(nullptr));
        nlh->nlmsg_seq = seq;
        const unsigned portid = mnl_socket_get_portid(sock_);
        if (mnl_socket_sendto(sock_, nlh, nlh->nlmsg_len) < 0)
            return -1;
        // Large enough for one datagram of a dump.
        std::vector<char> buf(32768);
        for (;;) {
            ssize_t n = mnl_socket_recvfrom(sock_, buf.data(), buf.size());
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            int rc = mnl_cb_run(buf.data(), static_cast<size_t>(n), seq, portid, cb, data);
            if (rc == MNL_CB_ERROR)
                return -1;
            if (rc == MNL_CB_STOP)
                return 0;
        }
    }

private:
    mnl_socket* sock_ = nullptr;
};

// A fault set for `call` by a test of the emulated platform: true with errno set
// when this call is to fail. Whoever removes the file takes the fault.
bool injected_fault(const char* call)
{
    auto root = emulated_root();
    if (!root)
        return false;
    const std::string path = *root + "/net/fail-" + call;
    int code = 0;
    {
        std::ifstream in(path);
        if (!(in >> code) || code <= 0)
            return false;
    }
    if (::unlink(path.c_str()) != 0)
        return false;
    errno = code;
    return true;
}

// Interface index of a request's name field; 0 with errno set when there is none.
unsigned index_of(const char (&name)[ifnamsiz])
{
    char cut[ifnamsiz] = {};
    std::memcpy(cut, name, ifnamsiz - 1);
    return if_nametoindex(cut);
}

// Prefix length of a contiguous mask (network byte order); -1 for any other mask.
int prefix_of(in_addr_t mask_net)
{
    const uint32_t mask = ntohl(mask_net);
    int prefix = __builtin_popcount(mask);
    const uint32_t contiguous = prefix == 0 ? 0U : ~uint32_t{0} << (32 - prefix);
    return mask == contiguous ? prefix : -1;
}

ifaddrmsg* put_addr_header(nlmsghdr* nlh, int prefix, unsigned index)
{
    auto* ifa = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = static_cast<unsigned char>(prefix);
    ifa->ifa_flags = 0;
    ifa->ifa_scope = RT_SCOPE_UNIVERSE;
    ifa->ifa_index = index;
    return ifa;
}

struct dump_state {
    std::vector<if_address>* out;
    std::map<unsigned, std::string> names;  // index -> name, looked up once
};

int address_attr(const nlattr* attr, void* data)
{
    auto** tb = static_cast<const nlattr**>(data);
    int type = mnl_attr_get_type(attr);
    if ((type == IFA_LOCAL || type == IFA_ADDRESS) && mnl_attr_validate(attr, MNL_TYPE_U32) >= 0)
        tb[type] = attr;
    return MNL_CB_OK;
}

int address_message(const nlmsghdr* nlh, void* data)
{
    auto* state = static_cast<dump_state*>(data);
    const auto* ifa = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(nlh));
    if (ifa->ifa_family != AF_INET)
        return MNL_CB_OK;
    const nlattr* tb[IFA_MAX + 1] = {};
    if (mnl_attr_parse(nlh, sizeof(*ifa), address_attr, tb) < 0)
        return MNL_CB_OK;
    // IFA_LOCAL is the address itself; IFA_ADDRESS is the peer on a point-to-point
    // link and equals the local address elsewhere.
    const nlattr* local = tb[IFA_LOCAL] != nullptr ? tb[IFA_LOCAL] : tb[IFA_ADDRESS];
    if (local == nullptr)
        return MNL_CB_OK;
    auto it = state->names.find(ifa->ifa_index);
    if (it == state->names.end()) {
        char name[IF_NAMESIZE] = {};
        // The interface's own name, never the alias label ("eth0:x") of the address.
        std::string found = if_indextoname(ifa->ifa_index, name) != nullptr ? name : "";
        it = state->names.emplace(ifa->ifa_index, found).first;
    }
    if (it->second.empty())
        return MNL_CB_OK;  // the interface went away during the dump
    if_address entry;
    entry.name = it->second;
    entry.addr.s_addr = mnl_attr_get_u32(local);
    state->out->push_back(entry);
    return MNL_CB_OK;
}

}  // namespace

std::string ifname_cut(const std::string& name)
{
    std::string cut = name.substr(0, ifnamsiz - 1);
    // The kernel field is a C string: it ends at the first zero byte.
    auto nul = cut.find('\0');
    if (nul != std::string::npos)
        cut.resize(nul);
    return cut;
}

int if_alias_add(const in_aliasreq& req)
{
    if (injected_fault("add"))
        return -1;
    const int prefix = prefix_of(req.ifra_mask.sin_addr.s_addr);
    if (prefix < 0) {
        errno = EINVAL;
        return -1;
    }
    const unsigned index = index_of(req.ifra_name);
    if (index == 0)
        return -1;
    route_socket sock;
    if (!sock)
        return -1;
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_NEWADDR;
    // Create, or replace an identical address: a repeated add succeeds.
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_REPLACE;
    put_addr_header(nlh, prefix, index);
    mnl_attr_put_u32(nlh, IFA_LOCAL, req.ifra_addr.sin_addr.s_addr);
    mnl_attr_put_u32(nlh, IFA_ADDRESS, req.ifra_addr.sin_addr.s_addr);
    // /31 and /32 have no broadcast address; sending one for a /32 (equal to the
    // address) would install a stray broadcast route.
    if (prefix <= 30)
        mnl_attr_put_u32(nlh, IFA_BROADCAST, req.ifra_broadaddr.sin_addr.s_addr);
    return sock.exchange(nlh, nullptr, nullptr);
}

int if_alias_delete(const ifreq_in& req)
{
    if (injected_fault("delete"))
        return -1;
    const unsigned index = index_of(req.name);
    if (index == 0)
        return -1;
    route_socket sock;
    if (!sock)
        return -1;
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_DELADDR;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    // Prefix length 0 and only the local address: the kernel then matches the
    // address whatever its mask, and answers EADDRNOTAVAIL when it is absent.
    put_addr_header(nlh, 0, index);
    mnl_attr_put_u32(nlh, IFA_LOCAL, req.addr.sin_addr.s_addr);
    return sock.exchange(nlh, nullptr, nullptr);
}

int if_addresses(std::vector<if_address>* out)
{
    out->clear();
    if (injected_fault("list"))
        return -1;
    // The kernel marks a dump that addresses changed under as interrupted (EINTR);
    // it is taken again from the start on a fresh socket.
    for (int attempt = 0;; ++attempt) {
        route_socket sock;
        if (!sock)
            return -1;
        std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
        nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
        nlh->nlmsg_type = RTM_GETADDR;
        nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        auto* gen = static_cast<rtgenmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtgenmsg)));
        gen->rtgen_family = AF_INET;
        dump_state state{out, {}};
        if (sock.exchange(nlh, address_message, &state) == 0)
            return 0;
        int saved = errno;
        out->clear();
        errno = saved;
        if (saved != EINTR || attempt == 2)
            return -1;
    }
}

}  // namespace platform::net
