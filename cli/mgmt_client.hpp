// The utility's side of the management protocol: the configuration read, one
// request/reply exchange with the leader's management endpoint over a ZMQ REQ
// socket, and the readers that take values out of a reply.
//
// Every outcome other than a usable reply prints its one line on standard error
// and throws `exit_now` with the utility's status; the configuration and reply
// parse errors are left to escape (the terminate handler reports them, status 1).
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace cli {

using json = nlohmann::json;

// The configuration file every command reads; -c/--config replaces it.
extern std::string config_path;

// Reads and parses `config_path`. A path that cannot be opened, or that names a
// directory: "Config file %s doesn't exists", status -3.
json config_load();

// One exchange: a fresh configuration read, context, socket and monitor. Returns
// only a reply that is not an error reply.
json mgmt_request(const json& request);

// The text of an error reply: "error: errorMessage", or the one that is a
// non-empty string, or "unknown error (no error/errorMessage in reply)".
std::string reply_error_text(const json& reply);

// "Bad reply from kelm: %s", status 1.
[[noreturn]] void bad_reply(const std::string& text);

// The array under "response" (else `bad_reply`).
const json& reply_response_array(const json& reply);

// As above, but a "response" of null is an empty list: the daemon answers null
// for a list with no entries.
const json& reply_list_array(const json& reply);

// An item's field of the given type (else `bad_reply` naming the field). An
// integer must be a JSON integer that fits 32 bits.
int item_get_int(const json& item, const std::string& name);
std::string item_get_string(const json& item, const std::string& name);
bool item_get_bool(const json& item, const std::string& name);

// A JSON integer (signed or unsigned) whose value fits a 32-bit signed int.
bool is_int32(const json& value);

// One item of a node status reply, read field by field in the order id,
// nodename, state, enabled.
struct node_item {
    int id;
    std::string name;
    std::string state;
    bool enabled;
};
node_item read_node_item(const json& item);

// "enabled" or "DISABLED", as the listings show an enabled flag.
const char* enabled_text(bool enabled);

}  // namespace cli
