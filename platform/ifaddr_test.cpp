// Interface aliases over rtnetlink, inside a network namespace of this test process
// alone (made with unshare), so no real interface is ever touched. Skipped where
// namespaces cannot be made.
#include "platform/ifaddr.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace platform::net;

namespace {

bool namespace_ready = false;
std::string namespace_refusal;

// Moves the whole test process into a new network namespace before any test runs.
class private_namespace : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (::unshare(CLONE_NEWNET) != 0) {
            namespace_refusal = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            return;
        }
        namespace_ready =
            std::system("ip link add kelmt0 type veth peer name kelmt1 >/dev/null 2>&1 && "
                        "ip link add kelm0123456789a type veth peer name kelmt2 >/dev/null 2>&1 && "
                        "ip link set kelmt0 up && ip link set kelmt1 up") == 0;
        if (!namespace_ready)
            namespace_refusal = "ip link add failed";
    }
};

const auto* const env = ::testing::AddGlobalTestEnvironment(new private_namespace);

#define NEED_NAMESPACE()                                             \
    do {                                                             \
        if (!namespace_ready)                                        \
            GTEST_SKIP() << "no private network namespace: " << namespace_refusal; \
    } while (0)

sockaddr_in inet(const char* text)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, text, &sa.sin_addr);
    return sa;
}

in_aliasreq alias(const char* ifname, const char* addr, const char* mask, const char* brd)
{
    in_aliasreq req;
    std::strncpy(req.ifra_name, ifname, ifnamsiz - 1);
    req.ifra_addr = inet(addr);
    req.ifra_mask = inet(mask);
    req.ifra_broadaddr = inet(brd);
    return req;
}

ifreq_in del(const char* ifname, const char* addr)
{
    ifreq_in req;
    std::strncpy(req.name, ifname, ifnamsiz - 1);
    req.addr = inet(addr);
    return req;
}

// "ip -4 -o addr show dev <ifname>" lines, trimmed to what follows "inet ".
std::string shown(const char* ifname)
{
    std::string cmd = std::string("ip -4 -o addr show dev ") + ifname + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    while (p != nullptr && std::fgets(buf, sizeof(buf), p) != nullptr) {
        std::string line = buf;
        auto at = line.find("inet ");
        auto end = line.find(" scope");
        if (at != std::string::npos)
            out += line.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5) + "\n";
    }
    if (p != nullptr)
        ::pclose(p);
    return out;
}

bool listed(const std::string& ifname, const char* addr)
{
    std::vector<if_address> list;
    EXPECT_EQ(if_addresses(&list), 0) << std::strerror(errno);
    in_addr want{};
    inet_pton(AF_INET, addr, &want);
    for (const auto& e : list)
        if (e.name == ifname && e.addr.s_addr == want.s_addr)
            return true;
    return false;
}

}  // namespace

TEST(ifaddr, names_are_cut_like_the_kernel_field)
{
    EXPECT_EQ(ifname_cut("em0"), "em0");
    EXPECT_EQ(ifname_cut("kelm0123456789abcdef"), "kelm0123456789a");
    EXPECT_EQ(ifname_cut("kelm0123456789a"), "kelm0123456789a");
    EXPECT_EQ(ifname_cut(std::string("em\0x", 4)), "em");
    EXPECT_EQ(ifname_cut(""), "");
}

TEST(ifaddr, add_is_repeatable_and_sends_a_broadcast_only_up_to_30)
{
    NEED_NAMESPACE();
    ASSERT_EQ(if_alias_add(alias("kelmt0", "10.77.0.5", "255.255.255.0", "10.77.0.255")), 0) << std::strerror(errno);
    ASSERT_EQ(if_alias_add(alias("kelmt0", "10.77.0.5", "255.255.255.0", "10.77.0.255")), 0) << std::strerror(errno);
    ASSERT_EQ(if_alias_add(alias("kelmt0", "10.77.9.9", "255.255.255.255", "10.77.9.9")), 0) << std::strerror(errno);
    EXPECT_EQ(shown("kelmt0"), "10.77.0.5/24 brd 10.77.0.255\n10.77.9.9/32\n");
    EXPECT_TRUE(listed("kelmt0", "10.77.0.5"));
    EXPECT_TRUE(listed("kelmt0", "10.77.9.9"));
    EXPECT_FALSE(listed("kelmt1", "10.77.0.5"));

    ASSERT_EQ(if_alias_delete(del("kelmt0", "10.77.0.5")), 0) << std::strerror(errno);
    ASSERT_EQ(if_alias_delete(del("kelmt0", "10.77.9.9")), 0) << std::strerror(errno);
    EXPECT_EQ(shown("kelmt0"), "");
    EXPECT_FALSE(listed("kelmt0", "10.77.0.5"));
}

TEST(ifaddr, failures_carry_the_system_error)
{
    NEED_NAMESPACE();
    errno = 0;
    EXPECT_EQ(if_alias_delete(del("kelmt0", "10.77.1.1")), -1);
    EXPECT_EQ(errno, EADDRNOTAVAIL);
    errno = 0;
    EXPECT_EQ(if_alias_add(alias("kelm-missing", "10.77.1.1", "255.255.255.255", "10.77.1.1")), -1);
    EXPECT_EQ(errno, ENODEV);
    errno = 0;
    EXPECT_EQ(if_alias_delete(del("kelm-missing", "10.77.1.1")), -1);
    EXPECT_EQ(errno, ENODEV);
    // A mask with holes has no prefix length.
    errno = 0;
    EXPECT_EQ(if_alias_add(alias("kelmt0", "10.77.1.1", "255.0.255.0", "10.255.1.255")), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(shown("kelmt0"), "");
}

TEST(ifaddr, the_list_names_interfaces_not_labels_and_gives_local_addresses)
{
    NEED_NAMESPACE();
    ASSERT_EQ(std::system("ip addr add 10.77.2.1/32 dev kelmt0 label kelmt0:svc && "
                          "ip addr add 10.77.3.1 peer 10.77.3.2 dev kelmt1"),
              0);
    EXPECT_TRUE(listed("kelmt0", "10.77.2.1"));
    EXPECT_TRUE(listed("kelmt1", "10.77.3.1"));
    EXPECT_FALSE(listed("kelmt1", "10.77.3.2"));
    EXPECT_EQ(if_alias_delete(del("kelmt0", "10.77.2.1")), 0);
    EXPECT_EQ(if_alias_delete(del("kelmt1", "10.77.3.1")), 0);
    EXPECT_FALSE(listed("kelmt0", "10.77.2.1"));
}

TEST(ifaddr, a_full_length_name_field_reaches_the_cut_interface)
{
    NEED_NAMESPACE();
    in_aliasreq req = alias("", "10.77.4.1", "255.255.255.255", "10.77.4.1");
    // All sixteen bytes set: only fifteen count.
    std::memcpy(req.ifra_name, "kelm0123456789ab", ifnamsiz);
    ASSERT_EQ(if_alias_add(req), 0) << std::strerror(errno);
    EXPECT_TRUE(listed("kelm0123456789a", "10.77.4.1"));
    ifreq_in d = del("", "10.77.4.1");
    std::memcpy(d.name, "kelm0123456789az", ifnamsiz);
    EXPECT_EQ(if_alias_delete(d), 0) << std::strerror(errno);
    EXPECT_FALSE(listed("kelm0123456789a", "10.77.4.1"));
}
