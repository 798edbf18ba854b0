#include "hostfile/exchange_format.h"

#include <gtest/gtest.h>

#include <string>

namespace velqor::hostfile {
namespace {

std::string Repeat(char c, size_t n) {
  return std::string(n, c);
}

// 60 distinct-looking characters, so a cut in the wrong place shows.
std::string Line(char first, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(first + i % 26);
  return s;
}

struct EncodeCase {
  const char* name;
  std::string description;
  std::string note;
  bool isPrivate;
  std::string encoded;
};

TEST(ExchangeText, EncodesDescriptionAndNote) {
  const std::string d60 = Line('a', 60);
  const std::string d100 = Line('A', 100);
  const EncodeCase cases[] = {
      {"plain", "Dentist", "", false, "Dentist"},
      {"empty", "", "", false, ""},
      {"private gains the prefix", "Dentist", "", true, "PERS: Dentist"},
      {"private prefix not doubled", "PERS: Dentist", "", true, "PERS: Dentist"},
      {"confidential prefix kept", "CONF:Dentist", "", true, "CONF:Dentist"},
      {"prefix needs the colon", "PERS Dentist", "", true, "PERS: PERS Dentist"},
      {"not private, no prefix", "Dentist", "", false, "Dentist"},
      {"description and two note lines", "Meeting", "line 1\r\nsecond line!", false,
       "Meeting;line 1;second line!"},
      {"semicolons become colons", "a;b", "c;d", false, "a:b;c:d"},
      {"bare line feed dropped", "a\nb", "", false, "ab"},
      {"bare carriage return separates", "a\rb", "", false, "a;b"},
      {"note without description", "", "only note", false, ";only note"},
      {"long description cut at 60", d100, "", false, d100.substr(0, 60) + ";" + d100.substr(60)},
      {"full line then line end", d60, "x", false, d60 + ";;x"},
      {"full line exactly, nothing after", d60, "", false, d60},
      {"long note line cut too", "d", Line('a', 61), false, "d;" + Line('a', 60) + ";" + "i"},
      {"count restarts after each separator", Line('a', 59), Line('A', 119), false,
       Line('a', 59) + ";" + Line('A', 60) + ";" + Line('A', 119).substr(60)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EncodeText(c.description, c.note, c.isPrivate), c.encoded);
  }
  // The 27-character example: 7 + 1 + 6 + 1 + 12.
  EXPECT_EQ(EncodeText("Meeting", "line 1\r\nsecond line!", false).size(), 27u);
}

struct DecodeCase {
  const char* name;
  std::string encoded;
  std::string description;
  std::string note;
  bool isPrivate;
};

TEST(ExchangeText, DecodesIntoDescriptionAndNote) {
  const std::string t70 = Line('a', 70);
  const std::string t65 = Line('A', 65);
  const std::string t60 = Line('a', 60);
  const DecodeCase cases[] = {
      {"description only", "Dentist", "Dentist", "", false},
      {"27-character example", "Meeting;line 1;second line!", "Meeting", "line 1\r\nsecond line!",
       false},
      {"70 characters without separator", t70, t70.substr(0, 60), t70.substr(60), false},
      {"exactly 60 without separator", t60, t60, "", false},
      {"separator at 60", t60 + ";rest", t60, "rest", false},
      {"separator beyond 60 keeps every character", t65 + ";xy", t65.substr(0, 60),
       t65.substr(60) + "\r\nxy", false},
      {"two separators give an empty note line", t60 + ";;x", t60, "\r\nx", false},
      {"leading separator", ";abc", "", "abc", false},
      {"trailing separator leaves an empty note", "abc;", "abc", "", false},
      {"PERS prefix is private and stays", "PERS: Dentist", "PERS: Dentist", "", true},
      {"CONF prefix is private", "CONF:Board", "CONF:Board", "", true},
      {"prefix must be at the start", " PERS:x", " PERS:x", "", false},
      {"short text is not a prefix", "PERS", "PERS", "", false},
      {"lower case is not a prefix", "pers:x", "pers:x", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ExchangeText text = DecodeText(c.encoded);
    EXPECT_EQ(text.description, c.description);
    EXPECT_EQ(text.note, c.note);
    EXPECT_EQ(text.isPrivate, c.isPrivate);
  }
}

TEST(ExchangeText, EncodedTextNeverHoldsLineEndsOrLongLines) {
  const std::string nasty = "x;y\r\n" + Line('a', 130) + "\n\r;" + Repeat('\r', 3) + "end";
  const std::string encoded = EncodeText(nasty, nasty, true);
  EXPECT_EQ(encoded.find('\r'), std::string::npos);
  EXPECT_EQ(encoded.find('\n'), std::string::npos);
  size_t lineStart = 0;
  for (size_t i = 0; i <= encoded.size(); ++i) {
    if (i == encoded.size() || encoded[i] == ';') {
      EXPECT_LE(i - lineStart, 60u) << "line ending at " << i;
      lineStart = i + 1;
    }
  }
}

TEST(ExchangeStatus, CharactersBothWays) {
  struct Case {
    int32_t status;
    char written;
  };
  const Case stores[] = {{kStatusNone, '0'},     {kStatusAdded, '1'},   {kStatusDeleted, '2'},
                         {kStatusModified, '3'}, {kStatusPending, '0'}, {99, '0'}};
  for (const auto& c : stores) {
    EXPECT_EQ(StatusCharFor(c.status), c.written) << c.status;
  }
  struct LoadCase {
    char read;
    int32_t status;
  };
  const LoadCase loads[] = {{'0', kStatusNone},     {'1', kStatusAdded}, {'2', kStatusDeleted},
                            {'3', kStatusModified}, {'4', kStatusNone},  {' ', kStatusNone},
                            {'8', kStatusNone}};
  for (const auto& c : loads) {
    EXPECT_EQ(StatusFromChar(c.read), c.status) << c.read;
  }
}

TEST(ExchangeAlarm, FitsAdvanceIntoTwoDigits) {
  struct Case {
    int32_t advance, unit;
    int32_t fittedAdvance, fittedUnit;
  };
  const Case cases[] = {
      {5, kAlarmHours, 5, kAlarmHours},
      {0, kAlarmDays, 0, kAlarmDays},
      {99, kAlarmMinutes, 99, kAlarmMinutes},
      {120, kAlarmMinutes, 2, kAlarmHours},      // exact in hours
      {1440, kAlarmMinutes, 24, kAlarmHours},    // first larger unit that fits
      {8640, kAlarmMinutes, 6, kAlarmDays},      // 144 hours do not fit; 6 days do
      {150, kAlarmMinutes, 99, kAlarmMinutes},   // not exact: 99 of its own unit
      {6000, kAlarmMinutes, 99, kAlarmMinutes},  // 100 hours, not whole days
      {240, kAlarmHours, 10, kAlarmDays},
      {100, kAlarmHours, 99, kAlarmHours},
      {200, kAlarmDays, 99, kAlarmDays},  // no larger unit
      {120, 7, 2, kAlarmHours},           // an unknown unit is written as minutes
      {30, -1, 30, kAlarmMinutes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.advance << " in unit " << c.unit);
    int32_t advance = -5, unit = -5;
    ASSERT_TRUE(FitAlarmAdvance(c.advance, c.unit, &advance, &unit));
    EXPECT_EQ(advance, c.fittedAdvance);
    EXPECT_EQ(unit, c.fittedUnit);
  }
  int32_t advance = 0, unit = 0;
  EXPECT_FALSE(FitAlarmAdvance(-1, kAlarmMinutes, &advance, &unit));
}

TEST(ExchangeFields, ParsesOnlyWholeNumbers) {
  struct Case {
    const char* field;
    std::optional<int32_t> value;
  };
  const Case decimals[] = {
      {"0027", 27},
      {"  27", 27},
      {"27  ", 27},
      {"0000", 0},
      {"9999", 9999},
      {"7", 7},
      {"    ", std::nullopt},
      {"", std::nullopt},
      {"2 7 ", std::nullopt},
      {"-001", std::nullopt},
      {"+001", std::nullopt},
      {"00x1", std::nullopt},
      {"0x10", std::nullopt},
      {"1A", std::nullopt},
      {"99999999999", std::nullopt},
  };
  for (const auto& c : decimals) {
    EXPECT_EQ(ParseDecimalField(c.field), c.value) << '"' << c.field << '"';
  }
  struct HexCase {
    const char* field;
    std::optional<uint32_t> value;
  };
  const HexCase hexes[] = {
      {"0000ABCD", 0xABCDu},       {"abcd1234", 0xABCD1234u},  {"FFFFFFFF", 0xFFFFFFFFu},
      {"   1F   ", 0x1Fu},         {"00000000", 0u},           {"        ", std::nullopt},
      {"0000ABCG", std::nullopt},  {"-0000001", std::nullopt}, {"0x0000AB", std::nullopt},
      {"100000000", std::nullopt},
  };
  for (const auto& c : hexes) {
    EXPECT_EQ(ParseHexField(c.field), c.value) << '"' << c.field << '"';
  }
}

TEST(ExchangeCount, FormatsFourDigitsWithinRange) {
  std::string out = "unchanged";
  ASSERT_TRUE(FormatRecordCount(0, &out));
  EXPECT_EQ(out, "0000");
  ASSERT_TRUE(FormatRecordCount(42, &out));
  EXPECT_EQ(out, "0042");
  ASSERT_TRUE(FormatRecordCount(9999, &out));
  EXPECT_EQ(out, "9999");
  EXPECT_FALSE(FormatRecordCount(10000, &out));
  EXPECT_FALSE(FormatRecordCount(-1, &out));
  EXPECT_EQ(out, "9999");
}

}  // namespace
}  // namespace velqor::hostfile
