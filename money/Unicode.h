// Unicode text without a code page: decoding UTF-8 into code points and
// encoding code points back, with every invalid sequence replaced by U+FFFD
// so nothing malformed travels further, and the composed form (NFC).
#pragma once

#include <string>
#include <string_view>

namespace zel {

inline constexpr char32_t REPLACEMENT_CHARACTER = U'\uFFFD';

// Invalid sequences (stray, truncated or overlong bytes, encoded surrogates,
// values above U+10FFFF) become one U+FFFD per maximal invalid subpart.
std::u32string DecodeUtf8(std::string_view text);

// Surrogates and values above U+10FFFF become U+FFFD.
char32_t ValidCodePoint(char32_t c);

// The text in its composed form (NFC): a letter followed by a combining mark
// becomes the one precomposed character wherever Unicode has it ("n" U+0303
// becomes "ñ"). Invalid code points become U+FFFD first.
std::u32string ComposeNfc(std::u32string_view text);

void AppendUtf8(char32_t c, std::string& out);

}  // namespace zel
