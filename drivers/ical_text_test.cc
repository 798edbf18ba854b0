#include "drivers/ical_text.h"

#include <gtest/gtest.h>

#include "hostfile/exchange_format.h"

namespace velqor::drivers {
namespace {

TEST(IcalText, ConvertsBetweenUtf8AndWindows1252) {
  struct Case {
    const char* utf8;
    const char* cp1252;
  } cases[] = {
      {"Staff meeting", "Staff meeting"},
      {"caf\xC3\xA9 \xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", "caf\xE9 \xE4\xF6\xFC\xDF"},
      {"\xE2\x82\xAC 5 \xE2\x80\x93 \xE2\x80\x9Cquoted\xE2\x80\x9D", "\x80 5 \x96 \x93quoted\x94"},
      {"\xC5\xA0koda \xC5\x92uvre \xE2\x84\xA2", "\x8Akoda \x8Cuvre \x99"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToHandheld(c.utf8), c.cp1252) << c.utf8;
    EXPECT_EQ(HandheldToUtf8(c.cp1252), c.utf8) << c.utf8;
  }
}

TEST(IcalText, WhatTheCodePageLacksBecomesAVisibleSubstitute) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"\xE6\x97\xA5\xE6\x9C\xAC", "??"},  // two CJK characters, one mark each
      {"a\xF0\x9F\x98\x80z", "a?z"},       // a four-byte character
      {"a\xC3z", "a?z"},                   // a cut sequence
      {"\xC0\xAF", "??"},                  // an overlong form
      {"\xED\xA0\x80", "???"},             // a surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToHandheld(c.in), c.out);
  // The five bytes Windows-1252 leaves undefined.
  EXPECT_EQ(HandheldToUtf8("\x81\x8D\x8F\x90\x9D"), "?????");
}

TEST(IcalText, SplittingAt60NeverCutsACharacter) {
  std::string utf8;
  for (int i = 0; i < 70; ++i) utf8 += "\xC3\xA9";  // 140 bytes of UTF-8, 70 characters
  const hostfile::ExchangeText text =
      hostfile::DecodeText(hostfile::EncodeText(Utf8ToHandheld(utf8), "", false));
  std::string first, rest;
  for (int i = 0; i < 60; ++i) first += "\xC3\xA9";
  for (int i = 0; i < 10; ++i) rest += "\xC3\xA9";
  EXPECT_EQ(HandheldToUtf8(text.description), first);
  EXPECT_EQ(HandheldToUtf8(text.note), rest);
}

}  // namespace
}  // namespace velqor::drivers
