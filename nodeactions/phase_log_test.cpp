// Phase-line formats, escaping, the usage line, and the common main's argument
// and configuration rules with every exit code.
#include "nodeactions/action_main.hpp"
#include "nodeactions/config_load.hpp"
#include "nodeactions/exit_codes.hpp"
#include "nodeactions/phase_log.hpp"
#include "nodeactions/poolrun_actions.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace nodeactions;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// The line without its time stamp and thread: "<level letter> <text>", from
// "[YYYY-MM-DD HH:MM:SS.mmm] [L] [tid] text".
std::vector<std::string> bodies(const std::string& out)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 1;
        // 25 characters of time stamp, " [L] [", then the thread id and "] ".
        size_t tid_end = line.find("] ", 30);
        bool ok = line.size() > 30 && line[0] == '[' && line[24] == ']' && line.compare(25, 2, " [") == 0 &&
                  line.compare(28, 3, "] [") == 0 && tid_end != std::string::npos;
        lines.push_back(ok ? std::string(1, line[27]) + " " + line.substr(tid_end + 2) : "? " + line);
    }
    return lines;
}

}  // namespace

TEST(phase_log, line_formats_with_and_without_context)
{
    setup_logger("svc");
    CaptureStdout();
    phase_info("pool-import", ctx({{"pool", "tank"}, {"health", "ONLINE"}}), "importing");
    phase_info("service", "", "begin");
    phase_error("pool-export", "pool=tank", "held by pid 7 (dd) /dev/zvol/tank/v");
    int rc = phase_failed("pool-export", "pool=tank", 30, "pool is busy");
    int rc2 = phase_failed("config", "", 12, "x");
    auto lines = bodies(GetCapturedStdout());
    EXPECT_EQ(rc, 30);
    EXPECT_EQ(rc2, 12);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "I phase=pool-import pool=tank health=ONLINE : importing");
    EXPECT_EQ(lines[1], "I phase=service : begin");
    EXPECT_EQ(lines[2], "E phase=pool-export pool=tank : held by pid 7 (dd) /dev/zvol/tank/v");
    EXPECT_EQ(lines[3], "E FAILED phase=pool-export pool=tank exit=30 : pool is busy");
    EXPECT_EQ(lines[4], "E FAILED phase=config exit=12 : x");
}

TEST(phase_log, inserted_values_cannot_forge_lines)
{
    setup_logger("node");
    CaptureStdout();
    phase_info("pool-import", ctx({{"pool", "a\nFAILED phase=x exit=0 : y"}}), "out\r\n done\t\x01\x7f");
    phase_failed("ctl-port", "", 50, "ctladm said:\nphase=node : done");
    auto out = GetCapturedStdout();
    auto lines = bodies(out);
    ASSERT_EQ(lines.size(), 2u) << out;
    EXPECT_EQ(lines[0], "I phase=pool-import pool=a\\nFAILED phase=x exit=0 : y : out\\r\\n done\\t\\x01\\x7f");
    EXPECT_EQ(lines[1], "E FAILED phase=ctl-port exit=50 : ctladm said:\\nphase=node : done");
    EXPECT_EQ(escape_value("plain text: ok"), "plain text: ok");
}

TEST(phase_log, usage_line_tolerates_a_missing_program_name)
{
    setup_logger("svc");
    CaptureStdout();
    print_usage(poolrun::usage, "/bin/poolrun", "poolrun");
    print_usage(poolrun::usage, nullptr, "poolrun");
    auto lines = bodies(GetCapturedStdout());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "E Usage: /bin/poolrun (start|stop|recovery) [/path/to/config.json] service_name");
    EXPECT_EQ(lines[1], "E Usage: poolrun (start|stop|recovery) [/path/to/config.json] service_name");
}

namespace {

class action_main_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-actionmain-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        ::unsetenv("KELM_EMUL_ROOT");
    }

    std::string write(const std::string& name, const std::string& text)
    {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    // Runs action_main as poolrun would; returns the status and the lines.
    int run(std::vector<std::string> args, std::vector<std::string>* lines = nullptr,
            std::function<int(const invocation&)> body = nullptr)
    {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (!body) {
            body = [this](const invocation& inv) {
                seen_ = inv.action + "|" + inv.config_path + "|" + inv.target + "|" + inv.doc.dump();
                return 0;
            };
        }
        const program_spec spec{"svc", "poolrun", poolrun::usage, {"start", "stop", "recovery"}, poolrun::wrong_action};
        CaptureStdout();
        int rc = action_main(static_cast<int>(args.size()), args.empty() ? nullptr : argv.data(), spec, body);
        auto out = bodies(GetCapturedStdout());
        if (lines != nullptr)
            *lines = out;
        return rc;
    }

    std::string dir_;
    std::string seen_;
};

}  // namespace

TEST_F(action_main_test, argument_counts_and_the_action_word)
{
    std::vector<std::string> lines;
    EXPECT_EQ(run({"poolrun", "start"}, &lines), exit_usage);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "E Usage: poolrun (start|stop|recovery) [/path/to/config.json] service_name");
    EXPECT_EQ(run({}, &lines), exit_usage);
    EXPECT_EQ(lines[0], "E Usage: poolrun (start|stop|recovery) [/path/to/config.json] service_name");

    // The action is judged before the count.
    EXPECT_EQ(run({"poolrun", "bogus", "a", "b", "c"}, &lines), exit_wrong_action);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "E FAILED phase=config action=bogus exit=10 : wrong action (should be one of 'start', 'stop' or 'recovery')");
    EXPECT_EQ(run({"poolrun", "stop", "a", "b", "c"}, &lines), exit_usage);
    EXPECT_EQ(lines[0].rfind("E Usage: ", 0), 0u);
    EXPECT_TRUE(seen_.empty());
}

TEST_F(action_main_test, configuration_path_rules_and_loading)
{
    std::string good = write("good.json", R"({"services": []})");
    EXPECT_EQ(run({"poolrun", "recovery", good, "svc1"}), 0);
    EXPECT_EQ(seen_, "recovery|" + good + "|svc1|{\"services\":[]}");

    // Three arguments: the fixed path, moved under the emulated root.
    ::setenv("KELM_EMUL_ROOT", dir_.c_str(), 1);
    std::filesystem::create_directories(dir_ + "/fs/usr/local/etc/kelm");
    write("fs/usr/local/etc/kelm/config.json", "[1]");
    EXPECT_EQ(run({"poolrun", "start", "svc2"}), 0);
    EXPECT_EQ(seen_, "start|" + dir_ + "/fs/usr/local/etc/kelm/config.json|svc2|[1]");

    // A symbolic link to a regular file counts.
    std::filesystem::create_symlink(good, dir_ + "/link.json");
    EXPECT_EQ(run({"poolrun", "stop", dir_ + "/link.json", "svc"}), 0);

    std::vector<std::string> lines;
    EXPECT_EQ(run({"poolrun", "start", dir_, "svc"}, &lines), exit_config_missing);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "E FAILED phase=config path=" + dir_ + " exit=11 : JSON file was not found");
    EXPECT_EQ(run({"poolrun", "start", dir_ + "/none.json", "svc"}, &lines), exit_config_missing);

    std::string bad = write("bad.json", "{\"a\": ");
    EXPECT_EQ(run({"poolrun", "start", bad, "svc"}, &lines), exit_config_parse);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("E FAILED phase=config path=" + bad + " exit=12 : can't parse config: [json.exception.parse_error", 0),
              0u)
        << lines[0];
}

TEST_F(action_main_test, mistyped_member_ends_in_one_config_line)
{
    std::string good = write("good.json", R"({"services": [{"name": "s", "pools": "tank"}]})");
    std::vector<std::string> lines;
    auto reader = [](const invocation& inv) {
        return static_cast<int>(inv.doc["services"][0]["pools"].get<std::vector<std::string>>().size());
    };
    EXPECT_EQ(run({"poolrun", "start", good, "s"}, &lines, reader), exit_config_invalid);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("E FAILED phase=config path=" + good + " exit=15 : bad config: ", 0), 0u) << lines[0];

    auto explicit_throw = [](const invocation&) -> int { throw config_invalid("\"ext_ips\" is not an array"); };
    EXPECT_EQ(run({"poolrun", "start", good, "s"}, &lines, explicit_throw), exit_config_invalid);
    EXPECT_EQ(lines[0], "E FAILED phase=config path=" + good + " exit=15 : bad config: \"ext_ips\" is not an array");
}

// Root reads a mode-000 file, so the unreadable case runs as nobody.
TEST_F(action_main_test, unreadable_file_cannot_be_opened)
{
    std::string path = write("secret.json", "{}");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(99);
        setup_logger("svc");
        ::_exit(load_config(path));
    }
    ::close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof(buf))) > 0;)
        text.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), exit_config_missing);
    auto lines = bodies(text);
    ASSERT_EQ(lines.size(), 1u) << text;
    EXPECT_EQ(lines[0], "E FAILED phase=config path=" + path + " exit=11 : can't open config");
}
