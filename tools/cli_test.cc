#include "tools/cli.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/clock.h"
#include "platform/testing/test_support.h"

namespace velqor::tools {
namespace {

TEST(CliTest, OptionsAreParsedOrRefusedByName) {
  const std::vector<OptionSpec> options = {{"type", true}, {"dry-run", false}, {"inject", true}};
  struct Case {
    std::vector<const char*> argv;
    bool ok;
    const char* error;
  };
  const Case cases[] = {
      {{"sync", "p", "--type", "slow", "--dry-run"}, true, ""},
      {{"sync", "--type=fast", "p"}, true, ""},
      {{"sync", "p", "--inject", "A@1=2", "--inject", "B@2=3"}, true, ""},
      {{"sync", "p", "--bogus"}, false, "unknown option --bogus"},
      {{"sync", "p", "-x"}, false, "unknown option -x"},
      {{"sync", "p", "--type"}, false, "option --type needs a value"},
      {{"sync", "p", "--dry-run=yes"}, false, "option --dry-run takes no value"},
      {{"sync", "--", "--type"}, true, ""},
  };
  for (const auto& c : cases) {
    std::vector<char*> argv;
    for (const char* a : c.argv) argv.push_back(const_cast<char*>(a));
    ParsedArgs args;
    std::string error;
    EXPECT_EQ(ParseArgs(static_cast<int>(argv.size()), argv.data(), 1, options, &args, &error),
              c.ok)
        << c.argv[1];
    EXPECT_EQ(error, c.error);
  }
  std::vector<const char*> raw = {"sync",   "p", "--inject", "A@1=2", "--inject", "B@2=3",
                                  "--type", "1", "--type",   "2",     "--",       "--type"};
  std::vector<char*> argv;
  for (const char* a : raw) argv.push_back(const_cast<char*>(a));
  ParsedArgs args;
  std::string error;
  ASSERT_TRUE(ParseArgs(static_cast<int>(argv.size()), argv.data(), 1, options, &args, &error));
  EXPECT_EQ(args.positional, (std::vector<std::string>{"p", "--type"}));
  EXPECT_EQ(args.All("inject"), (std::vector<std::string>{"A@1=2", "B@2=3"}));
  EXPECT_EQ(args.Get("type"), "2");
}

TEST(CliTest, NumbersDatesAndTimes) {
  EXPECT_EQ(ParseInteger("42"), 42);
  EXPECT_EQ(ParseInteger("-7"), -7);
  EXPECT_EQ(ParseInteger("0x1F"), 31);
  for (const char* bad : {"", "-", "0x", "12a", "4 2", "99999999999999999999"}) {
    EXPECT_FALSE(ParseInteger(bad).has_value()) << bad;
  }
  int y, m, d;
  EXPECT_TRUE(ParseDate("2024-02-29", &y, &m, &d));
  for (const char* bad :
       {"2023-02-29", "2024-13-01", "2024-00-10", "2024-1-01", "20240101", "2024-04-31"}) {
    EXPECT_FALSE(ParseDate(bad, &y, &m, &d)) << bad;
  }
  int h, mi, s;
  EXPECT_TRUE(ParseClock("23:59:59", &h, &mi, &s));
  EXPECT_FALSE(ParseClock("24:00", &h, &mi, &s));
  EXPECT_FALSE(ParseClock("9:30", &h, &mi, &s));

  velqor::test_support::ScopedTimeZone zone("America/New_York");
  int64_t t = 0;
  ASSERT_TRUE(ParseLocalDateTime("2024-03-10 03:30", &t));  // just after the spring change
  EXPECT_EQ(t, 1710055800);
  ASSERT_TRUE(ParseLocalDateTime("2024-07-04 12:00:30", &t));
  EXPECT_EQ(t, 1720108830);
  EXPECT_FALSE(ParseLocalDateTime("2024-07-04T12:00", &t));
  EXPECT_FALSE(ParseLocalDateTime("2024-07-04", &t));
}

TEST(CliTest, JsonTextIsEscapedAndAlwaysValid) {
  EXPECT_EQ(JsonString("a\"b\\c\nd\r\t"), "\"a\\\"b\\\\c\\nd\\r\\t\"");
  EXPECT_EQ(JsonString(std::string("\x01", 1)), "\"\\u0001\"");
  EXPECT_EQ(JsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"");  // UTF-8 passes
  EXPECT_EQ(JsonString("caf\xE9"), "\"caf\\u00e9\"");       // a Latin-1 byte is escaped
  EXPECT_EQ(JsonString("\xE2\x82"), "\"\\u00e2\\u0082\"");  // a cut sequence is escaped
}

}  // namespace
}  // namespace velqor::tools
