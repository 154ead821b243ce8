// Pool operations against the emulated pool world, one private world per test;
// the host a call acts as is switched through KELM_EMUL_HOST.
#include "nodeactions/pool_ops.hpp"
#include "platform/zfs.hpp"
#include "platform/zfs_emul.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

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
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        ::unsetenv("KELM_EMUL_ROOT");
        ::unsetenv("KELM_EMUL_HOST");
    }

    static void as(const char* host) { ::setenv("KELM_EMUL_HOST", host, 1); }

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

[[maybe_unused]] json leaf(const std::string& path, uint64_t state, const std::string& host = "", json script = json::array())
{
    return json{{"path", path}, {"host", host}, {"state", state}, {"aux", 0}, {"online_script", script}};
}

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
