// Pool operations against the emulated pool world, one private world per test;
// the host a call acts as is switched through KELM_EMUL_HOST.
#include "nodeactions/pool_ops.hpp"
#include "platform/zfs.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

using namespace nodeactions;
namespace emul = platform::zfs_emul;
using emul::json;

namespace {

class pool_ops : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-poolops-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);
        as("node1");
        // Multihost imports watch the disks this long (the real 20 s is for scenarios).
        std::string err;
        ASSERT_TRUE(emul::set_settings({{"activity_window_ms", 200}}, &err)) << err;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        ::unsetenv("KELM_EMUL_ROOT");
        ::unsetenv("KELM_EMUL_HOST");
    }

    static void as(const char* host) { ::setenv("KELM_EMUL_HOST", host, 1); }

    // Runs `fn` in a child process acting as `host`; returns its result (0-125).
    static int in_process_as(const char* host, const std::function<int()>& fn)
    {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("KELM_EMUL_HOST", host, 1);
            ::_exit(fn());
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
            return 126;
        return WEXITSTATUS(status);
    }

    int64_t create(const json& spec)
    {
        std::string err;
        auto id = emul::create_pool(spec, &err);
        EXPECT_TRUE(id) << err;
        return id.value_or(-1);
    }
    json state()
    {
        std::string err;
        auto s = emul::read_state(&err);
        EXPECT_TRUE(s) << err;
        return s.value_or(json::object());
    }
    std::vector<json> ops(const std::string& op)
    {
        std::string err;
        std::vector<json> out;
        for (auto& o : emul::read_ops(&err))
            if (o.value("op", "") == op)
                out.push_back(o);
        return out;
    }
    void fault(const json& f)
    {
        std::string err;
        ASSERT_TRUE(emul::add_fault(f, &err)) << err;
    }
    void update(const std::string& pool, const json& patch)
    {
        std::string err;
        ASSERT_TRUE(emul::update_pool(pool, patch, &err)) << err;
    }

    std::string root_;
};

json leaf(const std::string& path, uint64_t state, const std::string& host = "", json script = json::array())
{
    return json{{"path", path}, {"host", host}, {"state", state}, {"aux", 0}, {"online_script", script}};
}

// Kills and reaps a child on the way out, whatever fails first; pid 0 once reaped.
struct reaper {
    pid_t pid;
    ~reaper()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

constexpr uint64_t healthy = platform::zfs::VDEV_STATE_HEALTHY;
constexpr uint64_t offline = platform::zfs::VDEV_STATE_OFFLINE;
constexpr uint64_t unavail = platform::zfs::VDEV_STATE_CANT_OPEN;

}  // namespace

TEST_F(pool_ops, gate_import_and_export_round_trip)
{
    create({{"name", "tank"}});
    std::string text;
    EXPECT_EQ(pool_is_imported("tank", &text), pool_presence::no);
    ASSERT_TRUE(pool_import_check("tank", &text));
    EXPECT_EQ(text, "ONLINE");
    bool mounted = false;
    ASSERT_TRUE(pool_import("tank", false, &text, &mounted)) << text;
    EXPECT_TRUE(mounted);
    EXPECT_EQ(pool_is_imported("tank"), pool_presence::yes);
    EXPECT_TRUE(state()["pools"]["1"]["datasets"][0]["mounted"].get<bool>());

    // Imported here: the gate no longer finds it.
    EXPECT_FALSE(pool_import_check("tank", &text));
    EXPECT_EQ(text, "not found among importable pools");

    ASSERT_TRUE(pool_export("tank", true, &text)) << text;
    EXPECT_EQ(pool_is_imported("tank"), pool_presence::no);
    auto exports = ops("export");
    ASSERT_EQ(exports.size(), 1u);
    EXPECT_EQ(exports[0]["force"], true);
    EXPECT_EQ(exports[0]["history"], "pellix-cluster-poolrun");
    auto imports = ops("import");
    ASSERT_EQ(imports.size(), 1u);
    EXPECT_EQ(imports[0]["flags"], 2);
    EXPECT_EQ(imports[0]["cachefile"], "none");

    EXPECT_FALSE(pool_export("tank", false, &text));
    EXPECT_EQ(text, "pool is not imported");
}

TEST_F(pool_ops, gate_refuses_bad_health_and_skips_destroyed_configurations)
{
    create({{"name", "dead"}, {"root_state", platform::zfs::VDEV_STATE_FAULTED}});
    std::string text;
    EXPECT_FALSE(pool_import_check("dead", &text));
    EXPECT_EQ(text, "bad health FAULTED; import is impossible");
    EXPECT_FALSE(pool_import_check("nosuch", &text));
    EXPECT_EQ(text, "not found among importable pools");

    // One name, a destroyed configuration listed first and a live degraded one.
    create({{"name", "tank"}, {"destroyed", true}, {"root_state", platform::zfs::VDEV_STATE_FAULTED}});
    int64_t live = create({{"name", "tank"},
                           {"vdevs", json::array({leaf("/dev/diskid/A", healthy), leaf("/dev/diskid/B", offline)})}});
    ASSERT_TRUE(pool_import_check("tank", &text));
    EXPECT_EQ(text, "DEGRADED");
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;
    json s = state();
    EXPECT_TRUE(s["pools"][std::to_string(live)]["imported_by"].contains("node1"));
    EXPECT_TRUE(s["pools"]["2"]["imported_by"].empty());
}

TEST_F(pool_ops, broken_search_results_give_the_configuration_texts)
{
    create({{"name", "tank"}});
    const std::pair<const char*, const char*> cases[] = {
        {"not_nvlist", "can't get pool configuration"},
        {"no_state", "can't get pool state"},
        {"no_vdev_tree", "can't get vdev stats"},
        {"no_vdev_stats", "can't get vdev stats"},
    };
    for (const auto& [shape, expected] : cases) {
        fault({{"op", "search"}, {"pool", "tank"}, {"shape", shape}});
        std::string text;
        EXPECT_FALSE(pool_import_check("tank", &text)) << shape;
        EXPECT_EQ(text, expected) << shape;
    }
    // Each fault was used once: the next search is whole again.
    std::string text;
    EXPECT_TRUE(pool_import_check("tank", &text));
    EXPECT_TRUE(state()["faults"].empty());
}

TEST_F(pool_ops, search_directories_are_told_apart)
{
    create({{"name", "hidden"}, {"visible", {{"diskid", true}, {"default", false}}}});
    create({{"name", "noid"}, {"visible", {{"diskid", false}, {"default", true}}}});
    std::string text;
    EXPECT_FALSE(pool_import_check("hidden", &text));
    EXPECT_EQ(text, "not found among importable pools");
    EXPECT_TRUE(pool_import_check("noid", &text));
    EXPECT_FALSE(pool_import("noid", false, &text));
    EXPECT_EQ(text, "pool not found for import");
    auto searches = ops("search");
    ASSERT_FALSE(searches.empty());
    EXPECT_EQ(searches.back()["dirs"], json::array({"/dev/diskid"}));
}

TEST_F(pool_ops, library_failures_are_reported_not_taken_for_absence)
{
    create({{"name", "tank"}});
    std::string text;
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;

    fault({{"op", "init"}, {"errno", ENOENT}});
    EXPECT_EQ(pool_is_imported("tank", &text), pool_presence::unknown);
    EXPECT_EQ(text, platform::zfs::libzfs_error_init(ENOENT));

    fault({{"op", "open"}, {"pool", "tank"}, {"errno", EIO}, {"text", "ioctl failed"}});
    EXPECT_EQ(pool_is_imported("tank", &text), pool_presence::unknown);
    EXPECT_EQ(text, "ioctl failed");

    EXPECT_EQ(pool_is_imported("tank", &text), pool_presence::yes);
    EXPECT_EQ(pool_is_imported("other", &text), pool_presence::no);

    // Without an emulated world there is no pool library at all.
    ::unsetenv("KELM_EMUL_ROOT");
    EXPECT_EQ(pool_is_imported("tank", &text), pool_presence::unknown);
    EXPECT_FALSE(pool_import_check("tank", &text));
    EXPECT_EQ(text, platform::zfs::libzfs_error_init(ENOENT));
    ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);

    fault({{"op", "import"}, {"pool", "x"}, {"text", "no"}});  // other pool: not taken
    fault({{"op", "export"}, {"text", "export refused"}, {"times", 2}});
    EXPECT_FALSE(pool_export("tank", true, &text));
    EXPECT_EQ(text, "export refused");
    EXPECT_FALSE(pool_export("tank", true, &text));
    EXPECT_TRUE(pool_export("tank", true, &text)) << text;
}

TEST_F(pool_ops, import_is_refused_or_allowed_by_holder_and_multihost)
{
    namespace z = platform::zfs;
    create({{"name", "tank"}, {"multihost", true}});
    std::string text;
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;

    // The other host sees it importable; without ANY_HOST the library refuses.
    as("node2");
    ASSERT_TRUE(pool_import_check("tank", &text));
    {
        z::libzfs_handle_t* hdl = z::libzfs_init();
        ASSERT_NE(hdl, nullptr);
        z::libpc_handle_t pc{hdl, &z::libzfs_config_ops, false};
        z::importargs_t args;
        args.poolname = "tank";
        z::nvlist_ptr found(z::zpool_search_import(&pc, &args));
        ASSERT_TRUE(found);
        z::nvlist_t* config = nullptr;
        ASSERT_EQ(z::nvpair_value_nvlist(z::nvlist_next_nvpair(found.get(), nullptr), &config), 0);
        EXPECT_NE(z::zpool_import_props(hdl, config, nullptr, nullptr, 0), 0);
        EXPECT_EQ(std::string(z::libzfs_error_description(hdl)), "pool is imported on host 'node1'");
        z::libzfs_fini(hdl);
    }
    // With ANY_HOST: refused while node1's multihost activity is live.
    EXPECT_FALSE(pool_import("tank", false, &text));
    EXPECT_EQ(text, "pool is imported on host 'node1' (multihost activity detected)");
    std::string err;
    ASSERT_TRUE(emul::set_host_alive("node1", false, &err)) << err;
    EXPECT_TRUE(pool_import("tank", false, &text)) << text;
    // node1 still had access: that was a double import.
    EXPECT_EQ(state()["double_imports"], 1);
}

TEST_F(pool_ops, import_only_mounts_nothing_until_asked)
{
    namespace z = platform::zfs;
    create({{"name", "tank"}});
    std::string text;
    bool mounted = true;
    ASSERT_TRUE(pool_import("tank", true, &text, &mounted)) << text;
    EXPECT_FALSE(mounted);
    EXPECT_TRUE(ops("enable_datasets").empty());
    EXPECT_EQ(ops("import").back()["flags"], 10);
    EXPECT_FALSE(state()["pools"]["1"]["datasets"][0]["mounted"].get<bool>());
    EXPECT_TRUE(state()["pools"]["1"]["imported_by"]["node1"]["import_only"].get<bool>());

    z::libzfs_handle_t* hdl = z::libzfs_init();
    ASSERT_NE(hdl, nullptr);
    z::zpool_handle_t* zhp = z::zpool_open_canfail(hdl, "tank");
    ASSERT_NE(zhp, nullptr);
    EXPECT_EQ(z::zpool_enable_datasets(zhp, nullptr, 0), 0);
    EXPECT_EQ(z::zpool_enable_datasets(zhp, nullptr, 0), 0);  // already mounted is fine
    z::zpool_close(zhp);
    z::libzfs_fini(hdl);
    EXPECT_TRUE(state()["pools"]["1"]["datasets"][0]["mounted"].get<bool>());
}

TEST_F(pool_ops, failed_mount_is_handed_back)
{
    create({{"name", "tank"},
            {"datasets", json::array({json{{"name", "tank"}, {"mount_fail", false}},
                                      json{{"name", "tank/data"}, {"mount_fail", true}}})}});
    std::string text;
    bool mounted = true;
    ASSERT_TRUE(pool_import("tank", false, &text, &mounted)) << text;
    EXPECT_FALSE(mounted);
    EXPECT_EQ(ops("enable_datasets").size(), 1u);

    // An import that leaves the pool unavailable mounts nothing.
    create({{"name", "sick"}, {"state", platform::zfs::POOL_STATE_UNAVAIL}});
    mounted = true;
    ASSERT_TRUE(pool_import("sick", false, &text, &mounted)) << text;
    EXPECT_FALSE(mounted);
    EXPECT_EQ(ops("enable_datasets").size(), 1u);
}

TEST_F(pool_ops, busy_dataset_blocks_unforced_export_only)
{
    create({{"name", "tank"}, {"datasets", json::array({json{{"name", "tank"}, {"busy", true}}})}});
    std::string text;
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;
    EXPECT_FALSE(pool_export("tank", false, &text));
    EXPECT_EQ(text, "cannot unmount 'tank': pool or dataset is busy");
    EXPECT_TRUE(pool_export("tank", true, &text)) << text;
}

TEST_F(pool_ops, vdev_online_retries_sleep_shorter_each_time)
{
    create({{"name", "tank"},
            {"vdevs", json::array({json{{"type", "mirror"},
                                        {"children", json::array({leaf("/dev/diskid/A", healthy),
                                                                  leaf("/dev/diskid/B", offline, "",
                                                                       {"faulted", "error", "ok"})})}},
                                   leaf("/dev/diskid/C", unavail, "", {"error", "error", "error", "error", "error"}),
                                   leaf("/dev/diskid/D", healthy)})}});
    std::string text;
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;
    std::vector<long> slept;
    auto record = [&](std::chrono::milliseconds d) { slept.push_back(static_cast<long>(d.count())); };
    ASSERT_TRUE(pool_online_vdevs("tank", &text, record)) << text;
    // B comes back at its third attempt; C never does, which is not a failure.
    EXPECT_EQ(slept, (std::vector<long>{1000, 750, 1000, 750, 500, 250, 0}));
    auto onlines = ops("online");
    ASSERT_EQ(onlines.size(), 8u);
    EXPECT_EQ(onlines[0]["leaf"], "diskid/B");
    EXPECT_EQ(onlines[0]["flags"], 0);
    EXPECT_EQ(onlines[2]["result"], "ONLINE");
    EXPECT_EQ(onlines[3]["leaf"], "diskid/C");
    EXPECT_TRUE(ops("clear").empty());  // degraded, but not FAILING_DEV
}

TEST_F(pool_ops, clear_with_rewind_only_on_failing_devices)
{
    create({{"name", "tank"}, {"status", platform::zfs::ZPOOL_STATUS_FAILING_DEV}});
    std::string text;
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;
    int sleeps = 0;
    auto count = [&](std::chrono::milliseconds) { ++sleeps; };
    ASSERT_TRUE(pool_online_vdevs("tank", &text, count)) << text;
    EXPECT_EQ(sleeps, 0);
    EXPECT_TRUE(ops("online").empty());  // healthy: nothing to online
    auto clears = ops("clear");
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0]["policy"], 1);
    EXPECT_TRUE(clears[0]["device"].is_null());
    EXPECT_EQ(state()["pools"]["1"]["rewind_policy"], 1);

    update("tank", {{"status", platform::zfs::ZPOOL_STATUS_FAILING_DEV}});
    fault({{"op", "clear"}, {"text", "clear refused"}});
    EXPECT_FALSE(pool_online_vdevs("tank", &text, count));
    EXPECT_EQ(text, "clear refused");

    EXPECT_FALSE(pool_online_vdevs("other", &text, count));
    EXPECT_EQ(text, "pool is not imported");
    fault({{"op", "open"}, {"shape", "no_vdev_stats"}});
    EXPECT_FALSE(pool_online_vdevs("tank", &text, count));
    EXPECT_EQ(text, "can't get pool status");
}

TEST_F(pool_ops, online_degraded_walks_only_degraded_imported_pools)
{
    create({{"name", "good"}});
    create({{"name", "bad"}, {"vdevs", json::array({leaf("/dev/diskid/A", healthy), leaf("/dev/diskid/B", offline)})}});
    create({{"name", "elsewhere"}, {"vdevs", json::array({leaf("/dev/diskid/E", healthy), leaf("/dev/diskid/F", offline)})},
            {"imported_by", {{"node2", json::object()}}}});
    std::string text;
    ASSERT_TRUE(pool_import("good", false, &text)) << text;
    ASSERT_TRUE(pool_import("bad", false, &text)) << text;
    auto nosleep = [](std::chrono::milliseconds) {};
    ASSERT_TRUE(pools_online_degraded(&text, nosleep)) << text;
    auto onlines = ops("online");
    ASSERT_EQ(onlines.size(), 1u);
    EXPECT_EQ(onlines[0]["pool"], "bad");
    EXPECT_EQ(state()["pools"]["2"]["vdevs"][1]["state"], healthy);

    fault({{"op", "iter"}});
    EXPECT_FALSE(pools_online_degraded(&text, nosleep));
    EXPECT_EQ(text, "can't enumerate imported pools");
}

TEST_F(pool_ops, double_imports_are_counted_on_import_and_on_unfence)
{
    auto shared = json::array({leaf("/dev/diskid/N1", healthy, "node1"), leaf("/dev/diskid/N2", healthy, "node2")});
    create({{"name", "tank"}, {"vdevs", shared}});
    create({{"name", "vault"}, {"vdevs", shared}});
    std::string text;
    // Start on both hosts, each its own process, the way the service start does
    // it: gate, then import.
    auto start = [] {
        std::string why;
        if (pool_is_imported("tank", &why) != pool_presence::no)
            return 1;
        if (!pool_import_check("tank", &why))
            return 2;
        bool mounted = false;
        return pool_import("tank", false, &why, &mounted) && mounted ? 0 : 3;
    };
    EXPECT_EQ(in_process_as("node1", start), 0);
    EXPECT_EQ(in_process_as("node2", start), 0);
    EXPECT_EQ(state()["double_imports"], 1);
    EXPECT_EQ(state()["pools"]["1"]["imported_by"].size(), 2u);

    // A failover: node1 holds vault, the others fence it, node2 starts it. node1
    // keeps its own disk, so vault stays writable there, degraded.
    as("node1");
    ASSERT_TRUE(pool_import("vault", false, &text)) << text;
    std::string err;
    ASSERT_TRUE(emul::fence_host("node1", true, &err)) << err;
    {
        namespace z = platform::zfs;
        z::libzfs_handle_t* hdl = z::libzfs_init();
        ASSERT_NE(hdl, nullptr);
        z::zpool_handle_t* zhp = z::zpool_open_canfail(hdl, "vault");
        ASSERT_NE(zhp, nullptr);
        EXPECT_EQ(z::zpool_get_state(zhp), z::POOL_STATE_ACTIVE);
        EXPECT_EQ(z::zpool_enable_datasets(zhp, nullptr, 0), 0) << z::libzfs_error_description(hdl);
        z::zpool_close(zhp);
        z::libzfs_fini(hdl);
    }
    EXPECT_EQ(state()["pools"]["2"]["imported_by"]["node1"]["lost"], json::array({"/dev/diskid/N2"}));
    as("node2");
    ASSERT_TRUE(pool_import_check("vault", &text)) << text;
    EXPECT_EQ(text, "DEGRADED");  // node1's disk is cut off
    ASSERT_TRUE(pool_import("vault", false, &text)) << text;
    EXPECT_EQ(state()["double_imports"], 1);  // node1 is fenced: it cannot reach node2's disk

    // Unfencing node1 while it still holds vault gives two writers of the shared
    // disks again: counted, with its cause (tank, held by both all along, too).
    ASSERT_TRUE(emul::fence_host("node1", false, &err)) << err;
    EXPECT_EQ(state()["double_imports"], 3);
    auto doubles = ops("double-import");
    ASSERT_EQ(doubles.size(), 3u);
    EXPECT_EQ(doubles[0]["cause"], "import");
    EXPECT_EQ(doubles[1]["pool"], "tank");
    EXPECT_EQ(doubles[2], (json{{"host", "node1"}, {"op", "double-import"}, {"pool", "vault"},
                                {"with", {"node2"}}, {"cause", "unfence"}}));

    // node2 took no disk back by itself: onlining does.
    EXPECT_EQ(state()["pools"]["2"]["imported_by"]["node2"]["lost"], json::array({"/dev/diskid/N1"}));
    auto nosleep = [](std::chrono::milliseconds) {};
    ASSERT_TRUE(pools_online_degraded(&text, nosleep)) << text;
    EXPECT_EQ(state()["pools"]["2"]["imported_by"]["node2"]["lost"], json::array());
}

// Fencing cuts a host off from the other hosts' disks only: a pool with a leaf on
// its own disk goes on there, one without is suspended; the others lose its disks.
TEST_F(pool_ops, fencing_takes_the_other_hosts_disks_only)
{
    create({{"name", "mixed"},
            {"vdevs", json::array({leaf("/dev/diskid/N1", healthy, "node1"), leaf("/dev/diskid/N2", healthy, "node2")})}});
    create({{"name", "remote"}, {"vdevs", json::array({leaf("/dev/diskid/R2", healthy, "node2")})}});
    create({{"name", "fabric"}});  // a disk of no node: only through the fabric
    create({{"name", "theirs"},
            {"vdevs", json::array({leaf("/dev/diskid/T1", healthy, "node1"), leaf("/dev/diskid/T3", healthy, "node3")})}});
    std::string text;
    for (const char* pool : {"mixed", "remote", "fabric"})
        ASSERT_TRUE(pool_import(pool, false, &text)) << pool << ": " << text;
    as("node3");
    ASSERT_TRUE(pool_import("theirs", false, &text)) << text;
    std::string err;
    ASSERT_TRUE(emul::fence_host("node1", true, &err)) << err;

    auto view = emul::host_view("node1", &err);
    ASSERT_TRUE(view) << err;
    EXPECT_EQ((*view)["1"]["health"], "DEGRADED");
    EXPECT_EQ((*view)["1"]["suspended"], false);
    EXPECT_EQ((*view)["2"]["suspended"], true);
    EXPECT_EQ((*view)["3"]["suspended"], true);
    as("node1");
    // The library reports the suspension itself: the failed export does not have to be read.
    EXPECT_TRUE(pool_is_suspended("remote"));
    EXPECT_FALSE(pool_is_suspended("mixed"));
    EXPECT_FALSE(pool_is_suspended("theirs")) << "not imported here";
    EXPECT_FALSE(pool_export("remote", true, &text));
    EXPECT_EQ(text, "pool I/O is currently suspended");
    EXPECT_FALSE(pool_export("fabric", true, &text));
    EXPECT_TRUE(pool_export("mixed", true, &text)) << text;
    // A fenced host reads the labels of its own disks only.
    EXPECT_TRUE(pool_import_check("mixed", &text)) << text;
    EXPECT_EQ(text, "DEGRADED");
    EXPECT_FALSE(pool_import_check("remote", &text));
    EXPECT_EQ(text, "not found among importable pools");

    // node3 lost node1's disk and goes on degraded.
    view = emul::host_view("node3", &err);
    EXPECT_EQ((*view)["4"]["health"], "DEGRADED");
    EXPECT_EQ((*view)["4"]["leaves"]["/dev/diskid/T1"], "UNAVAIL");
    EXPECT_EQ(state()["pools"]["4"]["imported_by"]["node3"]["lost"], json::array({"/dev/diskid/T1"}));

    // Unfenced, the suspended pools resume with their disks; node3 still waits for
    // an online of node1's disk.
    ASSERT_TRUE(emul::fence_host("node1", false, &err)) << err;
    view = emul::host_view("node1", &err);
    EXPECT_EQ((*view)["2"]["suspended"], false);
    EXPECT_EQ((*view)["2"]["health"], "ONLINE");
    EXPECT_FALSE(pool_is_suspended("remote"));
    EXPECT_TRUE(pool_export("remote", true, &text)) << text;
    EXPECT_EQ(emul::host_view("node3", &err).value()["4"]["health"], "DEGRADED");
    EXPECT_EQ(state()["double_imports"], 0);
}

TEST_F(pool_ops, unreachable_disk_onlines_as_success_and_stays_unavailable)
{
    create({{"name", "tank"},
            {"vdevs", json::array({leaf("/dev/diskid/N1", healthy, "node1"), leaf("/dev/diskid/N2", healthy, "node2")})}});
    std::string text;
    as("node2");
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;
    std::string err;
    ASSERT_TRUE(emul::fence_host("node1", true, &err)) << err;
    std::vector<long> slept;
    auto record = [&](std::chrono::milliseconds d) { slept.push_back(static_cast<long>(d.count())); };
    // One attempt, answered like the real library: success, device still unavailable.
    ASSERT_TRUE(pool_online_vdevs("tank", &text, record)) << text;
    EXPECT_TRUE(slept.empty());
    auto onlines = ops("online");
    ASSERT_EQ(onlines.size(), 1u);
    EXPECT_EQ(onlines[0]["result"], "UNAVAIL");
    EXPECT_EQ(emul::host_view("node2", &err).value()["1"]["leaves"]["/dev/diskid/N1"], "UNAVAIL");

    // The old failure stays at hand as a script of the leaf (or an "online" fault).
    update("tank", {{"vdevs", json::array({leaf("/dev/diskid/N1", healthy, "node1", {"error", "error", "error",
                                                                                     "error", "error"}),
                                           leaf("/dev/diskid/N2", healthy, "node2")})}});
    slept.clear();
    ASSERT_TRUE(pool_online_vdevs("tank", &text, record)) << text;
    EXPECT_EQ(slept, (std::vector<long>{1000, 750, 500, 250, 0}));

    // Reachable again: one attempt brings it back.
    ASSERT_TRUE(emul::fence_host("node1", false, &err)) << err;
    slept.clear();
    ASSERT_TRUE(pool_online_vdevs("tank", &text, record)) << text;
    EXPECT_TRUE(slept.empty());
    EXPECT_EQ(emul::host_view("node2", &err).value()["1"]["health"], "ONLINE");
}

// A daemon crash leaves the host's imports writable; a host crash (a reboot
// without a cache file) drops them. Only the first makes a later import elsewhere
// a double import when nobody fenced the host.
TEST_F(pool_ops, host_crash_drops_imports_daemon_crash_keeps_them)
{
    auto disks = json::array({leaf("/dev/diskid/N1", healthy, "node1"), leaf("/dev/diskid/N3", healthy, "node3")});
    create({{"name", "kept"}, {"vdevs", disks}});
    create({{"name", "dropped"}, {"vdevs", disks}});
    std::string text;
    as("node3");
    ASSERT_TRUE(pool_import("kept", false, &text)) << text;
    ASSERT_TRUE(pool_import("dropped", false, &text)) << text;

    std::string err;
    std::vector<std::string> pools;
    ASSERT_TRUE(emul::daemon_crash("node3", &pools, &err)) << err;
    EXPECT_EQ(pools, (std::vector<std::string>{"kept", "dropped"}));
    EXPECT_EQ(pool_is_imported("kept"), pool_presence::yes);
    as("node1");
    ASSERT_TRUE(pool_import("kept", false, &text)) << text;
    EXPECT_EQ(state()["double_imports"], 1);

    ASSERT_TRUE(emul::host_crash("node3", &pools, &err)) << err;
    EXPECT_EQ(pools, (std::vector<std::string>{"kept", "dropped"}));
    json s = state();
    EXPECT_EQ(s["pools"]["2"]["imported_by"], json::object());
    EXPECT_EQ(s["pools"]["2"]["active_on"], "node3");  // the labels still name it
    EXPECT_EQ(s["hosts"]["node3"]["alive"], true);     // rebooted
    // node1 lost node3's disk while it rebooted.
    EXPECT_EQ(s["pools"]["1"]["imported_by"]["node1"]["lost"], json::array({"/dev/diskid/N3"}));
    ASSERT_TRUE(pool_import("dropped", false, &text)) << text;
    EXPECT_EQ(state()["double_imports"], 1);
    as("node3");
    EXPECT_EQ(pool_is_imported("dropped"), pool_presence::no);
    auto crashes = ops("host-crash");
    ASSERT_EQ(crashes.size(), 1u);
    EXPECT_EQ(ops("daemon-crash").size(), 1u);
}

// An export of a suspended pool hangs as the real one does: the call blocks for
// as long as the pool stays suspended (only whoever waits for it bounds it) and
// completes when the host's disks come back.
TEST_F(pool_ops, hanging_export_blocks_until_the_pool_resumes)
{
    create({{"name", "tank"}, {"vdevs", json::array({leaf("/dev/diskid/N2", healthy, "node2")})}});
    std::string text;
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;
    std::string err;
    ASSERT_TRUE(emul::fence_host("node1", true, &err)) << err;
    // Without the fault it fails at once.
    EXPECT_FALSE(pool_export("tank", true, &text));
    EXPECT_EQ(text, "pool I/O is currently suspended");

    fault({{"op", "export"}, {"pool", "tank"}, {"hang", true}});
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string why;
        ::_exit(pool_export("tank", true, &why) ? 0 : 1);
    }
    reaper reap{pid};
    for (int i = 0; i < 1000 && ops("disable_datasets").size() < 2; ++i)
        ::usleep(10000);
    ::usleep(300000);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the export did not block";
    auto unmounts = ops("disable_datasets");
    ASSERT_EQ(unmounts.size(), 2u);  // the failed one, then the hang logged once, not at every wait
    EXPECT_EQ(unmounts[1]["result"], "hanging");
    EXPECT_TRUE(state()["faults"].empty());

    ASSERT_TRUE(emul::fence_host("node1", false, &err)) << err;
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    reap.pid = 0;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(pool_is_imported("tank"), pool_presence::no);
    EXPECT_EQ(state()["pools"]["1"]["active_on"], "");
}

namespace {

// Imports `pool` as `host` in a child process once the parent closes go[1]; exits
// 0 on success, 1 on a refusal, 2 and up when it could not try. The refusal text
// goes to `report` as one line.
pid_t import_racer(const char* host, const char* pool, int flags, const int go[2], int report)
{
    namespace z = platform::zfs;
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::close(go[1]);
    ::setenv("KELM_EMUL_HOST", host, 1);
    char c;
    (void)::read(go[0], &c, 1);  // all start together
    z::libzfs_handle_t* hdl = z::libzfs_init();
    if (hdl == nullptr)
        ::_exit(2);
    z::libpc_handle_t pc{hdl, &z::libzfs_config_ops, false};
    z::importargs_t args;
    args.poolname = pool;
    z::nvlist_t* found = z::zpool_search_import(&pc, &args);
    z::nvlist_t* config = nullptr;
    if (found == nullptr || z::nvpair_value_nvlist(z::nvlist_next_nvpair(found, nullptr), &config) != 0)
        ::_exit(3);
    if (z::zpool_import_props(hdl, config, nullptr, nullptr, flags) == 0)
        ::_exit(0);
    const std::string line = std::string(z::libzfs_error_description(hdl)) + "\n";
    (void)::write(report, line.data(), line.size());
    ::_exit(1);
}

struct race_result {
    int winners = 0;
    std::vector<std::string> refusals;
};

race_result race(const char* pool, int flags, std::initializer_list<const char*> hosts)
{
    int go[2];
    int report[2];
    race_result out;
    if (::pipe(go) != 0 || ::pipe(report) != 0)
        return out;
    std::vector<pid_t> children;
    for (const char* host : hosts)
        children.push_back(import_racer(host, pool, flags, go, report[1]));
    ::close(go[0]);
    ::close(go[1]);
    ::close(report[1]);
    for (pid_t pid : children) {
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << "a racer could not try";
        out.winners += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
    }
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(report[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    ::close(report[0]);
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        out.refusals.push_back(text.substr(at, nl - at));
    return out;
}

}  // namespace

// Three processes acting as different hosts import one exported pool at once. The
// emulation reads and writes a pool's labels in one locked step, so without
// ANY_HOST exactly one wins and the others find it in use. That is all this
// shows: on the real platform two loads that read the labels before either
// writes them can both pass, so nothing may rely on it (the product never
// starts a pool on two nodes at once, and the double-import counter would see it).
TEST_F(pool_ops, racing_imports_without_any_host_see_the_first_label)
{
    create({{"name", "tank"}});
    race_result r = race("tank", 0, {"node1", "node2", "node3"});
    EXPECT_EQ(r.winners, 1);
    for (const auto& why : r.refusals)
        EXPECT_EQ(why.rfind("pool is imported on host 'node", 0), 0u) << why;
    EXPECT_EQ(state()["pools"]["1"]["imported_by"].size(), 1u);
    EXPECT_EQ(state()["double_imports"], 0);

    // Forced imports of a pool without multihost protection all pass: every
    // later one is a double import.
    create({{"name", "plain"}});
    r = race("plain", platform::zfs::ZFS_IMPORT_ANY_HOST, {"node1", "node2", "node3"});
    EXPECT_EQ(r.winners, 3);
    EXPECT_EQ(state()["double_imports"], 3);  // the second sees one writer, the third two
}

// The multihost activity check: the holder of a multihost pool crashed and its
// labels still name it, so every forced import first watches the disks for the
// activity window. Racing importers each wait it out; the first to finish
// imports, and the others see its writes and are refused.
TEST_F(pool_ops, racing_forced_imports_of_a_multihost_pool_have_one_winner)
{
    std::string err;
    ASSERT_TRUE(emul::set_settings({{"activity_window_ms", 400}}, &err)) << err;
    create({{"name", "tank"}, {"multihost", true}});
    std::string text;
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;
    std::vector<std::string> dropped;
    ASSERT_TRUE(emul::host_crash("node1", &dropped, &err)) << err;

    const auto started = std::chrono::steady_clock::now();
    race_result r = race("tank", platform::zfs::ZFS_IMPORT_ANY_HOST, {"node2", "node3", "node4"});
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
    EXPECT_EQ(r.winners, 1);
    ASSERT_EQ(r.refusals.size(), 2u);
    for (const auto& why : r.refusals)
        EXPECT_NE(why.find("(multihost activity detected)"), std::string::npos) << why;
    EXPECT_EQ(ops("activity-check").size(), 3u);
    EXPECT_EQ(state()["double_imports"], 0);

    // The rebooted holder itself needs no check: the labels name it.
    create({{"name", "own"}, {"multihost", true}});
    ASSERT_TRUE(pool_import("own", false, &text)) << text;
    ASSERT_TRUE(emul::host_crash("node1", &dropped, &err)) << err;
    ASSERT_TRUE(pool_import("own", false, &text)) << text;
    EXPECT_EQ(ops("activity-check").size(), 3u);
}

// A real process holding a zvol node keeps the pool from being exported.
TEST_F(pool_ops, zvol_holder_makes_export_busy)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "device nodes need root";
    create({{"name", "tank"}, {"zvols", {"vol1", "vol2"}}});
    create({{"name", "tank2"}, {"zvols", {"vol1"}}});
    std::string text;
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;
    ASSERT_TRUE(pool_import("tank2", false, &text)) << text;
    const std::string dev = root_ + "/hosts/node1/dev/zvol/";
    struct stat st {};
    ASSERT_EQ(::stat((dev + "tank/vol1").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        int a = ::open((dev + "tank/vol1").c_str(), O_RDONLY);
        int b = ::open((dev + "tank/vol2").c_str(), O_RDONLY);
        int c = ::open((dev + "tank2/vol1").c_str(), O_RDONLY);
        (void)::write(ready[1], (a >= 0 && b >= 0 && c >= 0) ? "y" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    // Never leave the holder behind, whatever fails below.
    reaper reap{holder};
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_EQ(c, 'y');

    auto holders = find_pool_holders("tank", &text);
    ASSERT_EQ(holders.size(), 1u);  // two zvols open, listed once
    EXPECT_EQ(holders[0].pid, holder);
    EXPECT_EQ(holders[0].device, "/dev/zvol/tank/vol1");
    EXPECT_FALSE(holders[0].command.empty());
    EXPECT_EQ(report_pool_holders("pool-check-busy", "pool=tank", "tank"), 1);

    EXPECT_FALSE(pool_export("tank", true, &text));
    EXPECT_EQ(text, "pool is busy");
    EXPECT_EQ(pool_is_imported("tank"), pool_presence::yes);

    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    reap.pid = 0;
    EXPECT_TRUE(find_pool_holders("tank", &text).empty());
    EXPECT_TRUE(pool_export("tank", true, &text)) << text;
    EXPECT_NE(::stat((dev + "tank/vol1").c_str(), &st), 0);
}

TEST_F(pool_ops, fenced_host_holds_no_zvol)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "device nodes need root";
    create({{"name", "tank"}, {"zvols", {"vol1"}}});
    std::string text;
    ASSERT_TRUE(pool_import("tank", false, &text)) << text;
    const std::string node = root_ + "/hosts/node1/dev/zvol/tank/vol1";
    struct stat st {};
    ASSERT_EQ(::stat(node.c_str(), &st), 0);
    std::string err;
    ASSERT_TRUE(emul::fence_host("node1", true, &err)) << err;
    EXPECT_NE(::stat(node.c_str(), &st), 0);
    EXPECT_FALSE(pool_export("tank", true, &text));
    EXPECT_EQ(text, "pool I/O is currently suspended");
    ASSERT_TRUE(emul::fence_host("node1", false, &err)) << err;
    EXPECT_EQ(::stat(node.c_str(), &st), 0);
}
