// Unit tests: INI line rules and the file read.
#include "hooks/notify/ini_file.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using notify::ini_value;
using notify::parse_ini;

TEST(IniParse, BlanksAroundEqualsAndInsideSectionBrackets)
{
    auto d = parse_ini("[ AMQP ]\nHost = 10.0.0.5\n\tPort\t=\t5672 \n");
    EXPECT_EQ(ini_value(d, "AMQP", "Host"), "10.0.0.5");
    EXPECT_EQ(ini_value(d, "AMQP", "Port"), "5672");
    EXPECT_EQ(d.count(" AMQP "), 0u);
}

TEST(IniParse, OnlyWholeLineCommentsAreSkipped)
{
    auto d = parse_ini("[Event]\n# User = commented\n  ; Password = x\nUser = ops # not a comment\n");
    EXPECT_EQ(ini_value(d, "Event", "User"), "ops # not a comment");
    EXPECT_EQ(ini_value(d, "Event", "Password"), "");
    EXPECT_EQ(d["Event"].size(), 1u);
}

TEST(IniParse, LastOccurrenceOfAKeyWins)
{
    auto d = parse_ini("[AMQP]\nHost = a\nHost = b\n[Event]\nUser=u\n[AMQP]\nHost = c\n");
    EXPECT_EQ(ini_value(d, "AMQP", "Host"), "c");
    EXPECT_EQ(ini_value(d, "Event", "User"), "u");
}

TEST(IniParse, KeysBeforeAnySectionBelongToTheEmptySection)
{
    auto d = parse_ini("Host = early\n[AMQP]\nPort = 1\n");
    EXPECT_EQ(ini_value(d, "", "Host"), "early");
    EXPECT_EQ(ini_value(d, "AMQP", "Host"), "");
    EXPECT_EQ(ini_value(d, "AMQP", "Port"), "1");
}

TEST(IniParse, CrLfLinesAndNoFinalNewline)
{
    auto d = parse_ini("[AMQP]\r\nHost = h\r\nPort = 5672");
    EXPECT_EQ(ini_value(d, "AMQP", "Host"), "h");
    EXPECT_EQ(ini_value(d, "AMQP", "Port"), "5672");
}

TEST(IniParse, ValueKeepsEverythingAfterTheFirstEquals)
{
    auto d = parse_ini("[Event]\nPassword = a=b = c\nUser==x\n= orphan\n");
    EXPECT_EQ(ini_value(d, "Event", "Password"), "a=b = c");
    EXPECT_EQ(ini_value(d, "Event", "User"), "=x");
    EXPECT_EQ(ini_value(d, "Event", ""), "orphan");
}

TEST(IniParse, LinesWithoutEqualsAndBrokenHeadersAreNotSections)
{
    auto d = parse_ini("[AMQP]\njust words\n[Event\nHost = h\n[\n]\n[]\nPort = 2\n");
    // "[Event" is neither a header nor a key line: the section stays AMQP.
    EXPECT_EQ(ini_value(d, "AMQP", "Host"), "h");
    EXPECT_EQ(ini_value(d, "Event", "Host"), "");
    // "[]" opens the empty section.
    EXPECT_EQ(ini_value(d, "", "Port"), "2");
    EXPECT_EQ(d["AMQP"].size(), 1u);
}

TEST(IniParse, EmptyValueAndEmptyText)
{
    auto d = parse_ini("[AMQP]\nVhost =   \n");
    EXPECT_EQ(d["AMQP"].count("Vhost"), 1u);
    EXPECT_EQ(ini_value(d, "AMQP", "Vhost"), "");
    EXPECT_TRUE(parse_ini("").empty());
    EXPECT_TRUE(parse_ini("\n\n \t\r\n").empty());
}

TEST(IniParse, SectionAndKeyNamesAreCaseSensitive)
{
    auto d = parse_ini("[amqp]\nhost = h\n");
    EXPECT_EQ(ini_value(d, "AMQP", "Host"), "");
    EXPECT_EQ(ini_value(d, "amqp", "host"), "h");
}

TEST(IniLoad, ReadsAFileAndRefusesWhatCannotBeRead)
{
    auto dir = std::filesystem::temp_directory_path() / ("ini_test." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto path = (dir / "x.config").string();
    {
        std::ofstream(path) << "[AMQP]\nHost = h\n";
    }
    auto d = notify::load_ini(path);
    ASSERT_TRUE(d);
    EXPECT_EQ(ini_value(*d, "AMQP", "Host"), "h");
    EXPECT_FALSE(notify::load_ini((dir / "missing").string()));
    EXPECT_FALSE(notify::load_ini(dir.string()));  // a directory opens but cannot be read
    std::filesystem::remove_all(dir);
}
