// The HA disk report's pure part: configuration context, summary, table and JSON
// (ha_disk_report.hpp).
#include "cli/ha_disk_report.hpp"

#include "cli/exit_status.hpp"

#include <fmt/format.h>

#include <map>
#include <stdexcept>

namespace cli {

using FreeBSD::reservation::resv_state;
using nlohmann::json;

namespace {

std::string hex(uint64_t v) { return fmt::format("0x{:x}", v); }

// The first configured node whose id is the key's low 32 bits; the high ones
// carry the term of the node's disk voter (0 in keys written without one).
const ha_node* node_of(const ha_context& ctx, uint64_t key)
{
    for (const auto& n : ctx.nodes)
        if (n.id == FreeBSD::reservation::key_node(key))
            return &n;
    return nullptr;
}

bool is_own(const ha_context& ctx, const ha_node* n) { return n && ctx.own_id && n->id == *ctx.own_id; }

json node_id_or_null(const ha_context& ctx, uint64_t key)
{
    const ha_node* n = node_of(ctx, key);
    return n ? json(n->id) : json(nullptr);
}

uint32_t node_id_value(const json& id)
{
    // A non-number is the library's own type error; a number must be a node id
    // a key can carry (32 bits), not silently truncated or wrapped.
    if (!id.is_number())
        return id.get<uint32_t>();
    const bool negative = id.is_number_integer() && !id.is_number_unsigned() && id.get<int64_t>() < 0;
    if (!id.is_number_integer() || negative || id.get<uint64_t>() > UINT32_MAX)
        throw std::runtime_error("configuration: node id " + id.dump() + " is not an integer from 0 to 4294967295");
    return id.get<uint32_t>();
}

const char* io_text(uint32_t kind)
{
    switch (kind) {
    case 0: return "ok";
    case 1: return "device_error";
    case 2: return "rejected";
    default: return "unknown";
    }
}

const char* error_kind_text(uint32_t kind)
{
    switch (kind) {
    case 1: return "device error";
    case 2: return "device rejected";
    default: return "error";
    }
}

std::string gen_cell(const resv_state& s)
{
    return s.ok || !s.registrants.empty() ? hex(s.generation) : "-";
}

std::string holder_cell(const ha_context& ctx, const resv_state& s)
{
    if (!s.reserved)
        return "-";
    return s.holder_known ? resv_key_label(ctx, s.holder_key) : "all-registrants";
}

std::string registrants_cell(const ha_context& ctx, const resv_state& s)
{
    if (s.registrants.empty())
        return "-";
    std::string out;
    for (const auto& r : s.registrants) {
        if (!out.empty())
            out += ' ';
        out += resv_key_label(ctx, r.key);
    }
    if (s.truncated)
        out += " ...";
    return out;
}

json disk_json(const ha_context& ctx, const disk_report& r)
{
    const resv_state& s = r.state;
    json d = {{"name", r.name},
              {"proto", r.nvme ? "nvme" : "scsi"},
              {"status", s.ok ? "ok" : "error"},
              {"generation", s.generation},
              {"truncated", s.truncated}};
    if (!s.ok) {
        d["io"] = io_text(s.error_kind);
        d["error"] = s.error_text;
    }
    if (!s.reserved) {
        d["reservation"] = nullptr;
    } else {
        d["reservation"] = {
            {"type", s.type_known ? FreeBSD::reservation::resv_type_name(s.type) : "UNKNOWN"},
            {"type_code", s.raw_type},
            {"holder_key", s.holder_known ? json(s.holder_key) : json(nullptr)},
            {"holder_node", s.holder_known ? node_id_or_null(ctx, s.holder_key) : json(nullptr)},
            {"all_registrants", !s.holder_known},
            {"ptpl", s.ptpl_known ? json(s.ptpl) : json(nullptr)},
        };
    }
    json regs = json::array();
    for (const auto& reg : s.registrants) {
        const ha_node* n = node_of(ctx, reg.key);
        json e = {{"key", reg.key},
                  {"node", n ? json(n->id) : json(nullptr)},
                  {"self", is_own(ctx, n)},
                  {"holder", reg.holder}};
        if (FreeBSD::reservation::key_term(reg.key) != 0)
            e["term"] = FreeBSD::reservation::key_term(reg.key);
        if (reg.controller_id_known)
            e["ctrl_id"] = reg.controller_id;
        regs.push_back(std::move(e));
    }
    d["registrants"] = std::move(regs);
    return d;
}

}  // namespace

ha_context ha_config_load(const json& config, const std::string& hostname, std::optional<uint32_t> own_id)
{
    ha_context ctx;
    if (!config.is_object() || !config.contains("ha")) {
        ctx.error = "configuration has no \"ha\" section: not an HA pair (this is the same check that enables HA in kelm)";
        return ctx;
    }
    const json& ha = config.at("ha");
    const json* disks = ha.is_object() && ha.contains("disks") ? &ha.at("disks") : nullptr;
    if (!disks || !disks->is_array() || disks->empty()) {
        ctx.error = "\"ha.disks\" is empty: the fencing group has no disks";
        return ctx;
    }
    for (const auto& d : *disks) {
        if (!d.is_string()) {
            ctx.error = "\"ha.disks\" must be a list of device names";
            ctx.disks.clear();
            return ctx;
        }
        ctx.disks.push_back(d.get<std::string>());
    }
    if (config.contains("nodes") && config.at("nodes").is_array()) {
        for (const auto& n : config.at("nodes")) {
            if (!n.is_object() || !n.contains("id"))
                continue;
            ha_node node;
            node.id = node_id_value(n.at("id"));
            if (n.contains("nodename"))
                node.nodename = n.at("nodename").get<std::string>();
            ctx.nodes.push_back(std::move(node));
        }
    }
    ctx.pair = ctx.nodes.size() == 2;
    ctx.own_id = own_id;
    if (!ctx.own_id) {
        for (const auto& n : ctx.nodes) {
            if (!n.nodename.empty() && n.nodename == hostname) {
                ctx.own_id = n.id;
                break;
            }
        }
    }
    ctx.ok = true;
    if (!ctx.own_id)
        return ctx;
    for (const auto& n : ctx.nodes)
        if (n.id == *ctx.own_id)
            ctx.own_name = n.nodename;
    if (ctx.pair)
        for (const auto& n : ctx.nodes)
            if (n.id != *ctx.own_id)
                ctx.peer_id = n.id;
    return ctx;
}

disk_summary ha_disk_summary(const ha_context& ctx, const std::vector<disk_report>& reports)
{
    disk_summary sum;
    sum.configured = reports.size();
    sum.quorum_required = sum.configured / 2 + 1;
    std::map<uint64_t, uint64_t> holders;
    for (const auto& r : reports) {
        const resv_state& s = r.state;
        if (s.truncated)
            ++sum.truncated;
        if (!s.ok) {
            ++sum.failed;
            continue;
        }
        ++sum.read;
        if (ctx.own_id)
            for (const auto& reg : s.registrants)
                if (FreeBSD::reservation::key_node(reg.key) == *ctx.own_id) {
                    ++sum.our_key_registered;
                    break;
                }
        if (!s.reserved)
            continue;
        ++sum.reserved;
        if (!s.type_known || s.type != FreeBSD::reservation::EXCLUSIVE_ACCESS)
            ++sum.unexpected_type;
        // A node's keys count together whatever term each carries.
        if (s.holder_known)
            ++holders[FreeBSD::reservation::key_node(s.holder_key)];
        else
            ++sum.all_registrants;
    }
    for (auto [key, count] : holders) {
        sum.holders.push_back({key, count});
        if (count >= sum.quorum_required)
            sum.quorum_holder = key;
    }
    return sum;
}

std::string resv_type_text(const resv_state& s)
{
    if (!s.reserved)
        return "-";
    if (!s.type_known)
        return "UNKNOWN(" + hex(s.raw_type) + ")";
    return FreeBSD::reservation::resv_type_name(s.type);
}

std::string resv_key_label(const ha_context& ctx, uint64_t key)
{
    const ha_node* n = node_of(ctx, key);
    if (!n)
        return hex(key) + "(?)";
    const uint64_t term = FreeBSD::reservation::key_term(key);
    return fmt::format("{}(n{}{}{})", hex(key), n->id, is_own(ctx, n) ? "*" : "",
                       term != 0 ? fmt::format(" t{}", term) : std::string());
}

std::string pad_right(const std::string& text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

json ha_disk_report_json(const ha_context& ctx, const std::vector<disk_report>& reports, const disk_summary& sum)
{
    json node = nullptr;
    if (ctx.own_id)
        node = {{"id", *ctx.own_id}, {"name", ctx.own_name}, {"key", *ctx.own_id}};
    json peer = nullptr;
    if (ctx.peer_id)
        peer = {{"id", *ctx.peer_id}, {"key", *ctx.peer_id}};
    json disks = json::array();
    for (const auto& r : reports)
        disks.push_back(disk_json(ctx, r));
    json holders = json::array();
    for (const auto& h : sum.holders)
        holders.push_back({{"key", h.key}, {"node", node_id_or_null(ctx, h.key)}, {"disks", h.disks}});
    json quorum_holder = nullptr;
    if (sum.quorum_holder)
        quorum_holder = {{"key", *sum.quorum_holder}, {"node", node_id_or_null(ctx, *sum.quorum_holder)}};
    json summary = {{"configured", sum.configured},
                    {"read", sum.read},
                    {"failed", sum.failed},
                    {"our_key_registered", sum.our_key_registered},
                    {"reserved", sum.reserved},
                    {"all_registrants", sum.all_registrants},
                    {"unexpected_type", sum.unexpected_type},
                    {"truncated", sum.truncated},
                    {"quorum_required", sum.quorum_required},
                    {"holders", std::move(holders)},
                    {"quorum_holder", std::move(quorum_holder)}};
    return {{"ha",
             {{"node", std::move(node)},
              {"peer", std::move(peer)},
              {"disks", std::move(disks)},
              {"summary", std::move(summary)}}}};
}

std::string ha_disk_report_table(const ha_context& ctx, const std::vector<disk_report>& reports,
                                 const disk_summary& sum)
{
    using row = std::vector<std::string>;
    std::vector<row> rows{{"DISK", "PROTO", "STATUS", "TYPE", "GEN", "HOLDER", "REGISTRANTS"}};
    for (const auto& r : reports) {
        const resv_state& s = r.state;
        rows.push_back({r.name, r.nvme ? "nvme" : "scsi", s.ok ? "ok" : "error", resv_type_text(s), gen_cell(s),
                        holder_cell(ctx, s), registrants_cell(ctx, s)});
    }
    std::vector<size_t> width(7, 0);
    for (const auto& cells : rows)
        for (size_t i = 0; i < 7; ++i)
            width[i] = std::max(width[i], cells[i].size());
    std::string out;
    for (const auto& cells : rows) {
        for (size_t i = 0; i < 6; ++i)
            out += pad_right(cells[i], width[i]) + "  ";
        out += cells[6] + "\n";
    }

    out += "\nLegend:   0xK(nN) = PR key 0xK is node N;  * = this node;  (?) = key not in config\n";
    out += "          \"-\" in TYPE/HOLDER = no reservation on the disk";
    if (sum.truncated != 0)
        out += ";  \"...\" = registrant list truncated";
    out += "\n";

    if (sum.failed != 0) {
        out += "\nErrors:\n";
        for (const auto& r : reports)
            if (!r.state.ok)
                out += fmt::format("  {}: {}: {}\n", r.name, error_kind_text(r.state.error_kind), r.state.error_text);
    }
    out += "\n";

    if (ctx.own_id) {
        out += fmt::format("Node:     {}", *ctx.own_id);
        if (!ctx.own_name.empty())
            out += " (" + ctx.own_name + ")";
        out += ", key " + hex(*ctx.own_id);
        if (ctx.peer_id)
            out += fmt::format(";  peer: {}, key {}", *ctx.peer_id, hex(*ctx.peer_id));
        out += "\n";
    } else {
        out += "Node:     unknown (hostname does not match any nodes[].nodename; keys are shown unlabelled)\n";
    }
    out += fmt::format("Disks:    {} configured, {} read, {} failed\n", sum.configured, sum.read, sum.failed);
    if (ctx.own_id)
        out += fmt::format("Our key:  registered on {} of {} read\n", sum.our_key_registered, sum.read);
    out += fmt::format("Reserved: {} of {} read", sum.reserved, sum.read);
    if (!sum.holders.empty()) {
        std::string list;
        for (const auto& h : sum.holders) {
            if (!list.empty())
                list += ", ";
            list += fmt::format("holder {}: {}", resv_key_label(ctx, h.key), h.disks);
        }
        out += " (" + list + ")";
    }
    if (sum.all_registrants != 0)
        out += fmt::format(", all-registrants on {}", sum.all_registrants);
    out += "\n";
    out += fmt::format("Quorum:   {} of {} required -> ", sum.quorum_required, sum.configured);
    out += sum.quorum_holder ? "HELD by " + resv_key_label(ctx, *sum.quorum_holder) + "\n" : "not held by any node\n";
    if (sum.unexpected_type != 0)
        out += fmt::format("WARNING:  {} disk(s) hold a reservation of a type other than EXCLUSIVE_ACCESS (the type "
                           "used by HA fencing)\n",
                           sum.unexpected_type);
    if (sum.truncated != 0)
        out += fmt::format("WARNING:  {} disk(s) reported more registrants than fit the answer buffer; lists are "
                           "incomplete\n",
                           sum.truncated);
    return out;
}

int ha_report_status(const disk_summary& sum)
{
    if (sum.read == 0)
        return exit_ha_none_read;
    return sum.failed > 0 ? exit_ha_some_failed : exit_ok;
}

}  // namespace cli
