// libFuzzer target: the configuration file as the daemon reads it. The input is the
// file's content, loaded through config::load_file (from a memory file), then the
// node and service lists, the `cluster` and `ha` records, the lenient getters every
// other program uses, and the daemon's start-up checks. A bad file may only throw
// the JSON library's exceptions, which the daemon turns into one "[main] ..." line;
// anything else escaping, or a sanitizer report, is a fault.
#include "config/cluster_config.hpp"
#include "daemon/core/config_check.hpp"
#include "fuzz/memory_file.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Runs one reader; the JSON library's exceptions are the documented refusal.
template <typename F>
void refused_or_read(F f)
{
    try {
        f();
    } catch (const nlohmann::json::exception&) {
    }
}

void walk(const nlohmann::json& doc)
{
    for (const char* list : {"nodes", "services"}) {
        for (const auto& e : config::entries(doc, list)) {
            (void)config::bool_or(e, "leadership_disabled", false);
            (void)config::string_or(e, "nodename", "");
            (void)config::int_or(e, "id", -1);
            refused_or_read([&] { (void)config::value_or<std::string>(e, "internal_addr", ""); });
        }
    }
    refused_or_read([&] { (void)config::read_cluster(doc); });
    refused_or_read([&] { (void)config::read_ha(doc); });
    for (int self_matches = 0; self_matches <= 2; ++self_matches) {
        refused_or_read([&] {
            auto refusal = kelm::check_daemon_config(doc, self_matches);
            if (refusal && refusal->rfind("[main] ", 0) != 0) {
                std::fprintf(stderr, "config_check_fuzz: refusal without its prefix: %s\n", refusal->c_str());
                std::abort();
            }
        });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = fuzz::memory_file_with(data, size);
    nlohmann::json doc;
    try {
        doc = config::load_file(path);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    walk(doc);
    return 0;
}
