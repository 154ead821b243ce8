// Registration and reservation bookkeeping of one emulated disk (reservation_state.hpp).
#include "platform/emulated/reservation_state.hpp"

namespace platform::disk_emul::resv_state {

namespace {

json& regs(json& disk)
{
    json& r = disk["registrations"];
    if (!r.is_array())
        r = json::array();
    return r;
}

}  // namespace

std::optional<uint64_t> key_of(const json& disk, const std::string& host)
{
    auto it = disk.find("registrations");
    if (it == disk.end() || !it->is_array())
        return std::nullopt;
    for (const auto& r : *it) {
        if (r.at("host").get<std::string>() == host)
            return r.at("key").get<uint64_t>();
    }
    return std::nullopt;
}

void set_key(json& disk, const std::string& host, uint64_t key)
{
    for (auto& r : regs(disk)) {
        if (r.at("host").get<std::string>() == host) {
            r["key"] = key;
            if (reserved(disk) && disk["reservation"].at("host").get<std::string>() == host)
                disk["reservation"]["key"] = key;
            return;
        }
    }
    regs(disk).push_back(json{{"host", host}, {"key", key}});
}

void unregister(json& disk, const std::string& host, bool all_registrants)
{
    json& r = regs(disk);
    for (size_t i = 0; i < r.size(); ++i) {
        if (r[i].at("host").get<std::string>() == host) {
            r.erase(i);
            break;
        }
    }
    if (!reserved(disk))
        return;
    if (all_registrants ? r.empty() : disk["reservation"].at("host").get<std::string>() == host)
        drop_reservation(disk);
}

int remove_key(json& disk, uint64_t key, const std::string& keep, bool all_registrants)
{
    int removed = 0;
    json& r = regs(disk);
    for (size_t i = 0; i < r.size();) {
        std::string host = r[i].at("host").get<std::string>();
        if (host != keep && r[i].at("key").get<uint64_t>() == key) {
            unregister(disk, host, all_registrants);
            ++removed;
        } else {
            ++i;
        }
    }
    return removed;
}

void remove_others(json& disk, const std::string& keep)
{
    json kept = json::array();
    for (const auto& r : regs(disk)) {
        if (r.at("host").get<std::string>() == keep)
            kept.push_back(r);
    }
    disk["registrations"] = kept;
}

bool reserved(const json& disk)
{
    auto it = disk.find("reservation");
    return it != disk.end() && it->is_object();
}

uint32_t res_type(const json& disk)
{
    return reserved(disk) ? disk.at("reservation").at("type").get<uint32_t>() : 0;
}

bool holds(const json& disk, const std::string& host, bool all_registrants)
{
    if (!reserved(disk))
        return false;
    if (all_registrants)
        return key_of(disk, host).has_value();
    return disk.at("reservation").at("host").get<std::string>() == host;
}

void reserve(json& disk, const std::string& host, uint32_t type, uint64_t key)
{
    disk["reservation"] = json{{"host", host}, {"type", type}, {"key", key}};
}

void drop_reservation(json& disk)
{
    disk["reservation"] = nullptr;
}

void bump_generation(json& disk)
{
    uint32_t g = disk.value("generation", uint32_t{0});
    disk["generation"] = static_cast<uint32_t>(g + 1);
}

bool may_write(const json& disk, const std::string& host)
{
    if (!disk.is_object() || disk.value("removed", false))
        return false;
    if (!reserved(disk))
        return true;
    // Type codes of the two protocols: SCSI 1 WE, 3 EA, 5/6 registrants only,
    // 7/8 all registrants; NVMe 1 WE, 2 EA, 3/4 registrants only, 5/6 all registrants.
    const uint32_t type = res_type(disk);
    const bool nvme = disk.value("proto", "") == "nvme";
    const bool holder_only = nvme ? (type == 1 || type == 2) : (type == 1 || type == 3);
    if (holder_only)
        return holds(disk, host, false);
    return key_of(disk, host).has_value();
}

}  // namespace platform::disk_emul::resv_state
