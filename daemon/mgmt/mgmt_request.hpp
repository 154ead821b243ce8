// One management request, from the text a client sent to the reply text it gets:
// parse, log, dispatch through the command tables, and serialise. Runs on the
// worker threads; never throws, so every request gets exactly one reply.
#pragma once

#include "daemon/mgmt/mgmt_app.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace mgmt {

// Requests nest a level or two; a deeper document is refused before it is parsed.
inline constexpr std::size_t MAX_REQUEST_DEPTH = 64;

// The reply text (compact JSON, members in byte order, invalid UTF-8 replaced by
// U+FFFD) for the request text `text` from the requester named `label`.
std::string handle_request(std::string_view text, const std::string& label, const nlohmann::json& config,
                           const mgmt_app& app);

// The handler's result as a reply (a copy of "requestId" when `request` has one).
nlohmann::json dispatch_request(const nlohmann::json& request, const nlohmann::json& config, const mgmt_app& app,
                                const std::string& label);

// Replies the broker sends itself, without a worker: "EA80001" for a request of
// `parts` message parts (a request is one) or of `bytes` bytes over the limit
// (not parsed), and "EAGAIN" "Request cannot be done. Try again." for a request
// that comes after the end of an activation (with its "requestId", when the
// text is a JSON object that has one).
std::string multipart_reply(std::size_t parts);
std::string oversize_reply(std::size_t bytes, std::size_t limit);
std::string try_again_reply(std::string_view text);

// Whether arrays and objects in the JSON text nest deeper than `max`.
bool nests_deeper_than(std::string_view text, std::size_t max);

}  // namespace mgmt
