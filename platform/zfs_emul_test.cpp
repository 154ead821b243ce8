// The emulated pool state at its edges: malformed state files and fixtures are
// refused with a reason and overwrite nothing; faults count down across calls.
#include "platform/zfs.hpp"
#include "platform/zfs_emul.hpp"

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
                             "{\"pools\": {\"1\": {\"datasets\": [7], \"imported_by\": {\"node1\": {}}, \"name\": \"t\"}}}"}) {
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
