// libFuzzer target: the target layer tool's port list ("ctladm portlist -x" output,
// read by plain text search). Whatever the tool prints, the parser returns ports
// sorted by ascending id with no negative id, texts trimmed, and a lookup returns
// only an iSCSI port of the asked target.
#include "nodeactions/ctl_ports.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void expect(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "ctl_ports_fuzz: %s\n", what);
        std::abort();
    }
}

bool trimmed(const std::string& s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    return s.empty() || (!blank(s.front()) && !blank(s.back()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string err;
    auto ports = nodeactions::ctl_portlist_parse(text, &err);
    expect(ports.has_value() || !err.empty(), "refused without a reason");
    if (!ports)
        return 0;
    for (size_t i = 0; i < ports->size(); ++i) {
        const auto& p = (*ports)[i];
        expect(p.id >= 0, "a port without a readable id was kept");
        expect(i == 0 || (*ports)[i - 1].id <= p.id, "ports not sorted by id");
        expect(trimmed(p.target), "target not trimmed");
        auto found = nodeactions::ctl_port_find(*ports, p.target);
        expect(p.target.empty() ? !found : !found || (found->target == p.target &&
                                                       found->type == nodeactions::ctl_port_type_iscsi),
               "lookup returned another target's port");
    }
    std::string value;
    if (nodeactions::xml_tag_text(text, "target", &value))
        expect(trimmed(value), "tag text not trimmed");
    return 0;
}
