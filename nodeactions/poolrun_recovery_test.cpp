// poolrun's recovery against a private emulated pool world: whatever the pools
// looked like, a successful recovery leaves none of them imported anywhere, so
// the start that follows, on whichever node, is the only import.
#include "nodeactions/poolrun_actions.hpp"
#include "platform/emulated/zfs_emul.hpp"
#include "platform/zfs.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace emul = platform::zfs_emul;
using emul::json;

namespace {

class poolrun_recovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-recovery-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);
        ::setenv("KELM_EMUL_HOST", "node1", 1);
        // The phase lines go to a logger of this test's own: the default one may
        // still write to a stream of an earlier test.
        saved_ = spdlog::default_logger();
        log_.str("");
        auto logger = std::make_shared<spdlog::logger>("recovery", std::make_shared<spdlog::sinks::ostream_sink_mt>(log_));
        logger->set_pattern("%v");
        spdlog::set_default_logger(logger);
    }
    void TearDown() override
    {
        spdlog::set_default_logger(saved_);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        ::unsetenv("KELM_EMUL_ROOT");
        ::unsetenv("KELM_EMUL_HOST");
    }
    int recovery(const json& pools)
    {
        const json doc = {{"nodes", json::array({{{"id", 1}, {"nodename", "node1"}}})},
                          {"services", json::array({{{"name", "svc"}, {"pools", pools}}})}};
        return nodeactions::poolrun::run({"recovery", "config.json", "svc", doc});
    }
    // Every host that holds any pool, by pool name.
    json holders()
    {
        std::string err;
        auto s = emul::read_state(&err);
        EXPECT_TRUE(s) << err;
        json out = json::object();
        for (const auto& p : s.value_or(json::object()).value("pools", json::object()))
            if (!p["imported_by"].empty())
                out[p["name"].get<std::string>()] = p["imported_by"];
        return out;
    }
    std::string root_;
    std::ostringstream log_;
    std::shared_ptr<spdlog::logger> saved_;
};

TEST_F(poolrun_recovery, leaves_no_pool_imported)
{
    const json degraded_mirror = json::array(
        {{{"type", "mirror"},
          {"children", json::array({{{"path", "/dev/da1"}, {"state", platform::zfs::VDEV_STATE_HEALTHY}},
                                    {{"path", "/dev/da2"}, {"state", platform::zfs::VDEV_STATE_OFFLINE}}})}}});
    const struct {
        const char* what;
        json pools;  // created before the run
        json service_pools;
    } rows[] = {
        {"one healthy pool", json::array({{{"name", "tank"}}}), {"tank"}},
        {"a degraded mirror", json::array({{{"name", "tank"}, {"vdevs", degraded_mirror}}}), {"tank"}},
        {"the first of two pools", json::array({{{"name", "tank"}}, {{"name", "data"}}}), {"tank", "data"}},
        {"a missing pool before an importable one", json::array({{{"name", "data"}}}), {"ghost", "data"}},
    };
    for (const auto& r : rows) {
        TearDown();
        SetUp();
        std::string err;
        for (const auto& p : r.pools)
            ASSERT_TRUE(emul::create_pool(p, &err)) << err;
        EXPECT_EQ(recovery(r.service_pools), 0) << r.what << "\n" << log_.str();
        EXPECT_EQ(holders(), json::object()) << r.what << "\n" << log_.str();
    }
}

}  // namespace
