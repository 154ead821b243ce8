// Command log on real files: cache after reopen/append/truncate, hostile texts and
// 64-bit numbers, persisted state, durability across kill -9, one opener per file.
#include "daemon/core/db_lock.hpp"
#include "daemon/core/log.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace raft {
namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelm-log-test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/kelm.db";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::unique_ptr<log_sqlite3_t> open_log()
    {
        auto log = std::make_unique<log_sqlite3_t>(&path_);
        log->open();
        return log;
    }

    // A second, independent connection, as an operator's sqlite3 tool would have.
    int64_t scalar(const std::string& sql)
    {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        int64_t v = -1;
        if (sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return v;
    }

    void raw_exec(const std::string& sql)
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
    }

    static void append_terms(log_t& log, std::initializer_list<uint64_t> terms)
    {
        uint64_t idx = log.last_index();
        for (uint64_t t : terms) {
            ++idx;
            log_entry_t e = log_entry_init(idx, t, "key" + std::to_string(idx), "value" + std::to_string(idx));
            log.append(e);
        }
    }

    std::string dir_;
    std::string path_;
};

TEST_F(LogTest, NewDatabaseIsEmptyAndCreatesTablesAndIndex)
{
    auto log = open_log();
    EXPECT_EQ(log->last_index(), 0u);
    EXPECT_EQ(log->last_term(), 0u);
    EXPECT_EQ(log->prev_index(), 0u);
    EXPECT_EQ(log->prev_term(), 0u);
    EXPECT_TRUE(log->exists(0, 0));
    EXPECT_FALSE(log->exists(1, 0));
    log_entry_t zero = log_entry_init(0, 0, "", "");
    log_entry_t e = log->get(0);
    EXPECT_EQ(std::memcmp(&e, &zero, sizeof e), 0);
    e = log->get(7);
    EXPECT_EQ(std::memcmp(&e, &zero, sizeof e), 0);
    uint64_t t = 9, la = 9;
    uint32_t v = 9;
    log->load_state(&t, &v, &la);
    EXPECT_EQ(t, 0u);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(la, 0u);
    EXPECT_EQ(scalar("select count(*) from sqlite_master where type='index' and tbl_name='cmdlog'"), 1);
    EXPECT_EQ(scalar("select count(*) from raft"), 0);
}

TEST_F(LogTest, ReopenFindsTheNewestTwoEntries)
{
    {
        auto log = open_log();
        append_terms(*log, {1});
    }
    {
        auto log = open_log();
        EXPECT_EQ(log->last_index(), 1u);
        EXPECT_EQ(log->last_term(), 1u);
        EXPECT_EQ(log->prev_index(), 0u);
        EXPECT_EQ(log->prev_term(), 0u);
        append_terms(*log, {1, 2, 2, 3});
    }
    auto log = open_log();
    EXPECT_EQ(log->last_index(), 5u);
    EXPECT_EQ(log->last_term(), 3u);
    EXPECT_EQ(log->prev_index(), 4u);
    EXPECT_EQ(log->prev_term(), 2u);
    EXPECT_TRUE(log->exists(2, 1));
    EXPECT_FALSE(log->exists(2, 2));
    log_entry_t e = log->get(3);
    EXPECT_EQ(e.index, 3u);
    EXPECT_EQ(e.term, 2u);
    EXPECT_STREQ(e.key, "key3");
    EXPECT_STREQ(e.value, "value3");
}

TEST_F(LogTest, AppendMovesTheCachedPairs)
{
    auto log = open_log();
    append_terms(*log, {4, 6});
    EXPECT_EQ(log->prev_index(), 1u);
    EXPECT_EQ(log->prev_term(), 4u);
    EXPECT_EQ(log->last_index(), 2u);
    EXPECT_EQ(log->last_term(), 6u);
}

TEST_F(LogTest, TruncateDeletesTheTailAndReloadsTheCache)
{
    auto log = open_log();
    append_terms(*log, {1, 1, 2, 2, 3});
    log->truncate(3);
    EXPECT_EQ(scalar("select count(*) from cmdlog"), 2);
    EXPECT_EQ(scalar("select max(idx) from cmdlog"), 2);
    EXPECT_EQ(log->last_index(), 2u);
    EXPECT_EQ(log->last_term(), 1u);
    EXPECT_EQ(log->prev_index(), 1u);
    EXPECT_EQ(log->prev_term(), 1u);
    EXPECT_FALSE(log->exists(5, 3));  // the old last entry is gone
    EXPECT_FALSE(log->exists(4, 2));  // and so is the old prev
    EXPECT_EQ(log->get(4).index, 0u);

    // The follower's pattern: truncate right before the replacing append.
    log_entry_t e = log_entry_init(3, 4, "new", "entry");
    log->append(e);
    EXPECT_EQ(log->last_index(), 3u);
    EXPECT_EQ(log->last_term(), 4u);
    EXPECT_EQ(log->prev_index(), 2u);
    EXPECT_EQ(log->prev_term(), 1u);
    EXPECT_TRUE(log->exists(3, 4));
    EXPECT_FALSE(log->exists(3, 2));
    EXPECT_STREQ(log->get(3).key, "new");

    log->truncate(1);
    EXPECT_EQ(log->last_index(), 0u);
    EXPECT_EQ(log->prev_index(), 0u);
    EXPECT_EQ(scalar("select count(*) from cmdlog"), 0);
}

TEST_F(LogTest, HostileTextsAndWideNumbersRoundTrip)
{
    const std::string quote_key = "svc-o'brien";
    const std::string injection = "x'); delete from cmdlog; --";
    const std::string non_utf8 = "\xff\xfe\x80 latin1 caf\xe9";
    const uint64_t big_index = (uint64_t{1} << 31) + 5;
    const uint64_t big_term = uint64_t{1} << 40;
    {
        auto log = open_log();
        log->append(log_entry_init(1, 1, quote_key, injection));
        log->append(log_entry_init(2, 1, non_utf8, non_utf8));
        log->append(log_entry_init(3, 1, std::string(127, 'k'), std::string(255, 'v')));
        log->append(log_entry_init(big_index, big_term, "big", "numbers"));
        log->append(log_entry_init(big_index + 1, big_term, "a", "b"));
        log->append(log_entry_init(big_index + 2, big_term + 1, "c", "d"));
    }
    EXPECT_EQ(scalar("select count(*) from cmdlog"), 6);
    auto log = open_log();
    EXPECT_EQ(log->last_index(), big_index + 2);
    EXPECT_EQ(log->last_term(), big_term + 1);
    EXPECT_EQ(log->prev_index(), big_index + 1);
    EXPECT_EQ(log->prev_term(), big_term);
    EXPECT_TRUE(log->exists(big_index, big_term));  // not cached: answered by SQL
    EXPECT_FALSE(log->exists(big_index, big_term & 0xffffffffu));
    log_entry_t e = log->get(big_index);
    EXPECT_EQ(e.term, big_term);
    EXPECT_STREQ(e.key, "big");
    e = log->get(1);
    EXPECT_EQ(std::string(e.key), quote_key);
    EXPECT_EQ(std::string(e.value), injection);
    e = log->get(2);
    EXPECT_EQ(std::string(e.key), non_utf8);
    EXPECT_EQ(std::string(e.value), non_utf8);
    e = log->get(3);
    EXPECT_EQ(std::string(e.key), std::string(127, 'k'));
    EXPECT_EQ(e.key[127], '\0');
    EXPECT_EQ(std::string(e.value), std::string(255, 'v'));
    EXPECT_EQ(e.value[255], '\0');
}

TEST_F(LogTest, UnterminatedFieldsAreStoredCutToTheirNul)
{
    auto log = open_log();
    log_entry_t e = log_entry_init(1, 1, "", "");
    std::memset(e.key, 'k', KEY_SIZE);  // a malformed record from the wire
    std::memset(e.value, 'v', VALUE_SIZE);
    log->append(e);
    EXPECT_EQ(scalar("select length(key) from cmdlog"), 127);
    EXPECT_EQ(scalar("select length(value) from cmdlog"), 255);
}

TEST_F(LogTest, OverlongRowsWrittenByOtherMeansAreCut)
{
    open_log().reset();
    raw_exec("insert into cmdlog values(1, 1, '" + std::string(300, 'k') + "', '" + std::string(600, 'v') + "')");
    auto log = open_log();
    log_entry_t e = log->get(1);
    EXPECT_EQ(std::strlen(e.key), KEY_SIZE - 1);
    EXPECT_EQ(std::strlen(e.value), VALUE_SIZE - 1);
}

TEST_F(LogTest, PersistedStateSurvivesARestart)
{
    {
        auto log = open_log();
        log->save_state(7, 2, 10);
        uint64_t t, la;
        uint32_t v;
        log->load_state(&t, &v, &la);
        EXPECT_EQ(t, 7u);
        EXPECT_EQ(v, 2u);
        EXPECT_EQ(la, 10u);
        log->save_state(uint64_t{1} << 40, 0xffffffffu, (uint64_t{1} << 33) + 1);
    }
    auto log = open_log();
    uint64_t t, la;
    uint32_t v;
    log->load_state(&t, &v, &la);
    EXPECT_EQ(t, uint64_t{1} << 40);
    EXPECT_EQ(v, 0xffffffffu);
    EXPECT_EQ(la, (uint64_t{1} << 33) + 1);
    EXPECT_EQ(scalar("select count(*) from raft"), 1);
}

TEST_F(LogTest, FileWithoutTheIdxIndexStaysValid)
{
    raw_exec("CREATE TABLE cmdlog (idx INTEGER NOT NULL,term INT NOT NULL, key TEXT, value TEXT);"
             "insert into cmdlog values(1, 1, 'a', 'b');"
             "insert into cmdlog values(2, 3, 'c', 'd');");
    auto log = open_log();
    EXPECT_EQ(log->last_index(), 2u);
    EXPECT_EQ(log->last_term(), 3u);
    EXPECT_EQ(log->prev_index(), 1u);
    EXPECT_EQ(scalar("select count(*) from sqlite_master where name='cmdlog_idx'"), 1);
}

TEST_F(LogTest, OthersCanReadWhileTheLogIsOpen)
{
    auto log = open_log();
    append_terms(*log, {1, 1, 1});
    EXPECT_EQ(scalar("select count(*) from cmdlog"), 3);
    append_terms(*log, {2});
    EXPECT_EQ(scalar("select term from cmdlog where idx = 4"), 2);
}

TEST_F(LogTest, EntryOutlivesKillNineRightAfterAppend)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        log_sqlite3_t log(&path_);
        log.open();
        log.append(log_entry_init(1, 5, "survives", "kill -9"));
        char c = 'x';
        if (::write(ready[1], &c, 1) != 1)
            ::_exit(3);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto log = open_log();  // the lock died with the child
    EXPECT_EQ(log->last_index(), 1u);
    EXPECT_EQ(log->last_term(), 5u);
    EXPECT_STREQ(log->get(1).value, "kill -9");
}

TEST_F(LogTest, SecondOpenerIsRefused)
{
    {
        db_lock first;
        std::string why;
        ASSERT_TRUE(first.acquire(path_, &why)) << why;
        db_lock second;
        EXPECT_FALSE(second.acquire(path_, &why));
        EXPECT_NE(why.find("is in use by another kelm"), std::string::npos) << why;
        EXPECT_FALSE(second.held());
        EXPECT_TRUE(std::filesystem::exists(path_ + ".lock"));
    }

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto log = open_log();
    EXPECT_EXIT(
        {
            log_sqlite3_t other(&path_);
            other.open();
        },
        ::testing::ExitedWithCode(1), "");
}

TEST_F(LogTest, LockIsFreedWithItsHolder)
{
    std::string why;
    {
        db_lock first;
        ASSERT_TRUE(first.acquire(path_, &why));
    }
    db_lock again;
    EXPECT_TRUE(again.acquire(path_, &why)) << why;
}

TEST_F(LogTest, UnopenableDatabaseEndsTheProcess)
{
    std::string bad = dir_ + "/no/such/dir/kelm.db";
    EXPECT_EXIT(
        {
            log_sqlite3_t log(&bad);
            log.open();
        },
        ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace raft
