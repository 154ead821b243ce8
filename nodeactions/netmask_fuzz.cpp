// libFuzzer target: poolrun's netmask notation (a service address's "netmask"). Any
// text without a zero byte gives a mask or none, never a crash; a prefix length gives a contiguous mask
// of that many bits, a dotted quad the address the C library reads.
#include "nodeactions/service_addrs.hpp"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void expect(bool ok, const std::string& text, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "netmask_fuzz: '%s': %s\n", text.c_str(), what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find('\0') != std::string::npos)
        return 0;  // the service reader refuses a text with a zero byte before it gets here
    const auto mask = nodeactions::netmask_parse(text);
    if (text.empty()) {
        expect(mask && *mask == htonl(0xffffffffU), text, "empty text is not /32");
        return 0;
    }
    const bool hex = text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!hex && text.find('.') != std::string::npos) {
        in_addr ref{};
        const bool ok = inet_pton(AF_INET, text.c_str(), &ref) == 1;
        expect(ok == mask.has_value() && (!ok || ref.s_addr == *mask), text, "dotted quad read differently");
    } else if (!hex && mask) {
        const uint32_t host = ntohl(*mask);
        const uint32_t zeros = ~host;  // 2^k - 1 for a mask of 32 - k leading ones
        expect((zeros & (zeros + 1)) == 0, text, "prefix length gave a mask that is not contiguous");
    }
    return 0;
}
