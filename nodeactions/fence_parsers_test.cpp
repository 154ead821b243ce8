// The port-list and session-list parsers over good and broken tool output.
#include "nodeactions/ctl_ports.hpp"
#include "nodeactions/iscsi_sessions.hpp"

#include <gtest/gtest.h>

using namespace nodeactions;

namespace {

std::string port(const std::string& start_tag, const std::string& body)
{
    return "<targ_port" + start_tag + ">\n" + body + "</targ_port>\n";
}

std::vector<ctl_port> parse_ok(const std::string& text)
{
    std::string err;
    auto ports = ctl_portlist_parse(text, &err);
    EXPECT_TRUE(ports) << err;
    return ports.value_or(std::vector<ctl_port>{});
}

TEST(ctl_portlist_parse, reads_ids_types_and_targets_sorted_by_id)
{
    auto ports = parse_ok("<ctlportlist>\n" + port(" id=\"5\"", "<port_type>16</port_type><target>t5</target>") +
                          port(" id=\"0\"", "\t<port_type>4</port_type>\n") +
                          port(" id=\"2\"", "<port_type>16</port_type>\n<target>\n  t2 \t\r\n</target>") +
                          "</ctlportlist>\n");
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].id, 0);
    EXPECT_EQ(ports[0].type, 4);
    EXPECT_EQ(ports[0].target, "");
    EXPECT_EQ(ports[1].id, 2);
    EXPECT_EQ(ports[1].target, "t2");  // blanks and line breaks around it dropped
    EXPECT_EQ(ports[2].id, 5);
    EXPECT_EQ(ports[2].type, 16);
}

TEST(ctl_portlist_parse, refuses_text_without_the_container)
{
    std::string err;
    EXPECT_FALSE(ctl_portlist_parse(port(" id=\"1\"", "<port_type>16</port_type>"), &err));
    EXPECT_EQ(err, "no <ctlportlist> in ctladm portlist output");
    EXPECT_FALSE(ctl_portlist_parse("", &err));
}

TEST(ctl_portlist_parse, drops_ports_without_a_readable_id)
{
    auto ports = parse_ok("<ctlportlist>" + port("", "<port_type>16</port_type><target>a</target>") +
                          port(" id=\"\"", "<port_type>16</port_type><target>b</target>") +
                          port(" id=\"x7\"", "<port_type>16</port_type><target>c</target>") +
                          port(" id=\"-3\"", "<port_type>16</port_type><target>d</target>") +
                          port(" id=\"99999999999999999999999\"", "<port_type>16</port_type><target>e</target>") +
                          port(" id=\"3\"", "<port_type>16</port_type><target>f</target>") + "</ctlportlist>");
    ASSERT_EQ(ports.size(), 1u);  // an id without digits is no id, not port 0
    EXPECT_EQ(ports[0].id, 3);
    EXPECT_EQ(ports[0].target, "f");
}

TEST(ctl_portlist_parse, keeps_a_port_without_type_but_never_finds_it)
{
    auto ports = parse_ok("<ctlportlist>" + port(" id=\"1\"", "<target>t</target>") +
                          port(" id=\"4\"", "<port_type>sixteen</port_type><target>t</target>") + "</ctlportlist>");
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].type, -1);
    EXPECT_EQ(ports[1].type, -1);
    EXPECT_FALSE(ctl_port_find(ports, "t"));
}

TEST(ctl_portlist_parse, stops_on_truncated_input)
{
    // A start tag cut off before its ">": the parse ends there, with what came before.
    auto ports = parse_ok("<ctlportlist>" + port(" id=\"1\"", "<port_type>16</port_type><target>t</target>") +
                          "<targ_port id=\"2\"");
    ASSERT_EQ(ports.size(), 1u);
    // A block cut off before its end tag runs to the end of the text.
    ports = parse_ok("<ctlportlist><targ_port id=\"7\"><port_type>16</port_type><target>u</target>");
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].id, 7);
    EXPECT_EQ(ports[0].target, "u");
    ports = parse_ok("<ctlportlist><targ_port");
    EXPECT_TRUE(ports.empty());
    // An element without its closing tag is absent.
    ports = parse_ok("<ctlportlist><targ_port id=\"8\"><port_type>16</port_type><target>u</targ_port>");
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].target, "");
}

TEST(ctl_port_find, picks_the_lowest_iscsi_port_with_the_exact_target)
{
    std::vector<ctl_port> ports = parse_ok(
        "<ctlportlist>" + port(" id=\"5\"", "<port_type>16</port_type><target>t</target>") +
        port(" id=\"1\"", "<port_type>4</port_type><target>t</target>") +
        port(" id=\"2\"", "<port_type>16</port_type><target>t</target>") +
        port(" id=\"3\"", "<port_type>16</port_type><target>t2</target>") + "</ctlportlist>");
    auto found = ctl_port_find(ports, "t");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, 2);
    EXPECT_EQ(ctl_port_find(ports, "t2")->id, 3);
    EXPECT_FALSE(ctl_port_find(ports, "T"));
    EXPECT_FALSE(ctl_port_find(ports, ""));
    EXPECT_FALSE(ctl_port_find(parse_ok("<ctlportlist><targ_port id=\"1\"><port_type>16</port_type></targ_port>"), ""));
}

TEST(xml_tag_text, needs_both_tags)
{
    std::string out = "unchanged";
    EXPECT_FALSE(xml_tag_text("<a>x", "a", &out));
    EXPECT_FALSE(xml_tag_text("x</a>", "a", &out));
    EXPECT_FALSE(xml_tag_text("</a>x<a>", "a", &out));
    EXPECT_EQ(out, "unchanged");
    EXPECT_TRUE(xml_tag_text("<a> \n</a>", "a", &out));
    EXPECT_EQ(out, "");
}

std::optional<std::vector<iscsi_session>> sessions(const std::string& text, std::string* err)
{
    return iscsi_sessions_parse(text, err);
}

TEST(iscsi_sessions_parse, reads_sessions_in_order)
{
    std::string err;
    auto list = sessions(R"({"iscsictl": {"session": [
        {"state": "Connected", "target": {"name": "iqn.a", "portal": "127.0.0.2"}, "devices": {"lun": [{}, {}]}},
        {"state": "Connecting", "target": {"name": "iqn.b", "portal": "127.0.0.3"}}
    ]}})",
                         &err);
    ASSERT_TRUE(list) << err;
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ((*list)[0].target_name, "iqn.a");
    EXPECT_EQ((*list)[0].portal, "127.0.0.2");
    EXPECT_EQ((*list)[0].state, "Connected");
    EXPECT_EQ((*list)[0].lun_count, 2u);
    EXPECT_EQ((*list)[1].lun_count, 0u);
    EXPECT_EQ(iscsi_session_find(*list, "127.0.0.3")->target_name, "iqn.b");
    EXPECT_FALSE(iscsi_session_find(*list, "127.0.0.4"));
}

TEST(iscsi_sessions_parse, takes_only_values_of_the_right_shape)
{
    std::string err;
    auto list = sessions(R"({"iscsictl": {"session": [
        7, "x", null,
        {"state": 1, "target": "127.0.0.2", "devices": {"lun": 3}},
        {"state": "Connected", "target": {"name": ["n"], "portal": 5}, "devices": [1, 2]},
        {"target": {"portal": "127.0.0.9"}, "devices": {"lun": {"0": 1}}}
    ]}})",
                         &err);
    ASSERT_TRUE(list) << err;
    ASSERT_EQ(list->size(), 6u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ((*list)[i].portal, "");
        EXPECT_EQ((*list)[i].state, "");
        EXPECT_EQ((*list)[i].lun_count, 0u);
    }
    EXPECT_EQ((*list)[4].state, "Connected");
    EXPECT_EQ((*list)[4].target_name, "");
    EXPECT_EQ((*list)[5].portal, "127.0.0.9");
    EXPECT_EQ((*list)[5].lun_count, 0u);
    // Sessions without a portal never stand for a node, even one without an address.
    EXPECT_FALSE(iscsi_session_find(*list, ""));
}

TEST(iscsi_sessions_parse, empty_lists_and_refusals)
{
    std::string err;
    EXPECT_TRUE(sessions(R"({"iscsictl": {}})", &err)->empty());
    EXPECT_TRUE(sessions(R"({"iscsictl": 3})", &err)->empty());
    EXPECT_TRUE(sessions(R"({"iscsictl": {"session": []}})", &err)->empty());

    EXPECT_FALSE(sessions(R"({"iscsictl": {"session": {"state": "Connected"}}})", &err));
    EXPECT_EQ(err, "'session' is not an array");
    EXPECT_FALSE(sessions(R"({"other": {}})", &err));
    EXPECT_EQ(err, "no 'iscsictl' container in json");
    EXPECT_FALSE(sessions(R"([{"iscsictl": {}}])", &err));
    EXPECT_EQ(err, "no 'iscsictl' container in json");
    EXPECT_FALSE(sessions(R"({"iscsictl": {"session": [)", &err));
    EXPECT_EQ(err.rfind("can't parse json: ", 0), 0u) << err;
    EXPECT_FALSE(sessions("", &err));
    EXPECT_EQ(err.rfind("can't parse json: ", 0), 0u) << err;
    // A number beyond a double is the library's range error, not a syntax error:
    // it must come back as a refusal too, never as an exception.
    EXPECT_FALSE(sessions(R"({"iscsictl": {"session": [{"state": 1e999}]}})", &err));
    EXPECT_EQ(err.rfind("can't parse json: ", 0), 0u) << err;
}

}  // namespace
