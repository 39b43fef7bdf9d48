// Unicode text without a code page: decoding UTF-8 and UTF-16 into code
// points and encoding code points back, with every invalid sequence replaced
// by U+FFFD so nothing malformed travels further.
#pragma once

#include <string>
#include <string_view>

namespace zel {

inline constexpr char32_t REPLACEMENT_CHARACTER = U'\uFFFD';

// Invalid sequences (stray, truncated or overlong bytes, encoded surrogates,
// values above U+10FFFF) become one U+FFFD per maximal invalid subpart.
std::u32string DecodeUtf8(std::string_view text);

// A surrogate without its partner becomes U+FFFD.
std::u32string DecodeUtf16(std::u16string_view text);

// Surrogates and values above U+10FFFF become U+FFFD.
char32_t ValidCodePoint(char32_t c);

// The text in its composed form (NFC): a letter followed by a combining mark
// becomes the one precomposed character wherever Unicode has it ("n" U+0303
// becomes "ñ"). Invalid code points become U+FFFD first.
std::u32string ComposeNfc(std::u32string_view text);

void AppendUtf8(char32_t c, std::string& out);
void AppendUtf16(char32_t c, std::u16string& out);

}  // namespace zel
