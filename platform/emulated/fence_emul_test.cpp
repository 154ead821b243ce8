// The emulated target/initiator state: the fencing rule, fault consumption, a
// broken state file, and the tool paths.
#include "platform/emulated/fence_emul.hpp"
#include "platform/fence_tools.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fe = platform::fence_emul;
using fe::json;

namespace {

class fence_emul : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-fence-emul-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        ::unsetenv("KELM_EMUL_ROOT");
    }
    // Runs one change the way a stand-in does, under the lock.
    void change(const std::function<void(json&)>& fn)
    {
        std::string err;
        ASSERT_TRUE(fe::with_state(
            [&](json& state, std::vector<json>&) {
                fn(state);
                return true;
            },
            &err))
            << err;
    }
    json cut_from(const std::string& host)
    {
        std::string err;
        auto s = platform::zfs_emul::read_state(&err);
        EXPECT_TRUE(s) << err;
        if (!s || !(*s)["hosts"].contains(host))
            return json::array();
        return (*s)["hosts"][host].value("cut_from", json::array());
    }
    bool pool_fenced(const std::string& host)
    {
        std::string err;
        auto s = platform::zfs_emul::read_state(&err);
        EXPECT_TRUE(s) << err;
        return s && s->contains("hosts") && (*s)["hosts"].contains(host) && (*s)["hosts"][host].value("fenced", false);
    }
    std::string root_;
};

TEST_F(fence_emul, a_host_is_fenced_only_when_every_other_host_cut_it_off)
{
    std::string err;
    ASSERT_TRUE(fe::put_port("a", json{{"id", 1}, {"target", "t-c"}, {"node", "c"}}, &err)) << err;
    ASSERT_TRUE(fe::put_session("a", json{{"nickname", "node_3"}, {"node", "c"}}, &err)) << err;
    ASSERT_TRUE(fe::put_port("b", json{{"id", 1}, {"target", "t-c"}, {"node", "c"}}, &err)) << err;
    // A host's own records and hosts nobody refers to never count.
    ASSERT_TRUE(fe::put_port("d", json{{"id", 1}, {"online", false}, {"node", "d"}}, &err)) << err;

    change([](json& s) { s["hosts"]["a"]["ports"][0]["online"] = false; });
    // Each link counts on its own: c no longer logs in to a's target.
    EXPECT_EQ(cut_from("c"), json::array({"a"}));
    EXPECT_EQ(cut_from("a"), json::array());
    change([](json& s) { s["hosts"]["a"]["sessions"][0]["active"] = false; });
    EXPECT_EQ(cut_from("a"), json::array({"c"}));  // a no longer sees c's disks
    EXPECT_FALSE(pool_fenced("c"));  // b still serves it
    change([](json& s) { s["hosts"]["b"]["ports"][0]["online"] = false; });
    EXPECT_TRUE(pool_fenced("c"));
    EXPECT_FALSE(pool_fenced("d"));
    EXPECT_EQ(cut_from("c"), json::array({"a", "b"}));
    change([](json& s) { s["hosts"]["a"]["sessions"][0]["active"] = true; });
    EXPECT_FALSE(pool_fenced("c"));
    EXPECT_EQ(cut_from("a"), json::array());

    // A fence set by hand in the pool world is left alone while nothing changes here.
    ASSERT_TRUE(platform::zfs_emul::fence_host("d", true, &err)) << err;
    change([](json&) {});
    EXPECT_TRUE(pool_fenced("d"));
}

TEST_F(fence_emul, faults_are_taken_in_order_and_run_out)
{
    std::string err;
    ASSERT_TRUE(fe::add_fault(json{{"tool", "ctladm"}, {"op", "port"}, {"host", "b"}, {"exit", 4}}, &err));
    ASSERT_TRUE(fe::add_fault(json{{"tool", "ctladm"}, {"op", ""}, {"times", 2}, {"exit", 5}}, &err));
    ASSERT_TRUE(fe::add_fault(json{{"tool", "iscsictl"}, {"op", "list"}, {"times", -1}}, &err));
    EXPECT_FALSE(fe::add_fault(json{{"op", "list"}}, &err));

    std::vector<int> got;
    change([&](json& s) {
        for (const char* host : {"a", "b", "b", "b"}) {
            auto f = fe::take_fault(s, "ctladm", "port", host);
            got.push_back(f ? f->value("exit", 0) : 0);
        }
        for (int i = 0; i < 5; ++i)
            EXPECT_TRUE(fe::take_fault(s, "iscsictl", "list", "a"));
        EXPECT_FALSE(fe::take_fault(s, "iscsictl", "add", "a"));
    });
    EXPECT_EQ(got, (std::vector<int>{5, 4, 5, 0}));
}

TEST_F(fence_emul, a_broken_state_file_is_refused_and_kept)
{
    std::filesystem::create_directories(root_ + "/fence");
    std::ofstream(root_ + "/fence/state.json") << "{\"hosts\": ";
    std::string err;
    EXPECT_FALSE(fe::put_port("a", json{{"id", 1}}, &err));
    EXPECT_NE(err.find("fencing state unreadable"), std::string::npos) << err;
    EXPECT_FALSE(fe::read_state(&err));
    std::ifstream in(root_ + "/fence/state.json");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "{\"hosts\": ");

    EXPECT_FALSE(fe::put_port("a", json{{"id", "1"}}, &err));
    EXPECT_FALSE(fe::put_session("a", json{{"portal", "x"}}, &err));
}

TEST_F(fence_emul, tool_paths)
{
    const std::string here = platform::executable_dir();
    ASSERT_FALSE(here.empty());
    EXPECT_EQ(platform::tool_path(platform::ctladm_path), here + "/kelm-emul-ctladm");
    EXPECT_EQ(platform::tool_path(platform::iscsictl_path), here + "/kelm-emul-iscsictl");
    std::filesystem::create_directories(root_ + "/fs/usr/sbin");
    std::filesystem::create_symlink("/nonexistent", root_ + "/fs/usr/sbin/ctladm");
    EXPECT_EQ(platform::tool_path(platform::ctladm_path), root_ + "/fs/usr/sbin/ctladm");
    ::unsetenv("KELM_EMUL_ROOT");
    EXPECT_EQ(platform::tool_path(platform::ctladm_path), "/usr/sbin/ctladm");
    EXPECT_EQ(platform::tool_path(platform::iscsictl_path), "/usr/bin/iscsictl");
}

}  // namespace
