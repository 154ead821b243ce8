// `pellix-cluster ha disk status`: reads the HA disks itself, one after the
// other, with the reservation device classes (quiet: they print nothing), as
// the host this process runs as, and prints the report (ha_disk_report.hpp).
#include "cli/exit_status.hpp"
#include "cli/ha_disk_report.hpp"
#include "platform/process.hpp"
#include "reservation/nvme.hpp"
#include "reservation/resv_open.hpp"
#include "reservation/scsi.hpp"

#include <unistd.h>

#include <cstdio>

namespace cli {

disk_report read_disk_report(const std::string& name)
{
    disk_report r;
    r.name = name;
    r.nvme = FreeBSD::reservation::is_nvme_name(name);
    // The device object is closed again before the next disk is opened.
    if (r.nvme)
        r.state = FreeBSD::reservation::nvme(name, true).report();
    else
        r.state = FreeBSD::reservation::scsi(name, true).report();
    return r;
}

ha_status_output ha_disk_status_run(const nlohmann::json& config, output_format format,
                                    std::optional<uint32_t> own_id, const std::string& hostname, bool root)
{
    ha_status_output o;
    const ha_context ctx = ha_config_load(config, hostname, own_id);
    if (!ctx.ok) {
        o.err = ctx.error + "\n";
        o.status = exit_ha_config;
        return o;
    }
    if (ctx.nodes.size() != 2)
        o.err += "warning: configuration lists " + std::to_string(ctx.nodes.size()) +
                 " node(s); HA is a pair, peer is not deduced\n";
    if (!ctx.own_id)
        o.err += "warning: this host is not listed in nodes[].nodename; keys are shown unlabelled (use --id=N to "
                 "label them)\n";
    if (!root)
        o.err += "warning: not running as root; reservation commands will most likely be refused by the devices\n";
    std::vector<disk_report> reports;
    reports.reserve(ctx.disks.size());
    for (const auto& name : ctx.disks)
        reports.push_back(read_disk_report(name));
    const disk_summary sum = ha_disk_summary(ctx, reports);
    if (format == output_format::json)
        o.out = ha_disk_report_json(ctx, reports, sum).dump(3, ' ', false, nlohmann::json::error_handler_t::replace) +
                "\n";
    else
        o.out = ha_disk_report_table(ctx, reports, sum);
    o.status = ha_report_status(sum);
    return o;
}

int ha_disk_status(const nlohmann::json& config, output_format format, std::optional<uint32_t> own_id)
{
    // A host name that cannot be read labels nothing as this node.
    const std::string hostname = platform::read_hostname().value_or("");
    const ha_status_output o = ha_disk_status_run(config, format, own_id, hostname, ::geteuid() == 0);
    std::fputs(o.err.c_str(), stderr);
    std::fputs(o.out.c_str(), stdout);
    std::fflush(stdout);
    return o.status;
}

}  // namespace cli
