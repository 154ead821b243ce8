// Program runs: exit status, signal deaths, the FAILED line, the signal state a
// program starts with, and a background child that keeps the output open.
#include "runner/program.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <chrono>

using runner::program_result;

namespace {

program_result sh(const std::string& script)
{
    return runner::run_program({"/bin/sh", "-c", script});
}

std::string status_field(const std::string& status, const std::string& key)
{
    auto pos = status.find(key + ":\t");
    if (pos == std::string::npos)
        return "?";
    auto end = status.find('\n', pos);
    return status.substr(pos + key.size() + 2, end - pos - key.size() - 2);
}

}  // namespace

TEST(RunnerProgram, ReportsExitStatusAndOutput)
{
    auto r = sh("echo one; echo two >&2; exit 0");
    EXPECT_EQ(r.ended, program_result::how::exited);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.output_tail, "one\ntwo\n");
    r = sh("exit 13");
    EXPECT_EQ(r.ended, program_result::how::exited);
    EXPECT_EQ(r.code, 13);
    r = sh("kill -KILL $$");
    EXPECT_EQ(r.ended, program_result::how::signalled);
    EXPECT_EQ(r.code, SIGKILL);
}

TEST(RunnerProgram, MissingProgramDoesNotStart)
{
    auto r = runner::run_program({"/nonexistent/poolrun", "start"});
    EXPECT_EQ(r.ended, program_result::how::not_started);
    EXPECT_NE(r.start_error.find("/nonexistent/poolrun"), std::string::npos);
    EXPECT_EQ(runner::run_program({}).ended, program_result::how::not_started);
}

TEST(RunnerProgram, KeepsOnlyTheTailOfLongOutput)
{
    auto r = sh("head -c 200000 /dev/zero | tr '\\0' x; echo; echo 'FAILED phase=x exit=1 : at the end'; exit 1");
    EXPECT_EQ(r.output_tail.size(), runner::output_tail_bytes);
    EXPECT_EQ(runner::last_failed_line(r.output_tail), "FAILED phase=x exit=1 : at the end");
}

TEST(RunnerProgram, LastFailedLineDropsTheLogPrefix)
{
    std::string out =
        "[2026-01-01 00:00:00.000] [E] [42] FAILED phase=pool-import pool=p1 exit=20 : first\n"
        "[2026-01-01 00:00:00.001] [I] [42] phase=service : cleanup\n"
        "[2026-01-01 00:00:00.002] [E] [42] FAILED phase=pool-export pool=p2 exit=30 : FAILED twice\r\n"
        "trailing line\n";
    EXPECT_EQ(runner::last_failed_line(out), "FAILED phase=pool-export pool=p2 exit=30 : FAILED twice");
    EXPECT_EQ(runner::last_failed_line("no failure here\n"), "");
    EXPECT_EQ(runner::last_failed_line("FAILED without newline"), "FAILED without newline");
}

TEST(RunnerProgram, StartsWithEmptyMaskAndDefaultDispositions)
{
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    auto prev = std::signal(SIGUSR1, SIG_IGN);
    auto prev_hup = std::signal(SIGHUP, SIG_IGN);
    auto r = runner::run_program({"/bin/cat", "/proc/self/status"});
    std::signal(SIGHUP, prev_hup);
    std::signal(SIGUSR1, prev);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(status_field(r.output_tail, "SigBlk"), "0000000000000000");
    EXPECT_EQ(status_field(r.output_tail, "SigIgn"), "0000000000000000");
}

TEST(RunnerProgram, ReturnsWhenTheProgramExitsEvenIfABackgroundChildHoldsTheOutput)
{
    auto t0 = std::chrono::steady_clock::now();
    auto r = sh("(sleep 20; echo late) & echo started; exit 3");
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(took, 5.0);
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.output_tail, "started\n");
}
