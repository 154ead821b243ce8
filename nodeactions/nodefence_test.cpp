// nodefence's lookup, fencing steps and session wait against the stand-in tools,
// one private emulated platform per test; the waits are recorded, not slept.
#include "nodeactions/exit_codes.hpp"
#include "nodeactions/nodefence_actions.hpp"
#include "platform/emulated/fence_emul.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include <cstdlib>
#include <filesystem>
#include <sstream>

using namespace nodeactions;
using namespace nodeactions::nodefence;
namespace fe = platform::fence_emul;
using json = nlohmann::json;
using std::chrono::milliseconds;

namespace {

json three_nodes()
{
    json nodes = json::array();
    for (int i = 1; i <= 3; ++i)
        nodes.push_back(json{{"id", i},
                             {"nodename", "node" + std::to_string(i)},
                             {"internal_addr", "127.0.0." + std::to_string(i)},
                             {"assigned_target", "iqn.2026-01.test:node" + std::to_string(i)},
                             {"devices", json::array({"d0", "d1"})}});
    return json{{"nodes", nodes}};
}

class nodefence_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-nodefence-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);
        ::setenv("KELM_EMUL_HOST", "node1", 1);
        // Plant the stand-ins where the platform looks first.
        std::filesystem::create_directories(root_ + "/fs/usr/sbin");
        std::filesystem::create_directories(root_ + "/fs/usr/bin");
        std::filesystem::create_symlink(KELM_EMUL_CTLADM, root_ + "/fs/usr/sbin/ctladm");
        std::filesystem::create_symlink(KELM_EMUL_ISCSICTL, root_ + "/fs/usr/bin/iscsictl");
        std::string err;
        ASSERT_TRUE(fe::build_mesh(three_nodes(), &err)) << err;

        auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(log_);
        auto logger = std::make_shared<spdlog::logger>("node", sink);
        logger->set_pattern("%v");
        logger->set_level(spdlog::level::info);
        spdlog::set_default_logger(logger);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        ::unsetenv("KELM_EMUL_ROOT");
        ::unsetenv("KELM_EMUL_HOST");
    }

    fenced_node node(int i)
    {
        auto n = find_node(three_nodes(), std::to_string(i));
        EXPECT_TRUE(n);
        return n.value_or(fenced_node{});
    }
    sleeper recorder()
    {
        return [this](milliseconds d) { sleeps_.push_back(d.count()); };
    }
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::istringstream in(log_.str());
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }
    bool logged(const std::string& text) const { return log_.str().find(text) != std::string::npos; }
    // Every stand-in call as "tool arg arg ...".
    std::vector<std::string> calls()
    {
        std::string err;
        std::vector<std::string> out;
        for (const auto& c : fe::read_calls(&err)) {
            std::string line = c["tool"].get<std::string>();
            for (const auto& a : c["argv"])
                line += " " + a.get<std::string>();
            out.push_back(line);
        }
        return out;
    }
    json host(const std::string& name)
    {
        std::string err;
        auto s = fe::read_state(&err);
        EXPECT_TRUE(s) << err;
        return (*s)["hosts"][name];
    }
    void patch_session(const std::string& h, const std::string& nick, const json& patch)
    {
        std::string err;
        ASSERT_TRUE(fe::patch_session(h, nick, patch, &err)) << err;
    }
    void fault(const json& f)
    {
        std::string err;
        ASSERT_TRUE(fe::add_fault(f, &err)) << err;
    }

    std::string root_;
    std::ostringstream log_;
    std::vector<int64_t> sleeps_;
};

TEST(find_node, matches_the_id_text_exactly)
{
    json doc = json::parse(R"({"nodes": {
        "b": {"id": 7, "nodename": "seven", "enabled": false, "devices": [1, 2, 3]},
        "a": {"id": "3", "nodename": "text-id"},
        "c": 5, "d": {"id": 4294967299, "nodename": "wraps-to-3"},
        "e": {"id": -2, "nodename": "negative"}, "f": {"id": 3.0, "nodename": "float"},
        "g": {"id": 7, "nodename": "second-seven"},
        "h": {"id": 9, "nodename": 9, "assigned_target": null, "internal_addr": [], "devices": {}, "enabled": "no"}
    }})");
    auto seven = find_node(doc, "7");
    ASSERT_TRUE(seven);
    EXPECT_EQ(seven->nodename, "seven");  // the first in key order
    EXPECT_FALSE(seven->enabled);
    EXPECT_EQ(seven->device_count, 3u);
    EXPECT_FALSE(find_node(doc, "07"));
    EXPECT_FALSE(find_node(doc, "3"));  // neither the text id, the wrapped one nor the float
    EXPECT_FALSE(find_node(doc, " 7"));
    EXPECT_EQ(find_node(doc, "-2")->nodename, "negative");
    auto nine = find_node(doc, "9");
    ASSERT_TRUE(nine);
    EXPECT_EQ(nine->nodename, "");
    EXPECT_EQ(nine->assigned_target, "");
    EXPECT_EQ(nine->internal_addr, "");
    EXPECT_EQ(nine->device_count, 0u);
    EXPECT_TRUE(nine->enabled);
    EXPECT_FALSE(find_node(json::array(), "7"));
    EXPECT_FALSE(find_node(json{{"nodes", "x"}}, "7"));
    EXPECT_EQ(nickname(*seven), "node_7");
}

TEST_F(nodefence_test, fence_on_switches_the_port_and_removes_the_session)
{
    EXPECT_EQ(do_fence(node(3), true, recorder()), 0);
    EXPECT_EQ(calls(), (std::vector<std::string>{"ctladm portlist -x", "ctladm port -o off -p 2",
                                                  "iscsictl -R -n node_3"}));
    EXPECT_FALSE(host("node1")["ports"][2]["online"].get<bool>());
    EXPECT_FALSE(host("node1")["sessions"][1]["active"].get<bool>());
    auto l = lines();
    ASSERT_EQ(l.size(), 5u);
    EXPECT_EQ(l[0], "phase=node node=node3 id=3 action=fence-on target=iqn.2026-01.test:node3 : begin");
    EXPECT_EQ(l[1], "phase=ctl-port node=node3 id=3 port=2 : port has node IQN iqn.1994-09.org.freebsd:node3, "
                    "disabling the port");
    EXPECT_EQ(l[2], "phase=ctl-port node=node3 id=3 port=2 : target port fence-on completed: Front end port 2 offline");
    EXPECT_EQ(l[3], "phase=iscsi-initiator node=node3 id=3 nickname=node_3 : succeeded to remove iscsi connection "
                    "to node node3");
    EXPECT_EQ(l[4], "phase=node node=node3 id=3 action=fence-on exit=0 : done");
    EXPECT_TRUE(sleeps_.empty());

    // Only this host has cut node3 off so far: it still reaches node2's disks.
    std::string err;
    EXPECT_FALSE(platform::zfs_emul::read_state(&err)->value("/hosts/node3/fenced"_json_pointer, false));
    ::setenv("KELM_EMUL_HOST", "node2", 1);
    EXPECT_EQ(do_fence(node(3), true, recorder()), 0);
    EXPECT_TRUE(platform::zfs_emul::read_state(&err)->value("/hosts/node3/fenced"_json_pointer, false));

    // Twice is harmless: the session removal fails and is only reported.
    log_.str("");
    EXPECT_EQ(do_fence(node(3), true, recorder()), 0);
    EXPECT_TRUE(logged("phase=iscsi-initiator node=node3 id=3 nickname=node_3 : failed to remove iscsi connection "
                       "to node node3: iscsictl -R -n node_3 exited rc=1\n"));
    EXPECT_TRUE(logged("action=fence-on exit=0 : done"));
}

TEST_F(nodefence_test, fence_off_restores_waits_and_onlines)
{
    std::string err;
    auto pool = platform::zfs_emul::create_pool(
        json{{"name", "tank"},
             {"imported_by", json::object({{"node1", json::object()}})},
             {"vdevs", json::array({json{{"path", "/dev/diskid/A"}, {"host", "node1"}, {"state", 7}},
                                    json{{"path", "/dev/diskid/B"}, {"host", "node3"}, {"state", 7}}})}},
        &err);
    ASSERT_TRUE(pool) << err;
    for (const char* h : {"node1", "node2"}) {
        ::setenv("KELM_EMUL_HOST", h, 1);
        ASSERT_EQ(do_fence(node(3), true, recorder()), 0);
    }
    auto state = platform::zfs_emul::read_state(&err);
    ASSERT_TRUE(state->value("/hosts/node3/fenced"_json_pointer, false));
    // The holder lost node3's disk and keeps it lost until onlined.
    EXPECT_EQ(state->at("/pools/1/imported_by/node1/lost"_json_pointer), json::array({"/dev/diskid/B"}));

    ::setenv("KELM_EMUL_HOST", "node1", 1);
    log_.str("");
    EXPECT_EQ(do_fence(node(3), false, recorder()), 0);
    state = platform::zfs_emul::read_state(&err);
    EXPECT_FALSE(state->value("/hosts/node3/fenced"_json_pointer, true));
    EXPECT_EQ(state->at("/pools/1/vdevs/1/state"_json_pointer), 7);  // onlined
    EXPECT_EQ(state->at("/pools/1/imported_by/node1/lost"_json_pointer), json::array());
    auto c = calls();
    EXPECT_EQ(std::vector<std::string>(c.end() - 4, c.end()),
              (std::vector<std::string>{"ctladm portlist -x", "ctladm port -o on -p 2", "iscsictl -A -n node_3",
                                        "iscsictl -L -v --libxo=json"}));
    auto l = lines();
    std::vector<std::string> want = {
        "phase=node node=node3 id=3 action=fence-off target=iqn.2026-01.test:node3 : begin",
        "phase=ctl-port node=node3 id=3 port=2 : port has node IQN iqn.1994-09.org.freebsd:node3, enabling the port",
        "phase=ctl-port node=node3 id=3 port=2 : target port fence-off completed: Front end port 2 online",
        "phase=iscsi-initiator node=node3 id=3 nickname=node_3 : succeeded to restore iscsi connection to node node3",
        "phase=session-wait node=node3 id=3 : initiator check tryout 5",
        "phase=session-wait node=node3 id=3 : connection established",
        "phase=session-wait node=node3 id=3 : 2 devices presented by node",
        "phase=vdev-online node=node3 id=3 : onlining vdevs of degraded pools",
        "phase=vdev-online node=node3 id=3 : succeeded to online vdevs of all pools",
        "phase=node node=node3 id=3 action=fence-off exit=0 : done"};
    EXPECT_EQ(l, want);
}

TEST_F(nodefence_test, session_connecting_at_the_third_look)
{
    patch_session("node1", "node_3", json{{"looks", {"Connecting", "Connecting"}}});
    auto r = session_wait(node(3), "node=node3 id=3", recorder());
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->session);
    EXPECT_EQ(r->session->state, "Connected");
    EXPECT_EQ(r->session->lun_count, 2u);
    EXPECT_EQ(sleeps_, (std::vector<int64_t>{1250, 1000}));
    EXPECT_TRUE(logged("initiator check tryout 3\nphase=session-wait node=node3 id=3 : connection established\n"));
    EXPECT_FALSE(logged("tryout 2"));

    sleeps_.clear();
    patch_session("node1", "node_3", json{{"looks", {"absent", "absent"}}});
    ASSERT_TRUE(session_wait(node(3), "", recorder())->session);
    EXPECT_EQ(sleeps_, (std::vector<int64_t>{1750, 1400}));
}

TEST_F(nodefence_test, session_that_never_shows_up_or_never_connects)
{
    patch_session("node1", "node_3", json{{"state", "absent"}});
    log_.str("");
    ASSERT_EQ(do_fence(node(3), false, recorder()), 0);
    EXPECT_EQ(sleeps_, (std::vector<int64_t>{1750, 1400, 1050, 700, 350}));
    EXPECT_TRUE(logged("initiator check tryout 1\n"));
    EXPECT_TRUE(logged("phase=session-wait node=node3 id=3 : all of the attempts have been wasted with no connected "
                       "session\nphase=session-wait node=node3 id=3 : 0 of 2 devices presented by node\n"));
    EXPECT_TRUE(logged("succeeded to online vdevs of all pools"));
    EXPECT_TRUE(logged("action=fence-off exit=0 : done"));

    sleeps_.clear();
    patch_session("node1", "node_3", json{{"state", "Connecting"}, {"luns", 1}});
    auto r = session_wait(node(3), "", recorder());
    ASSERT_TRUE(r && r->session);
    EXPECT_EQ(r->session->state, "Connecting");
    EXPECT_EQ(sleeps_, (std::vector<int64_t>{1250, 1000, 750, 500, 250}));
}

TEST_F(nodefence_test, session_list_failures_end_the_wait_after_a_second)
{
    fault(json{{"tool", "iscsictl"}, {"op", "list"}, {"exit", 2}});
    log_.str("");
    ASSERT_EQ(do_fence(node(3), false, recorder()), 0);
    EXPECT_EQ(sleeps_, (std::vector<int64_t>{1000}));
    EXPECT_TRUE(logged("phase=session-wait node=node3 id=3 : can't list initiator sessions: iscsictl -L -v "
                       "--libxo=json exited rc=2; sleeping for a second then returning with no error\n"));
    EXPECT_FALSE(logged("devices presented"));
    EXPECT_FALSE(logged("phase=vdev-online"));
    EXPECT_TRUE(logged("action=fence-off exit=0 : done"));

    sleeps_.clear();
    fault(json{{"tool", "iscsictl"}, {"op", "list"}, {"exit", 0}, {"stdout", "{\"sessions\": []}"}});
    EXPECT_FALSE(session_wait(node(3), "", recorder()));
    EXPECT_EQ(sleeps_, (std::vector<int64_t>{1000}));
    EXPECT_TRUE(logged("can't parse iscsictl output: no 'iscsictl' container in json; sleeping for a second"));

    sleeps_.clear();
    fault(json{{"tool", "iscsictl"}, {"op", "list"}, {"signal", 9}});
    EXPECT_FALSE(session_wait(node(3), "", recorder()));
    EXPECT_TRUE(logged("can't list initiator sessions: iscsictl -L -v --libxo=json: killed by signal 9;"));
}

TEST_F(nodefence_test, disabled_node_runs_no_tool)
{
    auto n = node(3);
    n.enabled = false;
    EXPECT_EQ(do_fence(n, true, recorder()), 0);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "phase=node node=node3 id=3 action=fence-on target=iqn.2026-01.test:node3 : begin",
                           "phase=node node=node3 id=3 action=fence-on exit=0 : skipped: node disabled in config"}));
}

TEST_F(nodefence_test, port_failures_end_the_run_before_the_session)
{
    auto n = node(3);
    n.assigned_target = "";
    EXPECT_EQ(do_fence(n, true, recorder()), 51);
    EXPECT_TRUE(logged("FAILED phase=ctl-port node=node3 id=3 exit=51 : a port of node node3 (target ) has not been "
                       "found\n"));

    fault(json{{"tool", "ctladm"}, {"op", "portlist"}, {"exit", 3}});
    EXPECT_EQ(do_fence(node(3), true, recorder()), 51);
    EXPECT_TRUE(logged("exit=51 : can't get CTL port list: ctladm portlist -x exited rc=3\n"));

    fault(json{{"tool", "ctladm"}, {"op", "portlist"}, {"exit", 0}, {"stdout", "<portlist/>"}});
    EXPECT_EQ(do_fence(node(3), true, recorder()), 51);
    EXPECT_TRUE(logged("exit=51 : can't parse CTL port list: no <ctlportlist> in ctladm portlist output\n"));

    fault(json{{"tool", "ctladm"}, {"op", "port"}, {"exit", 1}, {"stdout", "  port busy\n"}});
    EXPECT_EQ(do_fence(node(3), false, recorder()), 50);
    EXPECT_TRUE(logged("phase=ctl-port node=node3 id=3 port=2 : ctladm said: port busy\n"
                       "FAILED phase=ctl-port node=node3 id=3 port=2 exit=50 : failed to enable target port: "
                       "ctladm port -o on -p 2 exited rc=1\n"));

    for (const auto& c : calls())
        EXPECT_EQ(c.find("iscsictl"), std::string::npos) << c;
    EXPECT_TRUE(host("node1")["sessions"][1]["active"].get<bool>());
}

TEST_F(nodefence_test, missing_tool_is_a_port_list_failure)
{
    std::filesystem::remove(root_ + "/fs/usr/sbin/ctladm");
    std::filesystem::create_symlink("/nonexistent/ctladm", root_ + "/fs/usr/sbin/ctladm");
    EXPECT_EQ(do_fence(node(3), true, recorder()), 51);
    EXPECT_TRUE(logged("exit=51 : can't get CTL port list: ctladm portlist -x exited rc=127\n"));
}

}  // namespace

// A run for node 3 waits while another run for node 3 holds its lock (one whose
// tools hang, carrying out a deposed leader's call) and acts only after it; a
// lock that cannot be taken ends the run before any tool is called.
TEST_F(nodefence_test, runs_for_one_node_take_their_turn)
{
    const json doc = three_nodes();
    const invocation on{"fence-on", "/etc/cluster.json", "3", doc};
    std::string err;
    ASSERT_EQ(run(invocation{"fence-off", "/etc/cluster.json", "2", doc}), 0);  // makes the lock folder
    const int fd = ::open(fence_lock_path(3).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    std::atomic<int> status{-1};
    std::thread waiting([&] { status.store(run(on)); });
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(status.load(), -1);
    EXPECT_TRUE(host("node1")["ports"][2]["online"].get<bool>()) << "fenced while another run held the lock";
    ::close(fd);
    waiting.join();
    EXPECT_EQ(status.load(), 0);
    EXPECT_FALSE(host("node1")["ports"][2]["online"].get<bool>());

    // The lock folder is a file: exit 52, nothing changed.
    std::filesystem::remove_all(root_ + "/fs/var/run/nodefence");
    { std::ofstream(root_ + "/fs/var/run/nodefence") << "x"; }
    const size_t before = calls().size();
    EXPECT_EQ(run(invocation{"fence-off", "/etc/cluster.json", "3", doc}), exit_fence_lock);
    EXPECT_EQ(calls().size(), before);
    EXPECT_FALSE(host("node1")["ports"][2]["online"].get<bool>());
    EXPECT_TRUE(logged("FAILED phase=node node=node3 id=3 exit=52 : cannot create"));
}
