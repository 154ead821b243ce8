// Unit tests: action suffixes, number reading and the settings taken from INI data.
#include "hooks/notify/notify_event.hpp"

#include <gtest/gtest.h>

#include <climits>

using notify::action_from_argument;
using notify::leading_number;
using notify::parse_ini;
using notify::settings_from_ini;

TEST(Action, FromTheArgumentsSuffix)
{
    EXPECT_EQ(action_from_argument("onestart"), "start");
    EXPECT_EQ(action_from_argument("restart"), "start");
    EXPECT_EQ(action_from_argument("start"), "start");
    EXPECT_EQ(action_from_argument("stopstart"), "start");
    EXPECT_EQ(action_from_argument("stop"), "stop");
    EXPECT_EQ(action_from_argument("onestop"), "stop");
    EXPECT_EQ(action_from_argument("xstop"), "stop");
    EXPECT_EQ(action_from_argument("startstop"), "stop");
    for (const char* refused : {"art", "", "tart", "top", "START", "Stop", "start ", "stopped", "starts"})
        EXPECT_FALSE(action_from_argument(refused)) << refused;
}

TEST(LeadingNumber, ReadsLikeAtoiButSaturates)
{
    EXPECT_EQ(leading_number("5672"), 5672);
    EXPECT_EQ(leading_number(""), 0);
    EXPECT_EQ(leading_number("abc"), 0);
    EXPECT_EQ(leading_number("12abc"), 12);
    EXPECT_EQ(leading_number("  7"), 7);
    EXPECT_EQ(leading_number("+3"), 3);
    EXPECT_EQ(leading_number("-5"), -5);
    EXPECT_EQ(leading_number("0x10"), 0);
    EXPECT_EQ(leading_number("1.5"), 1);
    EXPECT_EQ(leading_number("99999999999999999999"), INT_MAX);
    EXPECT_EQ(leading_number("-99999999999999999999"), INT_MIN);
}

TEST(Settings, HostAndPortAreRequired)
{
    EXPECT_FALSE(settings_from_ini(parse_ini("")));
    EXPECT_FALSE(settings_from_ini(parse_ini("[AMQP]\nHost = h\n")));
    EXPECT_FALSE(settings_from_ini(parse_ini("[AMQP]\nPort = 5672\n")));
    EXPECT_FALSE(settings_from_ini(parse_ini("[AMQP]\nHost = h\nPort =\n")));
    // Keys outside [AMQP] do not count.
    EXPECT_FALSE(settings_from_ini(parse_ini("Host = h\nPort = 1\n[Event]\nHost = h\nPort = 1\n")));
    // A Port that is not a number is still "configured" and reads as 0.
    auto s = settings_from_ini(parse_ini("[AMQP]\nHost = h\nPort = amqp\n"));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->port, 0);
}

TEST(Settings, DefaultsForTheOptionalKeys)
{
    auto s = settings_from_ini(parse_ini("[AMQP]\nHost = broker\nPort = 5672\n"));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->host, "broker");
    EXPECT_EQ(s->port, 5672);
    EXPECT_EQ(s->vhost, "/");
    EXPECT_EQ(s->timeout_s, 0);
    EXPECT_EQ(s->heartbeat_s, 0);
    EXPECT_EQ(s->user, "");
    EXPECT_EQ(s->password, "");
}

TEST(Settings, EveryKeyFromItsSection)
{
    auto s = settings_from_ini(parse_ini("[AMQP]\nHost=b\nPort=1\nVhost=ops\nTimeout=5s\nHeartbeat=30\n"
                                         "[Event]\nUser=pub\nPassword= p w \n"));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->vhost, "ops");
    EXPECT_EQ(s->timeout_s, 5);
    EXPECT_EQ(s->heartbeat_s, 30);
    EXPECT_EQ(s->user, "pub");
    EXPECT_EQ(s->password, "p w");
}
