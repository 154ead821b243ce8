// The Runner's methods with a recording stand-in for the programs: command lines,
// reply shapes, and every kind of bad argument.
#include "runner/operations.hpp"

#include "rpc/client.hpp"
#include "rpc/server.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using nlohmann::json;
using runner::program_result;

namespace {

// A bin directory holding executable placeholders for the programs named.
struct bin_dir {
    std::string path;
    explicit bin_dir(std::initializer_list<const char*> programs)
    {
        char tmpl[] = "/tmp/kelm-runner-test-XXXXXX";
        path = ::mkdtemp(tmpl);
        for (const char* p : programs) {
            std::string file = path + "/" + p;
            std::ofstream(file) << "#!/bin/sh\n";
            ::chmod(file.c_str(), 0755);
        }
    }
    ~bin_dir() { std::filesystem::remove_all(path); }
};

struct fixture {
    bin_dir bin{"poolrun", "nodefence"};
    std::vector<std::vector<std::string>> calls;
    program_result next;
    runner::operations ops{{"/etc/cluster.json", bin.path}, [this](const std::vector<std::string>& argv) {
                               calls.push_back(argv);
                               return next;
                           }};

    fixture()
    {
        next.ended = program_result::how::exited;
        next.code = 0;
    }
};

// A params array holding the given items.
struct params {
    msgpack::object_handle oh;
    template <typename... T>
    explicit params(const T&... items)
    {
        msgpack::sbuffer b;
        msgpack::packer<msgpack::sbuffer> pk(b);
        pk.pack_array(sizeof...(T));
        (pk.pack(items), ...);
        oh = msgpack::unpack(b.data(), b.size());
    }
    const msgpack::object& get() const { return oh.get(); }
};

json reply(const std::string& text)
{
    return json::parse(text);
}

}  // namespace

TEST(RunnerOperations, PingAnswersPong)
{
    fixture f;
    EXPECT_EQ(f.ops.ping(params().get()), "{\"response\":\"pong\"}");
    EXPECT_EQ(f.ops.ping(params(std::string("{}")).get()), "{\"response\":\"pong\"}");
}

TEST(RunnerOperations, ServiceRunsPoolrunWithConfigAndName)
{
    fixture f;
    for (std::string cmd : {"start", "stop", "recovery"}) {
        f.calls.clear();
        std::string out = f.ops.service(params(json{{"cmd", cmd}, {"serviceName", "svc-é"}}.dump()).get());
        EXPECT_EQ(out, "{\"response\":\"ok\"}");
        ASSERT_EQ(f.calls.size(), 1u);
        EXPECT_EQ(f.calls[0], (std::vector<std::string>{f.bin.path + "/poolrun", cmd, "/etc/cluster.json", "svc-é"}));
    }
}

TEST(RunnerOperations, FenceNodeRunsNodefence)
{
    fixture f;
    EXPECT_EQ(f.ops.fence_node(params(std::string("{\"cmd\":\"on\",\"node\":3}")).get()), "{\"response\":\"ok\"}");
    EXPECT_EQ(f.ops.fence_node(params(std::string("{\"cmd\":\"off\",\"node\":12}")).get()), "{\"response\":\"ok\"}");
    ASSERT_EQ(f.calls.size(), 2u);
    EXPECT_EQ(f.calls[0], (std::vector<std::string>{f.bin.path + "/nodefence", "fence-on", "/etc/cluster.json", "3"}));
    EXPECT_EQ(f.calls[1][1], "fence-off");
    EXPECT_EQ(f.calls[1][3], "12");
}

TEST(RunnerOperations, FailedProgramsGiveTheirLastFailedLine)
{
    fixture f;
    auto start = params(std::string("{\"cmd\":\"start\",\"serviceName\":\"s1\"}"));
    f.next.code = 20;
    f.next.output_tail = "[t] [E] [1] FAILED phase=pool-import pool=p1 exit=29 : not importable\n"
                         "[t] [E] [1] FAILED phase=pool-import pool=p1 exit=20 : import failed\n";
    EXPECT_EQ(reply(f.ops.service(start.get())),
              (json{{"error", "EPROGRAM"}, {"errorMessage", "FAILED phase=pool-import pool=p1 exit=20 : import failed"}}));
    f.next.output_tail = "no failure line\n";
    f.next.code = 13;
    EXPECT_EQ(reply(f.ops.service(start.get()))["errorMessage"], "poolrun exited with status 13");
    f.next.ended = program_result::how::signalled;
    f.next.code = 9;
    EXPECT_EQ(reply(f.ops.service(start.get())),
              (json{{"error", "EPROGRAM"}, {"errorMessage", "poolrun killed by signal 9"}}));
    f.next.ended = program_result::how::not_started;
    f.next.start_error = "can't run poolrun: Permission denied";
    EXPECT_EQ(reply(f.ops.service(start.get()))["error"], "ESPAWN");
    // Output that is not UTF-8 still gives a valid JSON reply.
    f.next.ended = program_result::how::exited;
    f.next.code = 1;
    f.next.output_tail = "FAILED phase=x exit=1 : bad \xff byte\n";
    EXPECT_EQ(reply(f.ops.service(start.get()))["errorMessage"], "FAILED phase=x exit=1 : bad \xEF\xBF\xBD byte");
}

TEST(RunnerOperations, ClusterManagementNeedsNoProgram)
{
    fixture f;
    for (std::string cmd : {"start", "stop"})
        EXPECT_EQ(f.ops.service(params(json{{"cmd", cmd}, {"serviceName", "$cluster-management"}}.dump()).get()),
                  "{\"response\":\"ok\"}");
    EXPECT_EQ(reply(f.ops.service(
                  params(std::string("{\"cmd\":\"recovery\",\"serviceName\":\"$cluster-management\"}")).get()))["error"],
              "EINVAL");
    EXPECT_TRUE(f.calls.empty());
}

TEST(RunnerOperations, BadArgumentsAreRefusedWithoutRunningAnything)
{
    fixture f;
    const std::vector<std::pair<params, std::string>> service_cases = [] {
        std::vector<std::pair<params, std::string>> v;
        v.emplace_back(params(), "expected one argument, a JSON object as text");
        v.emplace_back(params(std::string("{}"), std::string("{}")), "expected one argument, a JSON object as text");
        v.emplace_back(params(5), "the argument is not a text");
        v.emplace_back(params(std::string("{not json")), "the argument is not valid JSON");
        v.emplace_back(params(std::string("[\"start\"]")), "the argument is not a JSON object");
        v.emplace_back(params(std::string("{\"serviceName\":\"s\"}")),
                       "\"cmd\" must be one of 'start', 'stop' or 'recovery'");
        v.emplace_back(params(std::string("{\"cmd\":\"restart\",\"serviceName\":\"s\"}")),
                       "\"cmd\" must be one of 'start', 'stop' or 'recovery'");
        v.emplace_back(params(std::string("{\"cmd\":1,\"serviceName\":\"s\"}")),
                       "\"cmd\" must be one of 'start', 'stop' or 'recovery'");
        v.emplace_back(params(std::string("{\"cmd\":\"start\"}")), "\"serviceName\" must be a non-empty text");
        v.emplace_back(params(std::string("{\"cmd\":\"start\",\"serviceName\":\"\"}")),
                       "\"serviceName\" must be a non-empty text");
        v.emplace_back(params(std::string("{\"cmd\":\"start\",\"serviceName\":[\"s\"]}")),
                       "\"serviceName\" must be a non-empty text");
        v.emplace_back(params(std::string("{\"cmd\":\"start\",\"serviceName\":\"a\\u0000b\"}")),
                       "\"serviceName\" holds a NUL byte");
        return v;
    }();
    for (const auto& [p, message] : service_cases)
        EXPECT_EQ(reply(f.ops.service(p.get())), (json{{"error", "EINVAL"}, {"errorMessage", message}}));
    for (std::string arg : {"{\"cmd\":\"on\"}", "{\"cmd\":\"on\",\"node\":-1}", "{\"cmd\":\"on\",\"node\":1.5}",
                            "{\"cmd\":\"on\",\"node\":\"3\"}", "{\"cmd\":\"fence-on\",\"node\":3}", "{\"node\":3}"})
        EXPECT_EQ(reply(f.ops.fence_node(params(arg).get()))["error"], "EINVAL") << arg;
    EXPECT_TRUE(f.calls.empty());
}

TEST(RunnerOperations, MissingProgramIsAClearError)
{
    bin_dir empty{};
    int runs = 0;
    runner::operations ops({"/etc/c.json", empty.path}, [&](const std::vector<std::string>&) {
        ++runs;
        return program_result{};
    });
    EXPECT_EQ(reply(ops.service(params(std::string("{\"cmd\":\"start\",\"serviceName\":\"s\"}")).get())),
              (json{{"error", "ENOPROG"}, {"errorMessage", "poolrun is not installed: " + empty.path + "/poolrun"}}));
    EXPECT_EQ(reply(ops.fence_node(params(std::string("{\"cmd\":\"off\",\"node\":2}")).get()))["error"], "ENOPROG");
    EXPECT_EQ(runs, 0);
}

TEST(RunnerOperations, ServedOverRpcTheReplyIsAStringHoldingJson)
{
    fixture f;
    rpc::server srv("127.0.0.1", 0);
    f.ops.bind_to(srv);
    srv.start();
    rpc::client c("127.0.0.1", srv.port());
    ASSERT_TRUE(c.connect());
    EXPECT_EQ(c.call("ping").get().as<std::string>(), "{\"response\":\"pong\"}");
    EXPECT_EQ(c.call("service", std::string("{\"cmd\":\"stop\",\"serviceName\":\"s2\"}")).get().as<std::string>(),
              "{\"response\":\"ok\"}");
    EXPECT_THROW(c.call("reboot"), rpc::rpc_error);
    srv.stop();
}
