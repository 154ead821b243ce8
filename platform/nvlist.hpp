// Name/value lists as the pool library hands out pool configurations and takes
// properties: an ordered list of pairs whose names may repeat (an import search
// can list one pool name twice), each value one of the kinds the pool code reads.
// Not thread-safe: a list belongs to one caller at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace platform::zfs {

using uint_t = unsigned int;

// nvlist_alloc flag: adding a name that is present replaces its value.
inline constexpr uint_t NV_UNIQUE_NAME = 0x1;

struct nvlist_t;

// The value of one pair. Nested lists are owned by the pair; `views` keeps the
// plain pointers that the array lookup hands out.
struct nvlist_array {
    std::vector<std::unique_ptr<nvlist_t>> lists;
    std::vector<nvlist_t*> views;
};

using nvvalue = std::variant<uint64_t, uint32_t, std::string, std::vector<uint64_t>,
                             std::unique_ptr<nvlist_t>, nvlist_array>;

struct nvpair_t {
    std::string name;
    nvvalue value;
};

struct nvlist_t {
    uint_t flags = 0;
    // unique_ptr so a pair pointer stays valid while later pairs are added.
    std::vector<std::unique_ptr<nvpair_t>> pairs;

    nvlist_t() = default;
    nvlist_t(const nvlist_t&) = delete;
    nvlist_t& operator=(const nvlist_t&) = delete;

    // Builders used by the backends (they copy nested lists).
    void add(const std::string& name, nvvalue value);
    std::unique_ptr<nvlist_t> clone() const;
};

// Returns 0 or an errno value, like the library's own calls.
int nvlist_alloc(nvlist_t** out, uint_t flags, int kmflag);
void nvlist_free(nvlist_t* nvl);

int nvlist_add_string(nvlist_t* nvl, const char* name, const char* value);
int nvlist_add_uint32(nvlist_t* nvl, const char* name, uint32_t value);
int nvlist_add_uint64(nvlist_t* nvl, const char* name, uint64_t value);
int nvlist_add_uint64_array(nvlist_t* nvl, const char* name, const uint64_t* values, uint_t count);
// Copies `value` into the list.
int nvlist_add_nvlist(nvlist_t* nvl, const char* name, const nvlist_t* value);
int nvlist_add_nvlist_array(nvlist_t* nvl, const char* name, const nvlist_t* const* values, uint_t count);

// The pair after `prev` (the first one when prev is null), null at the end.
nvpair_t* nvlist_next_nvpair(nvlist_t* nvl, const nvpair_t* prev);
const char* nvpair_name(const nvpair_t* pair);
// EINVAL when the value is not a list.
int nvpair_value_nvlist(nvpair_t* pair, nvlist_t** out);

// Lookups find the first pair of that name; ENOENT when absent, EINVAL when of another kind.
int nvlist_lookup_uint64(const nvlist_t* nvl, const char* name, uint64_t* out);
int nvlist_lookup_uint32(const nvlist_t* nvl, const char* name, uint32_t* out);
int nvlist_lookup_string(const nvlist_t* nvl, const char* name, const char** out);
int nvlist_lookup_nvlist(nvlist_t* nvl, const char* name, nvlist_t** out);
int nvlist_lookup_uint64_array(nvlist_t* nvl, const char* name, uint64_t** out, uint_t* count);
int nvlist_lookup_nvlist_array(nvlist_t* nvl, const char* name, nvlist_t*** out, uint_t* count);

// Frees lists on scope exit.
struct nvlist_deleter {
    void operator()(nvlist_t* nvl) const { nvlist_free(nvl); }
};
using nvlist_ptr = std::unique_ptr<nvlist_t, nvlist_deleter>;

}  // namespace platform::zfs
