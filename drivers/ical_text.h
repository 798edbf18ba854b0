// Text between the handheld's code page (Windows-1252) and iCalendar's UTF-8.
#pragma once

#include <string>

namespace velqor::drivers {

// The character written for one that Windows-1252 cannot hold, and for bytes that are not
// UTF-8: visible, so the user sees that something was replaced.
inline constexpr char kSubstitute = '?';

// UTF-8 to Windows-1252, one byte per character, so splitting the result anywhere never cuts
// a character.
std::string Utf8ToHandheld(const std::string& utf8);
// Windows-1252 to UTF-8; the five bytes the code page leaves undefined become the substitute.
std::string HandheldToUtf8(const std::string& cp1252);

}  // namespace velqor::drivers
