// pellix-cluster as a process against a fake management endpoint: every exit
// status with its text, the requests each command sends, the move sequence, and
// golden outputs. Tests named *Slow* wait out the 39 s receive time-out and run
// under the label "slow" only.
#include "cli/fake_mgmt_endpoint.hpp"
#include "cli/program_run.hpp"
#include "platform/emulated/disk_emul.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <future>
#include <fstream>

namespace cli::testing {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

class pellix_cluster : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/pellix-cluster-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        write_config(json{{"cluster", {{"mgmt-url", endpoint_.url()}}}}.dump());
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write_config(const std::string& text) { std::ofstream(config()) << text; }
    std::string config() const { return dir_ + "/config.json"; }

    // Runs the utility with this test's configuration.
    run_result run(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-c", config()});
        return run_program(PELLIX_CLUSTER, args);
    }

    // The requests the endpoint saw, compact.
    std::vector<std::string> seen() const
    {
        std::vector<std::string> out;
        for (const auto& r : endpoint_.requests())
            out.push_back(r.dump());
        return out;
    }

    fake_mgmt_endpoint endpoint_;
    std::string dir_;
};

const std::string nodes_reply = R"({"response":[
    {"id":1,"nodename":"alpha","state":"ONLINE","enabled":true},
    {"id":2,"nodename":"beta","state":"OFFLINE","enabled":false},
    {"id":10,"nodename":"gamma","state":"ONLINE","enabled":true}]})";
const std::string services_reply = R"({"response":[
    {"name":"web","state":"STARTED","run_node":1,"enabled":true,"failed":false},
    {"name":"db","state":"STOPPED","run_node":1024,"enabled":false,"failed":false},
    {"name":"nfs","state":"STARTED","run_node":10,"enabled":true,"failed":false},
    {"name":"lost","state":"STALE","run_node":7,"enabled":true,"failed":false}]})";
const std::string services_with_error_reply = R"({"response":[
    {"name":"web","state":"STARTED","run_node":1,"enabled":true,"failed":false},
    {"name":"bad","error":"ENOENT","errorMessage":"Key not found."},
    {"name":"nfs","state":"STARTING","run_node":10,"enabled":false,"failed":false}]})";

TEST_F(pellix_cluster, status_table_golden)
{
    endpoint_.set_answers({{"node status", nodes_reply}, {"service status", services_reply}});
    auto r = run({"status"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "\nNode ID:  1; name:                     alpha; state:       ONLINE; [     enabled]\n"
              "\tService name:                      web; state:    STARTED; [     enabled]\n"
              "\nNode ID:  2; name:                      beta; state:      OFFLINE; [    DISABLED]\n"
              "\nNode ID: 10; name:                     gamma; state:       ONLINE; [     enabled]\n"
              "\tService name:                      nfs; state:    STARTED; [     enabled]\n"
              "\n________________________________________\n");
    EXPECT_EQ(seen(), (std::vector<std::string>{R"({"call":"node","cmd":"status"})",
                                                R"({"call":"service","cmd":"status"})"}));
}

TEST_F(pellix_cluster, status_table_with_failed_services_golden)
{
    endpoint_.set_answers({{"node status", nodes_reply}, {"service status", services_with_error_reply}});
    auto r = run({"status"});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "\nNode ID:  1; name:                     alpha; state:       ONLINE; [     enabled]\n"
              "\tService name:                      web; state:    STARTED; [     enabled]\n"
              "\nNode ID:  2; name:                      beta; state:      OFFLINE; [    DISABLED]\n"
              "\nNode ID: 10; name:                     gamma; state:       ONLINE; [     enabled]\n"
              "\tService name:                      nfs; state:   STARTING; [    DISABLED]\n"
              "\nServices with errors:\n"
              "\tService name:                      bad -> ENOENT: Key not found.\n"
              "\n________________________________________\n");
}

TEST_F(pellix_cluster, status_json_golden)
{
    endpoint_.set_answers({{"node status", nodes_reply}, {"service status", services_with_error_reply}});
    auto r = run({"status", "--json"});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.out, R"({
   "cluster": {
      "nodes": [
         {
            "enabled": true,
            "id": 1,
            "name": "alpha",
            "state": "ONLINE"
         },
         {
            "enabled": false,
            "id": 2,
            "name": "beta",
            "state": "OFFLINE"
         },
         {
            "enabled": true,
            "id": 10,
            "name": "gamma",
            "state": "ONLINE"
         }
      ],
      "services": [
         {
            "enabled": true,
            "name": "web",
            "nodeId": 1,
            "state": "STARTED"
         },
         {
            "enabled": null,
            "error": "ENOENT: Key not found.",
            "name": "bad",
            "nodeId": null,
            "state": "ERROR"
         },
         {
            "enabled": false,
            "name": "nfs",
            "nodeId": 10,
            "state": "STARTING"
         }
      ]
   }
})");
    endpoint_.set_answers({{"node status", nodes_reply}, {"service status", services_reply}});
    r = run({"status", "--json"});
    EXPECT_EQ(r.status, 0);
    auto doc = json::parse(r.out);
    EXPECT_EQ(doc["cluster"]["services"][1]["nodeId"], nullptr);  // run_node 1024
    EXPECT_EQ(doc["cluster"]["services"][3]["nodeId"], 7);        // a node not in the list
    // Empty lists: no "nodes" member; both empty: the bare text null, no newline.
    endpoint_.set_answers({{"node status", R"({"response":[]})"}, {"service status", services_reply}});
    r = run({"status", "--json"});
    EXPECT_FALSE(json::parse(r.out)["cluster"].contains("nodes"));
    endpoint_.set_answers({{"node status", R"({"response":[]})"}, {"service status", R"({"response":[]})"}});
    r = run({"status", "--json"});
    EXPECT_EQ(r.out, "null");
    EXPECT_EQ(r.status, 0);
}

TEST_F(pellix_cluster, node_and_service_listings_golden)
{
    endpoint_.set_answers({{"node status", nodes_reply},
                           {"node list", R"({"response":[1,2,10]})"},
                           {"service status", services_with_error_reply},
                           {"service list", R"({"response":["web","db","a-service-name-longer-than-24"]})"}});
    auto r = run({"node", "status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Node ID:  1; name:                     alpha; state:     ONLINE; [     enabled]\n"
              "Node ID:  2; name:                      beta; state:    OFFLINE; [    DISABLED]\n"
              "Node ID: 10; name:                     gamma; state:     ONLINE; [     enabled]\n");
    r = run({"node", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Node ID:  1\nNode ID:  2\nNode ID: 10\n");
    r = run({"service", "status"});
    EXPECT_EQ(r.status, 11);  // after every item was printed
    EXPECT_EQ(r.out,
              "Service name:                      web; state:    STARTED at node:  1; [     enabled]\n"
              "Service name:                      bad; state:      ERROR at node:  -; [     unknown]\n"
              "              -> ENOENT: Key not found.\n"
              "Service name:                      nfs; state:   STARTING at node: 10; [    DISABLED]\n");
    r = run({"service", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Service name:                      web\n"
              "Service name:                       db\n"
              "Service name: a-service-name-longer-than-24\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(pellix_cluster, empty_lists_print_nothing)
{
    // The daemon answers null for a list with no entries.
    endpoint_.set_answers({{"service list", R"({"response":null})"}, {"node list", R"({"response":null})"},
                           {"service status", R"({"response":[]})"}});
    for (auto args : {std::vector<std::string>{"service", "list"}, {"node", "list"}, {"service", "status"}}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 0) << args[0] << " " << args[1] << ": " << r.err;
        EXPECT_EQ(r.out + r.err, "");
    }
}

TEST_F(pellix_cluster, commands_send_their_requests_and_print_their_result)
{
    const std::string ok = R"({"response":null})";
    endpoint_.set_answers({{"node disable", ok}, {"node enable", ok}, {"node exit", ok}, {"service stop", ok},
                           {"service enable", ok}, {"service disable", ok}, {"service start", ok}});
    struct row {
        std::vector<std::string> args;
        std::string request;
        std::string out;
    };
    const std::vector<row> rows = {
        {{"node", "disable", "--id", "010"}, R"({"call":"node","cmd":"disable","id":10})", ""},
        {{"node", "enable", "--id=+3"}, R"({"call":"node","cmd":"enable","id":3})", ""},
        {{"node", "exit", "--id", "63"}, R"({"call":"node","cmd":"exit","id":63})", ""},
        {{"service", "stop", "-s", "web"}, R"({"call":"service","cmd":"stop","serviceName":"web"})", "No error\n"},
        {{"service", "enable", "--service-name="}, R"({"call":"service","cmd":"enable","serviceName":""})",
         "No error\n"},
        {{"service", "disable", "-s", "caf\xc3\xa9"}, "{\"call\":\"service\",\"cmd\":\"disable\",\"serviceName\":\"caf\xc3\xa9\"}",
         "No error\n"},
        {{"service", "start", "-s", "web", "--id", "007"},
         R"({"call":"service","cmd":"start","nodeId":7,"serviceName":"web"})", "No error\n"},
    };
    for (const auto& row : rows) {
        auto before = endpoint_.requests().size();
        auto r = run(row.args);
        EXPECT_EQ(r.status, 0) << row.request << ": " << r.err;
        EXPECT_EQ(r.out, row.out) << row.request;
        auto all = seen();
        ASSERT_EQ(all.size(), before + 1) << row.request;
        EXPECT_EQ(all.back(), row.request);
    }
}

TEST_F(pellix_cluster, error_replies_end_with_11)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"error":"EINVAL","errorMessage":"serviceName should be set","requestId":1})",
         "An error occured: EINVAL: serviceName should be set\n"},
        {R"({"error":""})", "An error occured: unknown error (no error/errorMessage in reply)\n"},
        {R"({"error":"EA90002","errorMessage":null})", "An error occured: EA90002\n"},
        {R"({"error":null,"errorMessage":"text only"})", "An error occured: text only\n"},
    };
    for (const auto& [reply, text] : cases) {
        endpoint_.set_answers({{"service stop", reply}});
        auto r = run({"service", "stop", "-s", "web"});
        EXPECT_EQ(r.status, 11) << reply;
        EXPECT_EQ(r.err, text);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(pellix_cluster, malformed_replies_end_with_1)
{
    struct row {
        std::vector<std::string> args;
        std::string key, reply, err;
    };
    const std::string bad = "Bad reply from kelm: ";
    const std::vector<row> rows = {
        {{"node", "list"}, "node list", R"({"response":[1,3.0]})", bad + "list item is not an integer\n"},
        {{"node", "list"}, "node list", R"({"response":[4294967297]})", bad + "list item is not an integer\n"},
        {{"node", "list"}, "node list", R"({"response":{}})", bad + "response is not an array\n"},
        {{"service", "list"}, "service list", R"({"response":["a",1]})", bad + "list item is not a string\n"},
        {{"service", "list"}, "service list", R"([])", bad + "no response field\n"},
        {{"node", "status"}, "node status", R"({"response":[{"id":1,"nodename":"a","state":"ONLINE","enabled":"yes"}]})",
         bad + "field 'enabled' is not a boolean\n"},
        {{"node", "status"}, "node status", R"({"response":[{"id":1.5,"nodename":"a","state":"ONLINE","enabled":true}]})",
         bad + "field 'id' is not an integer\n"},
        {{"service", "status"}, "service status",
         R"({"response":[{"name":"w","state":"STARTED","run_node":4294967297,"enabled":true}]})",
         bad + "field 'run_node' is not an integer\n"},
        {{"service", "status"}, "service status", R"({"response":[{"error":"E"}]})", bad + "item has no 'name' field\n"},
        {{"service", "status"}, "service status", R"({"response":[7]})",
         bad + "item is not an object (expected field 'name')\n"},
        {{"service", "stop", "-s", "w"}, "service stop", "not json",
         "Bad reply from kelm (unhandled): [json.exception.parse_error.101] parse error at line 1, column 2: "
         "syntax error while parsing value - invalid literal; last read: 'no'\n"},
        {{"service", "stop", "-s", "w"}, "service stop", "{\"response\":\"\xff\"}",
         "Bad reply from kelm (unhandled): "},
    };
    for (const auto& row : rows) {
        endpoint_.set_answers({{row.key, row.reply}});
        auto r = run(row.args);
        EXPECT_EQ(r.status, 1) << row.reply;
        EXPECT_EQ(r.err.substr(0, row.err.size()), row.err) << row.reply;
    }
    // A table cut short by a bad item keeps what was printed before it.
    endpoint_.set_answers({{"node status", R"({"response":[{"id":1,"nodename":"a","state":"ONLINE","enabled":true},
                                                            {"id":2}]})"},
                           {"service status", R"({"response":[]})"}});
    auto r = run({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\nNode ID:  1; name:                         a; state:       ONLINE; [     enabled]\n");
    EXPECT_EQ(r.err, bad + "item has no 'nodename' field\n");
}

TEST_F(pellix_cluster, configuration_faults)
{
    struct row {
        std::string config;  // empty: no file at all
        int status;
        std::string err;
    };
    const std::vector<row> rows = {
        {"", 253, "Config file " + config() + " doesn't exists\n"},
        {"{}", 249, "Config has no mgmt-url in place\n"},
        {"[1]", 249, "Config has no mgmt-url in place\n"},
        {R"({"cluster":[]})", 249, "Config has no mgmt-url in place\n"},
        {R"({"cluster":{"mgmt_url":"tcp://x:1"}})", 249, "Config has no mgmt-url in place\n"},
        {R"({"cluster":{"mgmt-url":5}})", 1, "Bad reply from kelm (unhandled): [json.exception.type_error.302]"},
        {R"({"cluster":)", 1, "Bad reply from kelm (unhandled): [json.exception.parse_error.101]"},
        {R"({"cluster":{"mgmt-url":"nonsense"}})", 1, "Bad reply from kelm (unhandled): "},
    };
    for (const auto& row : rows) {
        fs::remove(config());
        if (!row.config.empty())
            write_config(row.config);
        auto r = run({"node", "list"});
        EXPECT_EQ(r.status, row.status) << row.config;
        EXPECT_EQ(r.err.substr(0, row.err.size()), row.err) << row.config;
    }
    EXPECT_TRUE(endpoint_.requests().empty());
    // A directory is no configuration file either.
    auto r = run_program(PELLIX_CLUSTER, {"node", "list", "-c", dir_});
    EXPECT_EQ(r.status, 253);
    EXPECT_EQ(r.err, "Config file " + dir_ + " doesn't exists\n");
    // ha disk status reads the configuration too.
    r = run_program(PELLIX_CLUSTER, {"ha", "disk", "status", "-c", dir_ + "/none"});
    EXPECT_EQ(r.status, 253);
}

TEST_F(pellix_cluster, usage_help_and_version)
{
    auto r = run({});
    EXPECT_EQ(r.status, 12);
    EXPECT_EQ(r.err, "Command is required\n");
    r = run({"service", "start", "--id", "3"});
    EXPECT_EQ(r.status, 12);
    EXPECT_EQ(r.err.substr(0, 36), "-s/--service-name is required\n\nStart");
    EXPECT_EQ(r.out, "");
    r = run({"node", "disable", "--id", "0x10"});
    EXPECT_EQ(r.status, 12);
    EXPECT_EQ(r.err, "--id: Value 0x10 is not a decimal integer\n");
    r = run({"node", "disable", "--id", "64"});
    EXPECT_EQ(r.err, "Bad node_id value: 64\n");
    EXPECT_EQ(r.status, 12);
    r = run({"service", "stop", "-s", "bad\xff"});
    EXPECT_EQ(r.status, 12);
    r = run({"ha", "disk", "status", "--output", "JSON"});
    EXPECT_EQ(r.status, 12);
    EXPECT_EQ(r.err, "Bad --output value: JSON (expected table|json)\n");
    EXPECT_TRUE(endpoint_.requests().empty());
    // Help and version never read the configuration.
    fs::remove(config());
    r = run({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Cluster management utility"), std::string::npos);
    EXPECT_EQ(r.err, "");
    for (auto args : {std::vector<std::string>{"-v"}, {"node", "exit", "--id", "3", "--version"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("pellix-cluster version: ", 0), 0u) << r.out;
        EXPECT_EQ(r.out.back(), '\n');
    }
    EXPECT_TRUE(endpoint_.requests().empty());
}

TEST_F(pellix_cluster, ha_disk_status_reads_the_disks_as_this_host)
{
    ::setenv("KELM_EMUL_ROOT", dir_.c_str(), 1);
    ::setenv("KELM_EMUL_HOST", "beta", 1);
    std::string err;
    ASSERT_TRUE(platform::disk_emul::create_disk("da1", "scsi", &err)) << err;
    ASSERT_TRUE(platform::disk_emul::setup_command("da1", "beta", "register", 0, 2, 0, &err)) << err;
    const json nodes = json::array({{{"id", 1}, {"nodename", "alpha"}}, {{"id", 2}, {"nodename", "beta"}}});
    write_config(json{{"nodes", nodes}, {"ha", {{"disks", {"da1", "da7"}}}}}.dump());
    auto r = run({"ha", "disk", "status", "--output", "json"});
    EXPECT_EQ(r.status, 15) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["ha"]["node"]["id"], 2) << "by the emulated host name";
    EXPECT_EQ(j["ha"]["disks"][0]["registrants"][0]["self"], true);
    r = run({"ha", "disk", "status", "--id", "1"});
    EXPECT_NE(r.out.find("Node:     1 (alpha), key 0x1;  peer: 2, key 0x2\n"), std::string::npos) << r.out;
    // Refusals: no "ha" section, and a node id that is not a number.
    write_config(json{{"nodes", nodes}}.dump());
    r = run({"ha", "disk", "status"});
    EXPECT_EQ(r.status, 13);
    EXPECT_EQ(r.out, "");
    write_config(R"({"nodes": [{"id": "one"}], "ha": {"disks": ["da1"]}})");
    r = run({"ha", "disk", "status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Bad reply from kelm (unhandled): ", 0), 0u) << r.err;
    ::unsetenv("KELM_EMUL_HOST");
    ::unsetenv("KELM_EMUL_ROOT");
}

TEST_F(pellix_cluster, move_runs_precheck_stop_start)
{
    endpoint_.set_answers({{"service list", R"({"response":["web","db"]})"},
                           {"node status", nodes_reply},
                           {"service stop", R"({"response":null})"},
                           {"service start", R"({"response":null})"}});
    auto r = run({"service", "move", "-s", "web", "--dst-id", "010"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Stopping service web\nService web stopped\nStarting service web on node 10\n"
              "Service web started on node 10\n");
    EXPECT_EQ(seen(), (std::vector<std::string>{
                          R"({"call":"service","cmd":"list"})", R"({"call":"node","cmd":"status"})",
                          R"({"call":"service","cmd":"stop","serviceName":"web"})",
                          R"({"call":"service","cmd":"start","move":true,"nodeId":10,"serviceName":"web"})"}));
}

TEST_F(pellix_cluster, move_precheck_failures_send_no_stop)
{
    struct row {
        std::string list, nodes;
        std::vector<std::string> args;
        std::string err;
        size_t requests;
    };
    const std::string list = R"({"response":["web"]})";
    const std::vector<row> rows = {
        {R"({"response":{}})", nodes_reply, {"-s", "web", "--dst-id", "1"}, "Bad reply from mgmt: no response array\n", 1},
        {R"({"response":null})", nodes_reply, {"-s", "web", "--dst-id", "1"}, "Service not found: web\n", 1},
        {list, nodes_reply, {"-s", "WEB", "--dst-id", "1"}, "Service not found: WEB\n", 1},
        {list, nodes_reply, {"-s", "web", "--dst-id", "9"}, "Node not found: 9\n", 2},
        {list, nodes_reply, {"-s", "web", "--dst-id", "2"}, "Node disabled: 2\n", 2},
        {list, R"({"response":[{"id":3,"enabled":true}]})", {"-s", "web", "--dst-id", "3"},
         "Node offline: 3 (state: unknown)\n", 2},
        {list, R"({"response":[{"id":3,"state":"OFFLINE","enabled":true}]})", {"-s", "web", "--dst-id", "3"},
         "Node offline: 3 (state: OFFLINE)\n", 2},
        {list, R"([])", {"-s", "web", "--dst-id", "3"}, "Bad reply from mgmt: no response array\n", 2},
    };
    for (const auto& row : rows) {
        fake_mgmt_endpoint endpoint;
        write_config(json{{"cluster", {{"mgmt-url", endpoint.url()}}}}.dump());
        endpoint.set_answers({{"service list", row.list}, {"node status", row.nodes}});
        std::vector<std::string> args{"service", "move"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        auto r = run(args);
        EXPECT_EQ(r.status, 11) << row.err;
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(endpoint.requests().size(), row.requests) << row.err;
    }
}

TEST_F(pellix_cluster, move_stops_at_a_failed_stop_and_reports_a_failed_start)
{
    // A node item whose flag has another type is no usable answer either.
    endpoint_.set_answers({{"service list", R"({"response":["web"]})"},
                           {"node status", R"({"response":[{"id":1,"state":"ONLINE","enabled":"yes"}]})"}});
    auto r = run({"service", "move", "-s", "web", "--dst-id", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Bad reply from kelm (unhandled): [json.exception.type_error.302]", 0), 0u) << r.err;
    EXPECT_EQ(endpoint_.requests().size(), 2u);

    endpoint_.set_answers({{"service list", R"({"response":["web"]})"},
                           {"node status", nodes_reply},
                           {"service stop", R"({"error":"EA90001","errorMessage":"cannot stop service: web"})"}});
    r = run({"service", "move", "-s", "web", "--dst-id", "1"});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.out, "Stopping service web\n");
    EXPECT_EQ(r.err, "An error occured: EA90001: cannot stop service: web\n");
    EXPECT_EQ(endpoint_.requests().size(), 5u);  // no start

    endpoint_.set_answers({{"service list", R"({"response":["web"]})"},
                           {"node status", nodes_reply},
                           {"service stop", R"({"response":null})"},
                           {"service start", "{not json"}});
    r = run({"service", "move", "-s", "web", "--dst-id", "1"});
    EXPECT_EQ(r.status, 1);  // what was printed before the failure is kept
    EXPECT_EQ(r.out, "Stopping service web\nService web stopped\nStarting service web on node 1\n");
    EXPECT_EQ(r.err.rfind("Bad reply from kelm (unhandled): ", 0), 0u) << r.err;
}

TEST_F(pellix_cluster, unreachable_endpoints_end_with_6)
{
    write_config(json{{"cluster", {{"mgmt-url", refused_url()}}}}.dump());
    auto r = run({"node", "list"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, "mgmt unreachable at " + json::parse(std::ifstream(config()))["cluster"]["mgmt-url"].get<std::string>() + "\n");
    EXPECT_LT(r.seconds, 4.5);  // the first refused attempt ends the wait, not the 5 s limit

    idle_tcp_listener listener(true);
    write_config(json{{"cluster", {{"mgmt-url", listener.url()}}}}.dump());
    r = run({"node", "list"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, "mgmt unreachable at " + listener.url() + "\n");
    EXPECT_GT(r.seconds, 4.9);
    EXPECT_LT(r.seconds, 15.0);  // margin for a loaded machine
}

TEST_F(pellix_cluster, SlowSilentEndpointsEndWith5AfterTheReceiveTimeout)
{
    // Two silent peers at once: an endpoint that takes the request and never
    // answers, and a TCP listener that never speaks ZMQ, where the request is
    // still queued in the utility when the time-out comes (closing must not wait
    // for it).
    endpoint_.set_silent();
    idle_tcp_listener listener(false);
    const std::string mute_config = dir_ + "/mute.json";
    std::ofstream(mute_config) << json{{"cluster", {{"mgmt-url", listener.url()}}}}.dump();
    auto mute = std::async(std::launch::async, [&] {
        return run_program(PELLIX_CLUSTER, {"service", "stop", "-s", "web", "-c", mute_config});
    });
    auto r = run({"service", "stop", "-s", "web"});
    for (const auto& res : {r, mute.get()}) {
        EXPECT_EQ(res.status, 5);
        EXPECT_EQ(res.err, "ZMQ socket error on receive: timeout\n");
        EXPECT_EQ(res.out, "");
        EXPECT_GT(res.seconds, 38.9);
        EXPECT_LT(res.seconds, 60.0);  // no wait for the unanswered request on the way out
    }
    EXPECT_EQ(endpoint_.requests().size(), 1u);
}

}  // namespace
}  // namespace cli::testing
