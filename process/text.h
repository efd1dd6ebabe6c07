#pragma once

#include <string>
#include <string_view>
#include <vector>

// Strict UTF-8: overlong forms, surrogates (U+D800..U+DFFF) and values past
// U+10FFFF are ill-formed, as in the Unicode standard's table of well-formed
// byte sequences.
bool isValidUtf8(std::string_view bytes);

// Decodes a command-line argument: well-formed UTF-8 comes back unchanged;
// each maximal ill-formed subpart becomes one U+FFFD (the Unicode standard's
// recommended practice), so "ab\xFFcd" gives "ab\uFFFDcd", a truncated
// "\xE2\x82" one U+FFFD and "\xC0\xAF" two.
std::string decodeUtf8Lossy(std::string_view bytes);

// Turns captured output into lines: newline characters (U+000A..U+000D,
// U+0085, U+2028, U+2029) are trimmed from both ends, then the rest is split
// at every U+000A and nothing else. Empty pieces stay, so an empty or
// all-newline text gives one empty line. Text that is not valid UTF-8 gives
// no lines at all. The lines are views into `bytes`: nothing is copied.
std::vector<std::string_view> splitLines(std::string_view bytes);
