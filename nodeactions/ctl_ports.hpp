// The CAM target layer tool as nodefence uses it: the port list (read from the
// tool's XML by plain text search), finding a node's port, switching a port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nodeactions {

// An iSCSI target port of the target layer.
inline constexpr int64_t ctl_port_type_iscsi = 16;

struct ctl_port {
    int64_t id = -1;
    int64_t type = -1;
    std::string target;
};

// "ctladm portlist -x"; the output, or none with `err` set.
std::optional<std::string> ctl_portlist_get(std::string* err);

// Ports of the XML text sorted by ascending id; ports without a readable id are
// dropped. None when the text holds no "<ctlportlist>".
std::optional<std::vector<ctl_port>> ctl_portlist_parse(const std::string& text, std::string* err);

// Text between the first "<tag>" of `block` and the "</tag>" after it, blanks and
// line breaks trimmed from both ends.
bool xml_tag_text(const std::string& block, const std::string& tag, std::string* out);

// The first port (ascending id) of type 16 carrying `target`; an empty target has none.
std::optional<ctl_port> ctl_port_find(const std::vector<ctl_port>& ports, const std::string& target);

// "ctladm port -o on|off -p <id>". `output` gets the tool's output trimmed of
// blanks and line breaks at both ends, on success and on failure.
bool ctl_port_switch(int64_t id, bool on, std::string* output, std::string* err);

}  // namespace nodeactions
