// The terminal code page: the single-byte character set of every screen.
//
// Chosen once per process by ZEL_CODEPAGE (any iconv name of a single-byte
// code page), windows-1252 when unset. Conversions into it give a character
// with no exact match its closest equivalent (U+202F becomes a no-break space)
// and "?" when there is none; nothing else is filtered.
//
// Text inside the gateway is UTF-8. What a scan sends goes through tables
// built when the code page is made: a screen's characters and every byte a
// person is shown never wait for iconv, nor for a lock.
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
    // when it is not a single-byte code page. Copies share their tables;
    // conversions may run on several threads at once.
    explicit CodePage(std::string name);

    const std::string& Name() const { return name_; }

    // Where the closest equivalent takes several bytes ("€" is "EUR" in
    // CP850) they are all written: for settings, not for laid-out screens.
    std::string FromUtf32(std::u32string_view text) const;
    std::string FromUtf8(std::string_view text) const;  // invalid UTF-8 bytes become "?"

    // Text for a screen laid out by counting characters: composed first
    // (NFC), then exactly one byte per character, "?" where the closest
    // equivalent would take several bytes ("ﬁ") or none. Invalid UTF-8
    // bytes become "?".
    std::string ScreenText(std::string_view utf8) const;

    std::string ToUtf8(std::string_view bytes) const;  // for people: logs, simulator;
                                                       // undefined bytes become U+FFFD

private:
    struct Tables;
    std::string name_;
    std::shared_ptr<Tables> tables_;
};

// The process's terminal code page, from ZEL_CODEPAGE on first use.
// Throws CodePageError when the variable names an unusable code page.
const CodePage& TerminalCodePage();

}  // namespace zel
