// The HA disk report over emulated disks: golden table and JSON of a pair that
// holds its quorum, every exit status, the labels under each way of knowing the
// own node, and the configuration refusals.
#include "cli/ha_disk_report.hpp"
#include "platform/emulated/disk_emul.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

namespace cli {
namespace {

namespace de = platform::disk_emul;
using nlohmann::json;

class ha_report : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = std::filesystem::temp_directory_path() /
                ("ha_report_test." + std::to_string(::getpid()) + "." +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);
        ::setenv("KELM_EMUL_HOST", "alpha", 1);
    }
    void TearDown() override
    {
        std::filesystem::remove_all(root_);
        ::unsetenv("KELM_EMUL_ROOT");
        ::unsetenv("KELM_EMUL_HOST");
    }
    static void disk(const std::string& name, const char* proto)
    {
        std::string err;
        ASSERT_TRUE(de::create_disk(name, proto, &err)) << err;
    }
    // A set-up command on a disk as one host (type in the system's numbering).
    static void as(const char* host, const std::string& name, const char* op, uint64_t key, uint32_t type = 0)
    {
        std::string err;
        ASSERT_TRUE(de::setup_command(name, host, op, type, key, 0, &err)) << name << " " << op << ": " << err;
    }
    static json config(const std::vector<std::string>& disks, json nodes = pair_nodes())
    {
        return {{"nodes", std::move(nodes)}, {"ha", {{"disks", disks}}}};
    }
    static json pair_nodes() { return json::array({{{"id", 1}, {"nodename", "alpha"}}, {{"id", 2}, {"nodename", "beta"}}}); }
    // The usual pair: node 1 (alpha) holds da1 and nvme0ns1, node 2 (beta) holds da2.
    void pair_world()
    {
        disk("da1", "scsi");
        disk("da2", "scsi");
        disk("nvme0ns1", "nvme");
        for (const char* d : {"da1", "da2", "nvme0ns1"}) {
            as("alpha", d, "register", 1);
            as("beta", d, "register", 2);
        }
        as("alpha", "da1", "reserve", 1, 2);
        as("beta", "da2", "reserve", 2, 2);
        as("alpha", "nvme0ns1", "reserve", 1, 2);
    }
    static ha_status_output run(const json& cfg, output_format f = output_format::table,
                                std::optional<uint32_t> id = std::nullopt, const std::string& host = "alpha")
    {
        return ha_disk_status_run(cfg, f, id, host, true);
    }
    std::filesystem::path root_;
};

TEST_F(ha_report, table_golden_for_a_pair_holding_its_quorum)
{
    pair_world();
    auto o = run(config({"da1", "da2", "nvme0ns1"}));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out,
              "DISK      PROTO  STATUS  TYPE              GEN  HOLDER    REGISTRANTS\n"
              "da1       scsi   ok      EXCLUSIVE_ACCESS  0x2  0x1(n1*)  0x1(n1*) 0x2(n2)\n"
              "da2       scsi   ok      EXCLUSIVE_ACCESS  0x2  0x2(n2)   0x1(n1*) 0x2(n2)\n"
              "nvme0ns1  nvme   ok      EXCLUSIVE_ACCESS  0x2  0x1(n1*)  0x1(n1*) 0x2(n2)\n"
              "\n"
              "Legend:   0xK(nN) = PR key 0xK is node N;  * = this node;  (?) = key not in config\n"
              "          \"-\" in TYPE/HOLDER = no reservation on the disk\n"
              "\n"
              "Node:     1 (alpha), key 0x1;  peer: 2, key 0x2\n"
              "Disks:    3 configured, 3 read, 0 failed\n"
              "Our key:  registered on 3 of 3 read\n"
              "Reserved: 3 of 3 read (holder 0x1(n1*): 2, holder 0x2(n2): 1)\n"
              "Quorum:   2 of 3 required -> HELD by 0x1(n1*)\n");
}

TEST_F(ha_report, json_golden_for_a_pair_holding_its_quorum)
{
    pair_world();
    auto o = run(config({"da1", "nvme0ns1"}), output_format::json);
    EXPECT_EQ(o.status, 0);
    const json expected = json::parse(R"({"ha": {
      "node": {"id": 1, "key": 1, "name": "alpha"},
      "peer": {"id": 2, "key": 2},
      "disks": [
        {"name": "da1", "proto": "scsi", "status": "ok", "generation": 2, "truncated": false,
         "reservation": {"all_registrants": false, "holder_key": 1, "holder_node": 1, "ptpl": null,
                         "type": "EXCLUSIVE_ACCESS", "type_code": 3},
         "registrants": [{"holder": true, "key": 1, "node": 1, "self": true},
                         {"holder": false, "key": 2, "node": 2, "self": false}]},
        {"name": "nvme0ns1", "proto": "nvme", "status": "ok", "generation": 2, "truncated": false,
         "reservation": {"all_registrants": false, "holder_key": 1, "holder_node": 1, "ptpl": false,
                         "type": "EXCLUSIVE_ACCESS", "type_code": 2},
         "registrants": [{"ctrl_id": 1, "holder": true, "key": 1, "node": 1, "self": true},
                         {"ctrl_id": 2, "holder": false, "key": 2, "node": 2, "self": false}]}],
      "summary": {"all_registrants": 0, "configured": 2, "failed": 0, "holders": [{"disks": 2, "key": 1, "node": 1}],
                  "our_key_registered": 2, "quorum_holder": {"key": 1, "node": 1}, "quorum_required": 2,
                  "read": 2, "reserved": 2, "truncated": 0, "unexpected_type": 0}}})");
    EXPECT_EQ(json::parse(o.out), expected) << o.out;
    // Three-blank indentation, sorted keys, one trailing newline.
    EXPECT_EQ(o.out.substr(0, 22), "{\n   \"ha\": {\n      \"di");
    EXPECT_EQ(o.out.back(), '\n');
}

TEST_F(ha_report, unreadable_disks_give_15_then_14)
{
    disk("da1", "scsi");
    disk("da2", "scsi");
    as("alpha", "da1", "register", 1);
    std::string err;
    ASSERT_TRUE(de::add_fault({{"disk", "da2"}, {"op", "read_keys"}, {"action", "conflict"}}, &err)) << err;
    auto o = run(config({"da1", "da9", "da2"}));
    EXPECT_EQ(o.status, 15);
    EXPECT_NE(o.out.find("da9   scsi   error   -     -    -       -\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\nErrors:\n  da9: device error: cannot open device\n"
                         "  da2: device rejected: device rejected READ KEYS\n\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("Disks:    3 configured, 1 read, 2 failed\n"), std::string::npos);
    EXPECT_NE(o.out.find("Quorum:   2 of 3 required -> not held by any node\n"), std::string::npos);

    o = run(config({"da8", "nvme9"}), output_format::json);
    EXPECT_EQ(o.status, 14);
    const json j = json::parse(o.out);
    EXPECT_EQ(j["ha"]["disks"][1]["io"], "device_error");
    EXPECT_EQ(j["ha"]["disks"][1]["error"], "reservation report was not delivered to the device");
    EXPECT_EQ(j["ha"]["summary"]["failed"], 2);
    o = run(config({"da8", "nvme9"}));
    EXPECT_NE(o.out.find("Reserved: 0 of 0 read\n"), std::string::npos) << o.out;
}

TEST_F(ha_report, labels_follow_the_own_node)
{
    disk("da1", "scsi");
    as("alpha", "da1", "register", 1);
    as("beta", "da1", "register", 2);
    as("gamma", "da1", "register", 5);
    as("beta", "da1", "reserve", 2, 2);
    const std::string row = "da1   scsi   ok      EXCLUSIVE_ACCESS  0x3  ";
    struct {
        json nodes;
        std::optional<uint32_t> id;
        const char* host;
        const char* cells;   // HOLDER and REGISTRANTS
        const char* node;    // the Node line
        const char* warning; // on standard error
    } rows[] = {
        {pair_nodes(), 2, "alpha", "0x2(n2*)  0x1(n1) 0x2(n2*) 0x5(?)\n", "Node:     2 (beta), key 0x2;  peer: 1, key 0x1\n", ""},
        {pair_nodes(), std::nullopt, "nowhere", "0x2(n2)  0x1(n1) 0x2(n2) 0x5(?)\n",
         "Node:     unknown (hostname does not match any nodes[].nodename; keys are shown unlabelled)\n",
         "warning: this host is not listed in nodes[].nodename; keys are shown unlabelled (use --id=N to label them)\n"},
        {json::array({{{"id", 1}, {"nodename", "alpha"}}, {{"id", 2}}, {{"id", 5}, {"nodename", "gamma"}}}),
         std::nullopt, "gamma", "0x2(n2)  0x1(n1) 0x2(n2) 0x5(n5*)\n", "Node:     5 (gamma), key 0x5\n",
         "warning: configuration lists 3 node(s); HA is a pair, peer is not deduced\n"},
        {json::array({{{"id", 1}}, {{"id", 2}}}), 1, "", "0x2(n2)  0x1(n1*) 0x2(n2) 0x5(?)\n",
         "Node:     1, key 0x1;  peer: 2, key 0x2\n", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.node);
        auto o = run(config({"da1"}, r.nodes), output_format::table, r.id, r.host);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.err, r.warning);
        EXPECT_NE(o.out.find(row + r.cells), std::string::npos) << o.out;
        EXPECT_NE(o.out.find(std::string("\n\n") + r.node), std::string::npos) << o.out;
        EXPECT_EQ(o.out.find("Our key:") == std::string::npos, !r.id && std::string(r.host) == "nowhere");
        const json j = json::parse(run(config({"da1"}, r.nodes), output_format::json, r.id, r.host).out);
        EXPECT_EQ(j["ha"]["node"].is_null(), !r.id && std::string(r.host) == "nowhere");
        EXPECT_EQ(j["ha"]["peer"].is_null(), r.nodes.size() != 2 || j["ha"]["node"].is_null());
    }
}

TEST_F(ha_report, quorum_types_and_protocol_by_name)
{
    for (const char* d : {"da1", "da2", "da3"})
        disk(d, "scsi");
    disk("xnvme7", "nvme");
    disk("daNVME", "scsi");
    for (const char* d : {"da1", "da2", "da3", "xnvme7", "daNVME"})
        as("alpha", d, "register", 1);
    as("beta", "da2", "register", 2);
    as("alpha", "da1", "reserve", 1, 2);
    as("beta", "da2", "reserve", 2, 2);
    as("alpha", "da3", "reserve", 1, 5);  // WRITE_EXCLUSIVE_AR
    as("alpha", "xnvme7", "reserve", 1, 2);

    auto o = run(config({"da1", "da2"}));
    EXPECT_NE(o.out.find("Quorum:   2 of 2 required -> not held by any node\n"), std::string::npos) << o.out;
    o = run(config({"da1", "xnvme7", "daNVME"}));
    EXPECT_NE(o.out.find("xnvme7  nvme "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("daNVME  scsi "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Quorum:   2 of 3 required -> HELD by 0x1(n1*)\n"), std::string::npos) << o.out;

    o = run(config({"da3", "da1"}));
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("da3   scsi   ok      WRITE_EXCLUSIVE_AR  0x1  all-registrants  0x1(n1*)\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("Reserved: 2 of 2 read (holder 0x1(n1*): 1), all-registrants on 1\n"), std::string::npos);
    EXPECT_NE(o.out.find("WARNING:  1 disk(s) hold a reservation of a type other than EXCLUSIVE_ACCESS (the type "
                         "used by HA fencing)\n"),
              std::string::npos);
    const json j = json::parse(run(config({"da3"}), output_format::json).out);
    EXPECT_EQ(j["ha"]["disks"][0]["reservation"]["holder_key"], nullptr);
    EXPECT_EQ(j["ha"]["disks"][0]["reservation"]["all_registrants"], true);
    EXPECT_EQ(j["ha"]["summary"]["unexpected_type"], 1);
}

TEST_F(ha_report, cells_and_pieces)
{
    using FreeBSD::reservation::resv_state;
    resv_state s;
    EXPECT_EQ(resv_type_text(s), "-");
    s.reserved = true;
    s.raw_type = 0x9;
    EXPECT_EQ(resv_type_text(s), "UNKNOWN(0x9)");
    s.type_known = true;
    s.type = 7;
    EXPECT_EQ(resv_type_text(s), "UNKNOWN");
    EXPECT_EQ(pad_right("abc", 5), "abc  ");
    EXPECT_EQ(pad_right("abcdef", 3), "abcdef");

    // A truncated list: the marker in the cell, the legend and a warning.
    ha_context ctx = ha_config_load(config({"da1"}), "alpha", std::nullopt);
    disk_report r{"da1", false, {}};
    r.state.ok = true;
    r.state.truncated = true;
    r.state.registrants = {{0x10, false, 0, false}};
    const auto table = ha_disk_report_table(ctx, {r}, ha_disk_summary(ctx, {r}));
    EXPECT_NE(table.find("0x10(?) ...\n"), std::string::npos) << table;
    EXPECT_NE(table.find(";  \"...\" = registrant list truncated\n"), std::string::npos);
    EXPECT_NE(table.find("WARNING:  1 disk(s) reported more registrants than fit the answer buffer; lists are "
                         "incomplete\n"),
              std::string::npos);
}

TEST_F(ha_report, configuration_refusals)
{
    const std::string no_ha =
        "configuration has no \"ha\" section: not an HA pair (this is the same check that enables HA in kelm)\n";
    const std::string empty = "\"ha.disks\" is empty: the fencing group has no disks\n";
    const std::string names = "\"ha.disks\" must be a list of device names\n";
    const std::pair<const char*, std::string> rows[] = {
        {R"({"nodes": []})", no_ha},
        {R"([1, 2])", no_ha},
        {R"({"ha": null})", empty},
        {R"({"ha": {}})", empty},
        {R"({"ha": {"disks": "da1"}})", empty},
        {R"({"ha": {"disks": []}})", empty},
        {R"({"ha": {"disks": ["da1", 3]}})", names},
    };
    for (const auto& [text, err] : rows) {
        auto o = run(json::parse(text));
        EXPECT_EQ(o.status, 13) << text;
        EXPECT_EQ(o.err, err) << text;
        EXPECT_EQ(o.out, "") << text;
    }
    // Node ids a key cannot carry end the command (the terminate handler, status 1).
    for (const char* id : {R"("1")", "1.5", "-1", "4294967296"})
        EXPECT_ANY_THROW(ha_config_load(json::parse(std::string(R"({"ha": {"disks": ["da1"]}, "nodes": [{"id": )") +
                                                    id + "}]}"),
                                        "", std::nullopt))
            << id;
    // Elements that are not node objects are skipped.
    auto ctx = ha_config_load(json::parse(R"({"ha": {"disks": ["d"]}, "nodes": [3, {"nodename": "x"}, {"id": 4}]})"),
                              "", std::nullopt);
    ASSERT_TRUE(ctx.ok);
    ASSERT_EQ(ctx.nodes.size(), 1u);
    EXPECT_FALSE(ctx.pair);
    // Not running as root only warns.
    disk("da1", "scsi");
    auto o = ha_disk_status_run(config({"da1"}), output_format::table, std::nullopt, "alpha", false);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "warning: not running as root; reservation commands will most likely be refused by the devices\n");
}

// A key's low 32 bits name its node and the high ones carry its voter's term:
// the node is found either way, the term shown, and keys of one node count
// together whatever term each carries.
TEST_F(ha_report, keys_with_a_term_name_their_node_and_show_the_term)
{
    disk("da1", "scsi");
    disk("da2", "scsi");
    as("alpha", "da1", "register", 0x700000001);
    as("beta", "da1", "register", 0x900000002);
    as("beta", "da1", "reserve", 0x900000002, 2);
    as("beta", "da2", "register", 2);
    as("beta", "da2", "reserve", 2, 2);
    auto o = run(config({"da1", "da2"}));
    EXPECT_NE(o.out.find("0x900000002(n2 t9)  0x700000001(n1* t7) 0x900000002(n2 t9)\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Quorum:   2 of 2 required -> HELD by 0x2(n2)\n"), std::string::npos) << o.out;
    const json j = json::parse(run(config({"da1", "da2"}), output_format::json).out);
    EXPECT_EQ(j["ha"]["disks"][0]["registrants"][0]["node"], 1);
    EXPECT_EQ(j["ha"]["disks"][0]["registrants"][0]["term"], 7);
    EXPECT_FALSE(j["ha"]["disks"][1]["registrants"][0].contains("term")) << "a key without a term";
    EXPECT_EQ(j["ha"]["summary"]["our_key_registered"], 1);
}

}  // namespace
}  // namespace cli
