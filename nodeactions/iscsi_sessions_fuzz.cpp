// libFuzzer target: the initiator tool's session list ("iscsictl -L -v --libxo=json"
// output). Whatever the tool prints, the parser answers with sessions or with a
// reason, and never throws: an exception would end nodefence after it may already
// have switched a port.
#include "nodeactions/iscsi_sessions.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string err;
    std::optional<std::vector<nodeactions::iscsi_session>> sessions;
    sessions = nodeactions::iscsi_sessions_parse(text, &err);
    if (!sessions) {
        if (err.empty()) {
            std::fprintf(stderr, "iscsi_sessions_fuzz: refused without a reason\n");
            std::abort();
        }
        return 0;
    }
    for (const auto& s : *sessions) {
        auto found = nodeactions::iscsi_session_find(*sessions, s.portal);
        if (s.portal.empty() ? found.has_value() : !found || found->portal != s.portal) {
            std::fprintf(stderr, "iscsi_sessions_fuzz: lookup by portal went wrong\n");
            std::abort();
        }
    }
    return 0;
}
