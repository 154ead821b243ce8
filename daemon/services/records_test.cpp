// The run-state and node-config records: texts, limits, error paths and the
// leadership epoch of every save.
#include "daemon/services/records.hpp"

#include "daemon/services/svc_test_util.hpp"

#include <gtest/gtest.h>

namespace svc {
namespace {

using testing::app_fixture;
using testing::log_capture;

TEST(SvcRecords, GoldenTexts)
{
    runstate r;
    r.state = 3;
    r.run_node = 2;
    r.session_id = "S";
    EXPECT_EQ(runstate_text(r),
              R"({"disabled_once":false,"enabled":true,"failed":false,"run_node":2,"session_id":"S","state":3})");
    runstate stale;
    stale.state = 5;
    stale.session_id = "-";
    EXPECT_EQ(runstate_text(stale),
              R"({"disabled_once":false,"enabled":true,"failed":false,"run_node":1024,"session_id":"-","state":5})");
    runstate esc;
    esc.session_id = "a\"b\\";
    esc.disabled_once = esc.failed = true;
    esc.enabled = false;
    EXPECT_EQ(runstate_text(esc),
              R"({"disabled_once":true,"enabled":false,"failed":true,"run_node":1024,"session_id":"a\"b\\","state":1})");
    EXPECT_EQ(node_config_text(false), R"({"enabled":false})");
    EXPECT_EQ(node_config_text(true), R"({"enabled":true})");
    EXPECT_EQ(runstate_key("web"), "svc-web-runstate");
    EXPECT_EQ(node_config_key(2), "node-config-2");
}

TEST(SvcRecords, SaveWritesTheRecordUnderTheActivationTerm)
{
    app_fixture f;
    service_rec s("web", "S", 7);
    s.run_node = 2;
    save_run_state(f.app, s, rs_running);
    EXPECT_EQ(f.mon.kv("svc-web-runstate"),
              R"({"disabled_once":false,"enabled":true,"failed":false,"run_node":2,"session_id":"S","state":3})");
    auto sets = f.mon.calls("set-value");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].node, 66u);
    EXPECT_EQ(sets[0].args["term"], 7);
    s.retries = 5;
    save_run_state(f.app, s, rs_stopped);
    EXPECT_NE(f.mon.kv("svc-web-runstate")->find(R"("failed":true)"), std::string::npos);
}

// The limits the record's sizes leave: a name of 114 bytes and a session id of
// 159 bytes fit (with the longest values of every other member), one more byte not.
TEST(SvcRecords, NameAndSessionLimits)
{
    struct tcase {
        size_t name_len, session_len;
        bool ok;
    };
    for (const auto& c : std::vector<tcase>{{max_service_name, 10, true},
                                            {max_service_name + 1, 10, false},
                                            {10, max_session_id, true},
                                            {10, max_session_id + 1, false}}) {
        app_fixture f;
        log_capture log;
        service_rec s(std::string(c.name_len, 'n'), std::string(c.session_len, 's'), 7);
        s.enabled = false;  // "false" is the longest text of each flag
        s.run_node = run_node_none;
        if (c.ok) {
            EXPECT_NO_THROW(save_run_state(f.app, s, rs_recovering));
            EXPECT_TRUE(f.mon.kv(runstate_key(s.name)).has_value());
            continue;
        }
        try {
            save_run_state(f.app, s, rs_recovering);
            ADD_FAILURE() << "no throw for " << c.name_len << "/" << c.session_len;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Error saving service state: EINVAL");
        }
        EXPECT_EQ(s.state.load(), rs_recovering);  // memory changes first
        EXPECT_TRUE(log.has("[error] svc_app: cannot save service state: " + s.name + " \"EINVAL\"")) << log.text();
    }
}

TEST(SvcRecords, FailedSaveKeepsTheStoredRecord)
{
    app_fixture f;
    service_rec s("web", "S", 7);
    s.run_node = 2;
    save_run_state(f.app, s, rs_running);
    const auto before = f.mon.kv("svc-web-runstate");
    f.mon.fail_set_values(1);
    EXPECT_THROW(save_run_state(f.app, s, rs_stopping), std::runtime_error);
    EXPECT_EQ(f.mon.kv("svc-web-runstate"), before);
    EXPECT_EQ(s.state.load(), rs_stopping);
}

// A save from a thread of an earlier leadership (the record carries its term) is
// refused once this node leads again in a later term; it cannot overwrite what
// the new activation stored.
TEST(SvcRecords, StaleWriterIsRefused)
{
    app_fixture f;
    service_rec old_rec("web", "S", 7);
    f.mon.set_term(8);
    service_rec new_rec("web", "S", 8);
    new_rec.run_node = 3;
    save_run_state(f.app, new_rec, rs_running);
    const auto stored = f.mon.kv("svc-web-runstate");
    EXPECT_THROW(save_run_state(f.app, old_rec, rs_stopped), std::runtime_error);
    EXPECT_EQ(f.mon.kv("svc-web-runstate"), stored);

    log_capture log;
    node old_node(3, "node3", true, nullptr, 7);
    old_node.enabled = false;
    save_node_config(f.app, old_node);
    EXPECT_FALSE(f.mon.kv("node-config-3").has_value());
    EXPECT_TRUE(log.has("[error] svc_app: cannot save node config: 3 \"ETIMEDOUT\"")) << log.text();
}

TEST(SvcRecords, NodeConfig)
{
    app_fixture f;
    node n(3, "node3", true, nullptr, 7);
    n.enabled = false;
    save_node_config(f.app, n);
    EXPECT_EQ(f.mon.kv("node-config-3"), R"({"enabled":false})");
    log_capture log;
    n.enabled = true;
    f.mon.fail_set_values(1);
    EXPECT_NO_THROW(save_node_config(f.app, n));
    EXPECT_EQ(f.mon.kv("node-config-3"), R"({"enabled":false})");
    EXPECT_TRUE(n.enabled.load());
    EXPECT_TRUE(log.has("cannot save node config: 3 \"ETIMEDOUT\""));
}

}  // namespace
}  // namespace svc
