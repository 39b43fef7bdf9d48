#include "money/CodePage.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "common/Text.h"
#include "money/Iconv.h"
#include "money/Unicode.h"

namespace zel {

namespace {

constexpr std::string_view CODE_PAGE_VARIABLE = "ZEL_CODEPAGE";
constexpr std::string_view DEFAULT_CODE_PAGE = "WINDOWS-1252";

// Code points travel to iconv as UTF-32 in the machine's own byte order.
constexpr const char* NATIVE_UTF32 =
    std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";

// Characters outside the code page that screens met, remembered with their
// byte; past this many (a server sending every character there is) the rest
// are converted each time, so memory stays bounded.
constexpr std::size_t MAX_LEARNED = 4096;

// Decodes every byte value on its own into `decoded`: a single-byte code
// page turns each into one character or refuses it as undefined (U+FFFD
// here). A multi-byte one leaves some bytes waiting for more input, and a
// stateful one swallows shift bytes without producing anything: false.
bool DecodeEachByte(const IconvHandle& toUtf8, std::array<char32_t, 256>& decoded) {
    for (int value = 0; value < 256; ++value) {
        toUtf8.Reset();
        const char byte = static_cast<char>(value);
        const char* in = &byte;
        std::size_t inLeft = 1;
        char buffer[16];
        char* out = buffer;
        std::size_t outLeft = sizeof buffer;
        decoded[static_cast<std::size_t>(value)] = REPLACEMENT_CHARACTER;
        if (toUtf8.Convert(&in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) {
            if (errno == EILSEQ)
                continue;  // a byte this code page leaves undefined
            return false;
        }
        const std::u32string character = DecodeUtf8(std::string_view(buffer, out - buffer));
        if (inLeft != 0 || character.size() != 1 || character[0] == REPLACEMENT_CHARACTER)
            return false;
        decoded[static_cast<std::size_t>(value)] = character[0];
    }
    return true;
}

}  // namespace

// The tables are built once and then only read; what is learned later and
// the iconv handle, which keeps conversion state between calls, are behind
// the lock.
struct CodePage::Tables {
    Tables(std::string name, IconvHandle fromUnicode)
        : Name(std::move(name)), FromUnicode(std::move(fromUnicode)) {}

    std::string Convert(std::u32string_view text);
    // The one byte of c on a screen.
    char ScreenByte(char32_t c);

    const std::string Name;
    std::array<char32_t, 256> Decoded{};     // each byte's character; U+FFFD: undefined
    std::unordered_map<char32_t, char> Own;  // the code page's characters on a screen
    std::mutex Lock;
    IconvHandle FromUnicode;                     // code points -> code page, with transliteration
    std::unordered_map<char32_t, char> Learned;  // other characters met on screens
};

std::string CodePage::Tables::Convert(std::u32string_view text) {
    std::u32string codePoints(text);
    for (char32_t& c : codePoints) c = ValidCodePoint(c);

    const std::lock_guard lock(Lock);
    const TransliterationLocaleScope locale;
    FromUnicode.Reset();

    std::string result(codePoints.size() + 16, '\0');
    std::size_t written = 0;
    const char* in = reinterpret_cast<const char*>(codePoints.data());
    std::size_t inLeft = codePoints.size() * sizeof(char32_t);
    bool flushing = false;
    for (;;) {
        char* out = result.data() + written;
        std::size_t outLeft = result.size() - written;
        const std::size_t status = flushing ? FromUnicode.Convert(nullptr, nullptr, &out, &outLeft)
                                            : FromUnicode.Convert(&in, &inLeft, &out, &outLeft);
        const int error = errno;
        written = result.size() - outLeft;
        if (status != static_cast<std::size_t>(-1)) {
            if (flushing)
                break;
            flushing = true;  // let a stateful converter close its shift state
            continue;
        }
        if (error == E2BIG) {
            result.resize(result.size() * 2 + 16);
        } else if (error == EILSEQ || error == EINVAL) {
            // No equivalent at all: one "?" for the character, then go on.
            if (written == result.size())
                result.resize(result.size() * 2 + 16);
            result[written++] = '?';
            const std::size_t skip = std::min(inLeft, sizeof(char32_t));
            in += skip;
            inLeft -= skip;
        } else {
            throw CodePageError("converting text to code page " + Quoted(Name) +
                                " failed: " + std::strerror(error));
        }
    }
    result.resize(written);
    return result;
}

char CodePage::Tables::ScreenByte(char32_t c) {
    if (const auto own = Own.find(c); own != Own.end()) {
        return own->second;
    }
    {
        const std::lock_guard lock(Lock);
        if (const auto learned = Learned.find(c); learned != Learned.end()) {
            return learned->second;
        }
    }
    const std::string bytes = Convert(std::u32string_view(&c, 1));
    const char byte = bytes.size() == 1 ? bytes[0] : '?';
    const std::lock_guard lock(Lock);
    if (Learned.size() < MAX_LEARNED) {
        Learned.emplace(c, byte);
    }
    return byte;
}

CodePage::CodePage(std::string name) : name_(std::move(name)) {
    // iconv reads "//" as the start of its own options; we add ours.
    if (name_.empty() || name_.find('/') != std::string::npos) {
        throw CodePageError("code page " + Quoted(name_) + " is not a code page name");
    }
    const std::string target = name_ + "//TRANSLIT";
    IconvHandle fromUnicode(target.c_str(), NATIVE_UTF32);
    const IconvHandle toUtf8("UTF-8", name_.c_str());
    if (!fromUnicode.Valid() || !toUtf8.Valid()) {
        throw CodePageError("code page " + Quoted(name_) + " is unknown to iconv");
    }
    auto tables = std::make_shared<Tables>(name_, std::move(fromUnicode));
    if (!DecodeEachByte(toUtf8, tables->Decoded)) {
        throw CodePageError("code page " + Quoted(name_) +
                            " is not a single-byte code page; screens need one byte per "
                            "character");
    }
    // Each character of the code page as a screen writes it: the byte
    // iconv gives it, which for a character that two bytes decode to is
    // the one iconv prefers.
    for (const char32_t c : tables->Decoded) {
        if (c != REPLACEMENT_CHARACTER && !tables->Own.contains(c)) {
            const std::string bytes = tables->Convert(std::u32string_view(&c, 1));
            tables->Own.emplace(c, bytes.size() == 1 ? bytes[0] : '?');
        }
    }
    tables_ = std::move(tables);
}

std::string CodePage::FromUtf32(std::u32string_view text) const {
    return tables_->Convert(text);
}

std::string CodePage::FromUtf8(std::string_view text) const {
    return FromUtf32(DecodeUtf8(text));
}

std::string CodePage::ScreenText(std::string_view utf8) const {
    const std::u32string composed = ComposeNfc(DecodeUtf8(utf8));
    std::string screen;
    screen.reserve(composed.size());
    for (const char32_t c : composed) {
        screen += tables_->ScreenByte(c);
    }
    return screen;
}

std::string CodePage::ToUtf8(std::string_view bytes) const {
    std::string text;
    text.reserve(bytes.size());
    for (const char byte : bytes) {
        AppendUtf8(tables_->Decoded[static_cast<unsigned char>(byte)], text);
    }
    return text;
}

const CodePage& TerminalCodePage() {
    static const CodePage codePage = [] {
        const char* value = std::getenv(std::string(CODE_PAGE_VARIABLE).c_str());
        // An empty variable counts as unset, as with most settings in the environment.
        const std::string name =
            (value == nullptr || *value == '\0') ? std::string(DEFAULT_CODE_PAGE) : value;
        try {
            return CodePage(name);
        } catch (const CodePageError& error) {
            throw CodePageError(std::string(CODE_PAGE_VARIABLE) + "=" + name + ": " + error.what());
        }
    }();
    return codePage;
}

}  // namespace zel
