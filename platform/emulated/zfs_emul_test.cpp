// The emulated pool state at its edges: malformed state files and fixtures are
// refused with a reason and overwrite nothing; faults count down across calls.
#include "platform/zfs.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace emul = platform::zfs_emul;
namespace z = platform::zfs;
using emul::json;

namespace {

class zfs_emul_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-zfsemul-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);
        ::setenv("KELM_EMUL_HOST", "node1", 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        ::unsetenv("KELM_EMUL_ROOT");
        ::unsetenv("KELM_EMUL_HOST");
    }
    std::string slurp(const std::string& path)
    {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string root_;
};

}  // namespace

TEST_F(zfs_emul_test, malformed_state_is_reported_and_left_alone)
{
    std::string err;
    ASSERT_TRUE(emul::create_pool({{"name", "tank"}}, &err)) << err;
    const std::string path = root_ + "/zfs/state.json";
    for (const char* text : {"{\"pools\": ", "[]", "{\"pools\": []}", "{\"pools\": {\"1\": {\"imported_by\": 3}}}",
                             "{\"pools\": {\"1\": {\"datasets\": [7], \"imported_by\": {\"node1\": {}}, \"name\": \"t\"}}}",
                             // Pool ids are decimal numbers: the calls turn them back into guids.
                             "{\"pools\": {\"x\": {\"imported_by\": {\"node1\": {}}, \"name\": \"t\"}}}",
                             "{\"pools\": {\"99999999999999999999999\": "
                             "{\"imported_by\": {\"node1\": {}}, \"name\": \"t\"}}}"}) {
        std::ofstream(path) << text;
        z::libzfs_handle_t* hdl = z::libzfs_init();
        if (hdl != nullptr) {
            // Calls that get a handle fail on the state, with a reason.
            z::zpool_handle_t* zhp = z::zpool_open_canfail(hdl, "t");
            if (zhp != nullptr) {
                EXPECT_NE(z::zpool_enable_datasets(zhp, nullptr, 0), 0) << text;
                EXPECT_NE(std::string(z::libzfs_error_description(hdl)).find("pool state malformed"), std::string::npos);
                z::zpool_close(zhp);
            } else {
                EXPECT_NE(z::libzfs_errno(hdl), z::EZFS_NOENT) << text;
            }
            z::libzfs_fini(hdl);
        }
        EXPECT_FALSE(emul::read_state(&err)) << text;
        EXPECT_FALSE(err.empty());
        EXPECT_FALSE(emul::fence_host("node1", true, &err));
        EXPECT_EQ(slurp(path), text);
    }
}

TEST_F(zfs_emul_test, bad_fixtures_are_refused)
{
    std::string err;
    EXPECT_FALSE(emul::create_pool(json::array(), &err));
    EXPECT_EQ(err, "pool description needs a \"name\"");
    EXPECT_FALSE(emul::create_pool({{"name", 5}}, &err));
    EXPECT_FALSE(emul::add_fault({{"pool", "x"}}, &err));
    EXPECT_EQ(err, "fault needs an \"op\"");
    // A fault is read outside the state lock too (library start-up): its members
    // must have their kinds when it is stored, or taking it throws.
    for (const json& bad : {json{{"op", "init"}, {"errno", "EIO"}}, json{{"op", "open"}, {"times", "2"}},
                            json{{"op", "open"}, {"text", 5}}, json{{"op", "open"}, {"host", json::array()}}}) {
        EXPECT_FALSE(emul::add_fault(bad, &err)) << bad;
        EXPECT_EQ(err, "fault has a member of the wrong kind");
    }
    EXPECT_NO_THROW(z::libzfs_fini(z::libzfs_init()));
    std::ofstream(root_ + "/zfs/state.json") << R"({"faults": [{"op": "init", "errno": "EIO"}]})";
    z::libzfs_handle_t* hdl = nullptr;
    EXPECT_NO_THROW(hdl = z::libzfs_init());
    EXPECT_EQ(hdl, nullptr);
    std::filesystem::remove(root_ + "/zfs/state.json");
    EXPECT_FALSE(emul::update_pool("nosuch", {{"multihost", true}}, &err));
    EXPECT_EQ(err, "no pool nosuch");
    EXPECT_FALSE(emul::create_pool({{"name", "x"}, {"vdevs", 5}}, &err));
    EXPECT_EQ(err, "pool description has a member of the wrong kind");
    ASSERT_TRUE(emul::create_pool({{"name", "tank"}}, &err)) << err;
    EXPECT_FALSE(emul::update_pool("tank", {{"datasets", {1, 2}}}, &err));
    EXPECT_EQ(err, "the change gives pool tank a member of the wrong kind");
    auto state = emul::read_state(&err);
    ASSERT_TRUE(state) << err;
    EXPECT_EQ(state->at("pools").size(), 1u);
    EXPECT_EQ(state->at("pools")["1"]["datasets"][0]["name"], "tank");

    ::unsetenv("KELM_EMUL_ROOT");
    EXPECT_FALSE(emul::read_state(&err));
    EXPECT_EQ(err, "pool emulation is not set up (KELM_EMUL_ROOT unset)");
    errno = 0;
    EXPECT_EQ(z::libzfs_init(), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(zfs_emul_test, faults_match_their_host_and_count_down)
{
    std::string err;
    ASSERT_TRUE(emul::create_pool({{"name", "tank"}, {"imported_by", {{"node1", json::object()}, {"node2", json::object()}}}}, &err));
    ASSERT_TRUE(emul::add_fault({{"op", "open"}, {"host", "node2"}, {"times", 2}, {"errno", ENOMEM}}, &err));
    auto open_as = [](const char* host) {
        ::setenv("KELM_EMUL_HOST", host, 1);
        z::libzfs_handle_t* hdl = z::libzfs_init();
        z::zpool_handle_t* zhp = z::zpool_open_canfail(hdl, "tank");
        int code = zhp == nullptr ? z::libzfs_errno(hdl) : 0;
        z::zpool_close(zhp);
        z::libzfs_fini(hdl);
        return code;
    };
    EXPECT_EQ(open_as("node1"), 0);
    EXPECT_EQ(open_as("node2"), z::EZFS_NOMEM);
    EXPECT_EQ(open_as("node2"), z::EZFS_NOMEM);
    EXPECT_EQ(open_as("node2"), 0);
    EXPECT_EQ(open_as("node3"), z::EZFS_NOENT);

    ASSERT_TRUE(emul::add_fault({{"op", "open"}, {"times", -1}}, &err));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(open_as("node1"), z::EZFS_IO);
    EXPECT_EQ(emul::read_state(&err).value()["faults"].size(), 1u);
}

TEST_F(zfs_emul_test, a_change_that_cannot_be_stored_is_a_failure)
{
    std::string err;
    ASSERT_TRUE(emul::create_pool({{"name", "tank"}, {"imported_by", {{"node2", json::object()}}}}, &err)) << err;
    ASSERT_TRUE(emul::create_pool({{"name", "data"}}, &err)) << err;
    z::libzfs_handle_t* hdl = z::libzfs_init();
    ASSERT_NE(hdl, nullptr);
    z::libpc_handle_t pc;
    pc.lpc_lib_handle = hdl;
    pc.lpc_ops = &z::libzfs_config_ops;
    z::importargs_t args;
    args.poolname = "data";
    z::nvlist_ptr found(z::zpool_search_import(&pc, &args));
    ASSERT_TRUE(found);
    z::nvlist_t* config = nullptr;
    ASSERT_EQ(z::nvpair_value_nvlist(z::nvlist_next_nvpair(found.get(), nullptr), &config), 0);

    // Even root cannot open a directory for writing: every rewrite of the state fails.
    std::filesystem::create_directory(root_ + "/zfs/state.json.tmp");
    EXPECT_NE(z::zpool_import_props(hdl, config, nullptr, nullptr, z::ZFS_IMPORT_ANY_HOST), 0);
    EXPECT_EQ(z::libzfs_errno(hdl), z::EZFS_IO);
    EXPECT_EQ(z::zpool_search_import(&pc, &args), nullptr);
    ::setenv("KELM_EMUL_HOST", "node2", 1);
    z::libzfs_handle_t* hdl2 = z::libzfs_init();
    z::zpool_handle_t* zhp = z::zpool_open_canfail(hdl2, "tank");
    ASSERT_NE(zhp, nullptr);
    EXPECT_NE(z::zpool_enable_datasets(zhp, nullptr, 0), 0);
    EXPECT_NE(z::zpool_disable_datasets(zhp, false), 0);
    EXPECT_NE(z::zpool_export(zhp, false, "x"), 0);
    EXPECT_NE(z::zpool_clear(zhp, nullptr, nullptr), 0);
    z::zpool_close(zhp);
    z::libzfs_fini(hdl2);
    z::libzfs_fini(hdl);

    std::filesystem::remove(root_ + "/zfs/state.json.tmp");
    auto state = emul::read_state(&err);
    ASSERT_TRUE(state) << err;
    for (const auto& [id, pool] : state->at("pools").items())
        EXPECT_EQ(pool.at("imported_by").size(), pool.at("name") == "tank" ? 1u : 0u) << id;
}

TEST_F(zfs_emul_test, a_host_name_that_is_not_utf8_fails_the_call_instead_of_throwing)
{
    std::string err;
    ASSERT_TRUE(emul::create_pool({{"name", "tank"}}, &err)) << err;
    // Host names are bytes; the state and its log are JSON text.
    ::setenv("KELM_EMUL_HOST", "node\xff", 1);
    z::libzfs_handle_t* hdl = z::libzfs_init();
    ASSERT_NE(hdl, nullptr);
    z::libpc_handle_t pc;
    pc.lpc_lib_handle = hdl;
    pc.lpc_ops = &z::libzfs_config_ops;
    z::importargs_t args;
    args.poolname = "tank";
    z::nvlist_t* found = nullptr;
    EXPECT_NO_THROW(found = z::zpool_search_import(&pc, &args));
    EXPECT_EQ(found, nullptr);
    EXPECT_NE(z::libzfs_errno(hdl), z::EZFS_SUCCESS);
    z::nvlist_free(found);
    z::libzfs_fini(hdl);
    bool ok = true;
    EXPECT_NO_THROW(ok = emul::fence_host("node\xff", true, &err));
    EXPECT_FALSE(ok);
    EXPECT_NE(err.find("can't write pool state"), std::string::npos) << err;
    auto state = emul::read_state(&err);
    ASSERT_TRUE(state) << err;
    EXPECT_TRUE(state->at("hosts").empty());
}
