// Finds the Runner's own node in the cluster configuration: where to serve and
// which host name its programs are to see.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace runner {

struct own_node {
    uint32_t id = 0;
    std::string nodename;
    std::string internal_addr;
    uint16_t runner_port = 0;
};

// The `nodes` entry whose `id` is `id`. Throws std::runtime_error with a message
// naming the problem when there is none, or when a key it needs is missing or
// mistyped, or `runner_port` is outside 1..65535.
own_node find_own_node(const nlohmann::json& config, uint32_t id);

}  // namespace runner
