// Registration and reservation bookkeeping shared by the emulated SCSI and NVMe
// targets (one disk's state.json, layout in disk_emul.hpp). Pure functions over
// the JSON state; the caller holds the disk's lock.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace platform::disk_emul::resv_state {

using json = nlohmann::json;

// The key `host` has registered, if any.
std::optional<uint64_t> key_of(const json& disk, const std::string& host);
// Registers or re-keys `host` (keeps its place in device order when re-keyed).
void set_key(json& disk, const std::string& host, uint64_t key);
// Removes `host`'s registration. A holder of a single-holder reservation releases
// it; an all-registrants reservation goes with the last registration.
void unregister(json& disk, const std::string& host, bool all_registrants);
// Removes every registration holding `key` except `keep`'s; how many went.
int remove_key(json& disk, uint64_t key, const std::string& keep, bool all_registrants);
// Removes every registration except `keep`'s.
void remove_others(json& disk, const std::string& keep);

bool reserved(const json& disk);
uint32_t res_type(const json& disk);
// Whether `host` holds the reservation (every registrant does for all-registrants types).
bool holds(const json& disk, const std::string& host, bool all_registrants);
void reserve(json& disk, const std::string& host, uint32_t type, uint64_t key);
void drop_reservation(json& disk);

void bump_generation(json& disk);

// Whether `host` may write to the disk (medium access, not reservation commands):
// anyone while nothing is reserved; under a write-exclusive or exclusive-access
// reservation only its holder; under a registrants-only or all-registrants type
// every registered host. A removed disk takes writes from nobody.
bool may_write(const json& disk, const std::string& host);

}  // namespace platform::disk_emul::resv_state
