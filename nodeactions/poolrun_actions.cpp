// poolrun's actions: start (import, addresses, hooks), stop (hooks, export,
// addresses) and recovery (import only, online, export) of one service.
#include "nodeactions/poolrun_actions.hpp"

#include "nodeactions/exit_codes.hpp"
#include "nodeactions/phase_log.hpp"
#include "nodeactions/pool_mount.hpp"
#include "nodeactions/pool_ops.hpp"
#include "nodeactions/poolrun_service.hpp"
#include "nodeactions/service_addrs.hpp"
#include "nodeactions/service_hooks.hpp"
#include "platform/emulation.hpp"
#include "platform/process.hpp"

#include <map>
#include <string>

namespace nodeactions::poolrun {

namespace {

std::string count(std::size_t n)
{
    return std::to_string(n);
}

int done(const service_def& svc, const char* action)
{
    phase_info("service", ctx({{"name", svc.name}, {"action", action}, {"exit", "0"}}), "done");
    return exit_ok;
}

// Brings one pool up for a start: imported here and its datasets mounted.
int start_pool(const std::string& pool)
{
    const std::string context = ctx({{"pool", pool}});
    std::string why;
    if (pool_is_imported(pool) == pool_presence::yes) {
        phase_info("pool-import", context, "already imported");
        // A pool left import-only by an earlier recovery is imported but not usable.
        if (!pool_mount_datasets(pool, &why))
            return phase_failed("pool-import", context, exit_pool_import, "datasets not mounted: " + why);
        return exit_ok;
    }
    std::string health;
    if (!pool_import_check(pool, &health))
        return phase_failed("pool-import", context, exit_pool_not_importable, health);
    phase_info("pool-import", ctx({{"pool", pool}, {"health", health}}), "importing");
    bool mounted = false;
    if (!pool_import(pool, false, &why, &mounted))
        return phase_failed("pool-import", context, exit_pool_import, why);
    phase_info("pool-import", context, "imported");
    // A start that says "done" must leave the pool usable: an unavailable pool or
    // datasets that did not mount fail it (one more mount attempt tells why).
    if (!mounted && !pool_mount_datasets(pool, &why))
        return phase_failed("pool-import", context, exit_pool_import, "datasets not mounted: " + why);
    return exit_ok;
}

int action_start(const service_def& svc, hook_runner& hooks)
{
    phase_info("service",
               ctx({{"name", svc.name}, {"action", "start"}, {"pools", count(svc.pools.size())},
                    {"ext_ips", count(svc.ext_ips.size())}}),
               "begin");
    for (const auto& pool : svc.pools) {
        if (int rc = start_pool(pool); rc != exit_ok)
            return rc;
    }
    if (int rc = ext_ips_apply(svc.ext_ips, true, exit_ext_ip_add); rc != exit_ok)
        return rc;
    for (const auto& pool : svc.pools)
        hooks.run_pool_hooks(pool, "onestart", true, svc.name);
    return done(svc, "start");
}

int stop_pool(const std::string& pool, pool_presence presence, std::string why, const ext_ip_map& ext_ips)
{
    const std::string context = ctx({{"pool", pool}});
    switch (presence) {
    case pool_presence::no:
        phase_info("pool-export", context, "already exported");
        return exit_ok;
    case pool_presence::unknown:
        // Taking an unreadable state for "exported" would report a stop that left
        // the pool imported here while another node imports it.
        return phase_failed("pool-export", context, exit_pool_export,
                            "can't tell whether pool is imported: " + why);
    case pool_presence::yes:
        break;
    }
    phase_info("pool-check-busy", context, "checking pool holders");
    if (report_pool_holders("pool-check-busy", context, pool) > 0)
        return phase_failed("pool-check-busy", context, exit_pool_export, "pool is busy");
    phase_info("pool-export", context, "exporting");
    if (!pool_export(pool, true, &why)) {
        report_pool_holders("pool-export", context, pool);
        // A busy pool keeps the service's addresses. A suspended one (read from
        // the pool layer, never from the error text) means this host has lost
        // the pool's storage: the service runs, or will run, elsewhere with these
        // addresses, so they go here; the stop still fails.
        if (pool_is_suspended(pool)) {
            phase_error("pool-export", context, why + "; pool suspended: removing the service addresses");
            if (int rc = ext_ips_apply(ext_ips, false, exit_ext_ip_remove); rc != exit_ok)
                return rc;
        }
        return phase_failed("pool-export", context, exit_pool_export, why);
    }
    phase_info("pool-export", context, "exported");
    return exit_ok;
}

// What a stop found of the service on this host before it acted: each state is
// read once, so the later phases decide on what decided the hooks.
struct found_state {
    struct pool_state {
        pool_presence presence = pool_presence::unknown;
        std::string why;  // for unknown
    };
    std::map<std::string, pool_state> pools;
    ip_presence_map ips;
};

// Whether anything of the service is on this host: a pool imported, or one whose
// state cannot be read, or an address present, or one that cannot be told.
bool holds_anything(const service_def& svc, found_state& seen)
{
    bool any = false;
    for (const auto& pool : svc.pools) {
        if (seen.pools.contains(pool))
            continue;
        auto& st = seen.pools[pool];
        st.presence = pool_is_imported(pool, &st.why);
        any = any || st.presence != pool_presence::no;
    }
    for (const auto& [ip, value] : svc.ext_ips) {
        const ip_presence p = seen.ips[ip] = ext_ip_presence(value.interface, ip);
        any = any || p == ip_presence::present || p == ip_presence::unknown;
    }
    return any;
}

int action_stop(const service_def& svc, hook_runner& hooks)
{
    phase_info("service",
               ctx({{"name", svc.name}, {"action", "stop"}, {"pools", count(svc.pools.size())},
                    {"ext_ips", count(svc.ext_ips.size())}}),
               "begin");
    // Every stop hook of every pool runs before any pool is exported. A host
    // that holds nothing of the service runs none: a hook such as the pool
    // event publisher would announce a pool going down that never was up here
    // (the leader asks every returning node to stop the services of others).
    found_state seen;
    if (holds_anything(svc, seen)) {
        for (const auto& pool : svc.pools)
            hooks.run_pool_hooks(pool, "stop", false, svc.name);
    } else {
        phase_info("service", ctx({{"name", svc.name}, {"action", "stop"}}),
                   "nothing of the service on this host: no hooks run");
    }
    for (const auto& pool : svc.pools) {
        auto& st = seen.pools[pool];
        if (int rc = stop_pool(pool, st.presence, st.why, svc.ext_ips); rc != exit_ok)
            return rc;
        st.presence = pool_presence::no;  // a pool named twice is exported once
    }
    if (int rc = ext_ips_apply(svc.ext_ips, false, exit_ext_ip_remove, &seen.ips); rc != exit_ok)
        return rc;
    return done(svc, "stop");
}

int action_recovery(const service_def& svc)
{
    phase_info("service", ctx({{"name", svc.name}, {"action", "recovery"}, {"pools", count(svc.pools.size())}}),
               "begin");
    for (const auto& pool : svc.pools) {
        const std::string context = ctx({{"pool", pool}});
        std::string text;
        if (!pool_import_check(pool, &text)) {
            phase_info("pool-recovery", context, "skip import: " + text);
            continue;
        }
        phase_info("pool-recovery", ctx({{"pool", pool}, {"health", text}}), "importing");
        std::string why;
        if (!pool_import(pool, true, &why))
            return phase_failed("pool-recovery", context, exit_recovery_import, why);
        phase_info("pool-recovery", context, "imported");
        if (pool_online_vdevs(pool, &why))
            phase_info("pool-recovery", context, "onlined vdevs");
        else
            phase_error("pool-recovery", context, "failed to online vdevs: " + why);
        phase_info("pool-recovery", context, "exporting (recovery)");
        if (!pool_export(pool, false, &why)) {
            report_pool_holders("pool-recovery", context, pool);
            return phase_failed("pool-recovery", context, exit_recovery_export, why);
        }
        phase_info("pool-recovery", context, "exported");
        // A run recovers one pool: the remaining pools are not looked at.
        return done(svc, "recovery");
    }
    return done(svc, "recovery");
}

}  // namespace

int run(const invocation& inv)
{
    // Read before the service lookup; only the hooks' environment uses it. A host
    // name that cannot be read means no host node id, never the end of the run.
    const std::optional<std::string> host = platform::read_hostname();
    const std::optional<long long> node_id = host ? host_node_id(inv.doc, *host) : std::nullopt;
    const std::optional<service_def> svc = find_service(inv.doc, inv.target);
    if (!svc)
        return phase_failed("service", ctx({{"name", inv.target}}), exit_service_not_found,
                            "service was not found in config");
    if (inv.action == "start" || inv.action == "stop") {
        hook_runner hooks(hook_dir(), platform::system_path("/pools"), node_id, hook_budget_default);
        return inv.action == "start" ? action_start(*svc, hooks) : action_stop(*svc, hooks);
    }
    return action_recovery(*svc);
}

}  // namespace nodeactions::poolrun
