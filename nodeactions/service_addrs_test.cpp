// Service addresses without touching any interface: the netmask notation, and the
// requests and phase lines that fail or settle before the kernel is asked.
#include "nodeactions/service_addrs.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <sstream>

using namespace nodeactions;

namespace {

std::string mask_text(const std::string& netmask)
{
    auto mask = netmask_parse(netmask);
    if (!mask)
        return "invalid";
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = *mask;
    return inet_ntop(AF_INET, &a, buf, sizeof(buf));
}

// Phase lines of one test, message text only.
class captured_lines {
public:
    captured_lines()
    {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out_);
        auto logger = std::make_shared<spdlog::logger>("test", sink);
        logger->set_pattern("%v");
        spdlog::set_default_logger(logger);
    }
    std::string text() const { return out_.str(); }

private:
    std::ostringstream out_;
};

}  // namespace

TEST(netmask_parse, valid_forms)
{
    const std::pair<const char*, const char*> table[] = {
        {"", "255.255.255.255"},
        {"24", "255.255.255.0"},
        {"255.255.255.0", "255.255.255.0"},
        {"0xffffff00", "255.255.255.0"},
        {"0XFFFFFF00", "255.255.255.0"},
        {"0x0", "0.0.0.0"},
        {"0xffffffff", "255.255.255.255"},
        {"0x00000000ffffff00", "255.255.255.0"},  // leading zeros are still 32 bits
        {"0", "0.0.0.0"},
        {"1", "128.0.0.0"},
        {"32", "255.255.255.255"},
        {"31", "255.255.255.254"},
        {"+8", "255.0.0.0"},
        // Non-contiguous masks parse; only the kernel request refuses them.
        {"255.0.255.0", "255.0.255.0"},
        {"0xff00ff00", "255.0.255.0"},
    };
    for (const auto& [text, want] : table)
        EXPECT_EQ(mask_text(text), want) << "netmask '" << text << "'";
}

TEST(netmask_parse, invalid_forms)
{
    const char* table[] = {
        "33", "-1", "24x", "0x", "0xg", "255.255.255", "255.255.255.0.", "256.0.0.0", "x", "24 ", "abc",
        "0x1ffffffff",               // above 32 bits: refused like a prefix above 32
        "0x100000000",
        "0xffffffffffffffffffffff",  // beyond unsigned long
        "99999999999999999999999",
        "0x-1", "0x 1", "0x+1", "0xffffff00 ",
    };
    for (const char* text : table)
        EXPECT_EQ(mask_text(text), "invalid") << "netmask '" << text << "'";
}

TEST(service_addresses, bad_texts_fail_before_any_request)
{
    std::string err;
    EXPECT_FALSE(ext_ip_add("kelm-none0", "10.0.0.300", "24", &err));
    EXPECT_EQ(err, "invalid IPv4 address");
    EXPECT_FALSE(ext_ip_add("kelm-none0", "192.0.2.1", "255.255.255", &err));
    EXPECT_EQ(err, "invalid netmask");
    EXPECT_FALSE(ext_ip_delete("kelm-none0", "", &err));
    EXPECT_EQ(err, "invalid IPv4 address");
    EXPECT_EQ(ext_ip_presence("kelm-none0", "1.2.3", &err), ip_presence::invalid_address);
    EXPECT_EQ(err, "invalid IPv4 address");
    // A mask the kernel cannot express as a prefix length.
    EXPECT_FALSE(ext_ip_add("kelm-none0", "192.0.2.1", "255.0.255.0", &err));
    EXPECT_EQ(err, std::strerror(EINVAL));
}

TEST(service_addresses, phase_lines_of_settled_and_failed_addresses)
{
    {
        captured_lines lines;
        EXPECT_EQ(ext_ips_apply({}, true, 25), 0);
        EXPECT_EQ(lines.text(), "phase=ext-ip count=0 : begin add\n");
    }
    {
        // Remove of a text that is no address: nothing to remove, the run goes on.
        captured_lines lines;
        ext_ip_map ips{{"10.0.0.300", {"kelm-none0", ""}}};
        EXPECT_EQ(ext_ips_apply(ips, false, 35), 0);
        EXPECT_EQ(lines.text(),
                  "phase=ext-ip count=1 : begin remove\n"
                  "phase=ext-ip ip=10.0.0.300 iface=kelm-none0 : already in desired state\n");
    }
    {
        // Its add fails, and the later addresses are not looked at.
        captured_lines lines;
        ext_ip_map ips{{"10.0.0.300", {"kelm-none0", ""}}, {"10.0.0.4", {"kelm-none0", "nonsense"}}};
        EXPECT_EQ(ext_ips_apply(ips, true, 25), 25);
        EXPECT_EQ(lines.text(),
                  "phase=ext-ip count=2 : begin add\n"
                  "phase=ext-ip ip=10.0.0.300 iface=kelm-none0 : adding\n"
                  "FAILED phase=ext-ip ip=10.0.0.300 iface=kelm-none0 exit=25 : failed to add address: "
                  "invalid IPv4 address\n");
    }
}
