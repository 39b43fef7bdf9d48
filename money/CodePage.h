// The terminal code page: the single-byte character set of every screen.
//
// Chosen once per process by ZEL_CODEPAGE (any iconv name of a single-byte
// code page), windows-1252 when unset. Conversions into it give a character
// with no exact match its closest equivalent (U+202F becomes a no-break space)
// and "?" when there is none; nothing else is filtered.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zel {

class CodePageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CodePage {
public:
    // Throws CodePageError naming the value when iconv does not know it or
    // when it is not a single-byte code page. Copies share one converter;
    // conversions may run on several threads at once.
    explicit CodePage(std::string name);

    const std::string& Name() const { return name_; }

    std::string FromUtf16(std::u16string_view text) const;
    std::string FromUtf32(std::u32string_view text) const;
    std::string FromUtf8(std::string_view text) const;  // invalid UTF-8 bytes become "?"

    // Text for a screen laid out by counting characters: composed first
    // (NFC), then exactly one byte per character, "?" where the closest
    // equivalent would take several bytes ("ﬁ") or none.
    std::string ScreenText(std::u32string_view text) const;
    std::string ScreenTextFromUtf16(std::u16string_view text) const;
    std::string ScreenTextFromUtf8(std::string_view text) const;

    std::string ToUtf8(std::string_view bytes) const;  // for people: logs, simulator;
                                                       // undefined bytes become U+FFFD

private:
    struct Converter;
    std::string name_;
    std::shared_ptr<Converter> converter_;
};

// The process's terminal code page, from ZEL_CODEPAGE on first use.
// Throws CodePageError when the variable names an unusable code page.
const CodePage& TerminalCodePage();

// UTF-8 <-> UTF-16 without a code page, for text that crosses the server interface.
std::u16string Utf8ToUtf16(std::string_view text);  // invalid bytes become U+FFFD
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace zel
