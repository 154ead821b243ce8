// Pools whose leaves lie on shared reserved disks: a host writes a leaf only while
// the disk's reservation lets it, and the double-import counter counts two hosts
// that can write one pool, also when the change comes from a reservation command.
#include "platform/emulated/disk_emul.hpp"
#include "platform/emulated/reservation_state.hpp"
#include "platform/emulated/zfs_emul.hpp"
#include "platform/zfs.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace de = platform::disk_emul;
namespace emul = platform::zfs_emul;
namespace z = platform::zfs;
using emul::json;

namespace {

class pools_on_disks : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-pooldisk-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);
        std::string err;
        for (const char* d : {"da1", "da2"})
            ASSERT_TRUE(de::create_disk(d, "scsi", &err)) << err;
        json leaves = json::array({{{"path", "/dev/da1"}, {"disk", "da1"}}, {{"path", "/dev/da2"}, {"disk", "/dev/da2"}}});
        ASSERT_TRUE(emul::create_pool({{"name", "tank"}, {"vdevs", {{{"type", "mirror"}, {"children", leaves}}}}}, &err))
            << err;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        ::unsetenv("KELM_EMUL_ROOT");
        ::unsetenv("KELM_EMUL_HOST");
    }
    // Imports "tank" as `host`; the library's error text when refused.
    std::string import_as(const char* host)
    {
        ::setenv("KELM_EMUL_HOST", host, 1);
        z::libzfs_handle_t* hdl = z::libzfs_init();
        z::libpc_handle_t pc{hdl, &z::libzfs_config_ops, false};
        z::importargs_t args;
        args.poolname = "tank";
        z::nvlist_ptr found(z::zpool_search_import(&pc, &args));
        std::string out = "not found";
        z::nvlist_t* config = nullptr;
        if (found && z::nvpair_value_nvlist(z::nvlist_next_nvpair(found.get(), nullptr), &config) == 0)
            out = z::zpool_import_props(hdl, config, nullptr, nullptr, z::ZFS_IMPORT_ANY_HOST) == 0
                      ? ""
                      : z::libzfs_error_description(hdl);
        z::libzfs_fini(hdl);
        return out;
    }
    void on_both(const char* host, const char* op, uint32_t type, uint64_t key, uint64_t sa_key = 0)
    {
        std::string err;
        for (const char* d : {"da1", "da2"})
            ASSERT_TRUE(de::setup_command(d, host, op, type, key, sa_key, &err)) << op << ": " << err;
    }
    int64_t double_imports() { return emul::read_state(nullptr).value().value("double_imports", int64_t{0}); }
    std::string root_;
};

}  // namespace

TEST(disk_access, reservation_types_decide_who_writes)
{
    // {proto, type code, holder writes, other registrant writes, unregistered writes}
    struct row {
        const char* proto;
        uint32_t type;
        bool holder, registrant, stranger;
    };
    const row rows[] = {
        {"scsi", 1, true, false, false}, {"scsi", 3, true, false, false}, {"scsi", 5, true, true, false},
        {"scsi", 6, true, true, false},  {"scsi", 7, true, true, false},  {"scsi", 8, true, true, false},
        {"nvme", 1, true, false, false}, {"nvme", 2, true, false, false}, {"nvme", 3, true, true, false},
        {"nvme", 6, true, true, false},
    };
    for (const auto& r : rows) {
        json disk = {{"proto", r.proto},
                     {"registrations", json::array({{{"host", "a"}, {"key", 1}}, {{"host", "b"}, {"key", 2}}})},
                     {"reservation", {{"host", "a"}, {"type", r.type}, {"key", 1}}}};
        EXPECT_EQ(de::resv_state::may_write(disk, "a"), r.holder) << r.proto << r.type;
        EXPECT_EQ(de::resv_state::may_write(disk, "b"), r.registrant) << r.proto << r.type;
        EXPECT_EQ(de::resv_state::may_write(disk, "c"), r.stranger) << r.proto << r.type;
        disk["removed"] = true;
        EXPECT_FALSE(de::resv_state::may_write(disk, "a"));
    }
    EXPECT_TRUE(de::resv_state::may_write({{"proto", "scsi"}, {"reservation", nullptr}}, "c"));
    EXPECT_FALSE(de::host_may_write("nosuchdisk", "a"));
}

TEST_F(pools_on_disks, the_reservation_is_the_fence)
{
    on_both("node1", "register", 0, 1);
    on_both("node1", "reserve", 2, 1);  // exclusive access
    EXPECT_EQ(import_as("node2"), "not found");  // its labels cannot even be read
    ASSERT_EQ(import_as("node1"), "");

    // The peer takes the disks over: the old holder keeps its import but writes nothing.
    on_both("node2", "register", 0, 2);
    on_both("node2", "preempt", 2, 2, 1);
    auto view = emul::host_view("node1", nullptr).value();
    ASSERT_EQ(view.size(), 1u);
    EXPECT_TRUE(view.begin()->value("suspended", false)) << view.dump();
    ASSERT_EQ(import_as("node2"), "");
    EXPECT_EQ(double_imports(), 0);

    // Giving the disks back while the old holder still has the pool makes two writers,
    // counted by the reservation command itself.
    on_both("node2", "release", 2, 2);
    EXPECT_EQ(double_imports(), 1);
    auto ops = emul::read_ops(nullptr);
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops.back().value("op", ""), "double-import");
    EXPECT_EQ(ops.back().value("cause", ""), "disk da1");  // one writable leaf is enough
}

TEST_F(pools_on_disks, one_reachable_disk_is_enough_to_write)
{
    on_both("node1", "register", 0, 1);
    ASSERT_EQ(import_as("node1"), "");
    std::string err;
    // Registrants-only on one disk: the unregistered peer still writes the other leaf.
    ASSERT_TRUE(de::setup_command("da1", "node1", "reserve", 4, 1, 0, &err)) << err;
    ASSERT_EQ(import_as("node2"), "");
    EXPECT_EQ(double_imports(), 1);
    EXPECT_FALSE(emul::create_pool({{"name", "bad"}, {"vdevs", {{{"path", "/dev/x"}, {"disk", 7}}}}}, &err));
}
