// The iSCSI initiator tool as nodefence uses it: the session list (the tool's
// JSON), finding a node's session by portal, removing and adding a session.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace nodeactions {

struct iscsi_session {
    std::string target_name;
    std::string portal;
    std::string state;
    size_t lun_count = 0;
};

// "iscsictl -L -v --libxo=json"; the output, or none with `err` set.
std::optional<std::string> iscsi_sessions_get(std::string* err);

// Sessions in the tool's order; none with `err` when the text is not JSON or has
// no "iscsictl" object member, or its "session" is not an array.
std::optional<std::vector<iscsi_session>> iscsi_sessions_parse(const std::string& text, std::string* err);

// The first session whose portal is `portal`; an empty portal matches none.
std::optional<iscsi_session> iscsi_session_find(const std::vector<iscsi_session>& sessions,
                                                const std::string& portal);

// "iscsictl <option> -n <nickname>"; `output` gets the tool's output without its
// trailing line breaks, on success and on failure.
bool iscsi_session_ctl(const std::string& option, const std::string& nickname, std::string* output,
                       std::string* err);
bool iscsi_session_remove(const std::string& nickname, std::string* output, std::string* err);
bool iscsi_session_add(const std::string& nickname, std::string* output, std::string* err);

}  // namespace nodeactions
