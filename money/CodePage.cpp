#include "money/CodePage.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

const std::string_view REPLACEMENT_UTF8 = "\xEF\xBF\xBD";

// True when the bytes are exactly one UTF-8 encoded character.
bool IsOneCharacter(std::string_view utf8) {
    if (utf8.empty())
        return false;
    const std::u32string decoded = DecodeUtf8(utf8);
    return decoded.size() == 1 && decoded[0] != REPLACEMENT_CHARACTER;
}

// Decodes every byte value on its own: a single-byte code page turns each
// into one character or refuses it as undefined. A multi-byte one leaves some
// bytes waiting for more input, and a stateful one swallows shift bytes
// without producing anything.
bool DecodesByteByByte(const IconvHandle& toUtf8) {
    for (int value = 0; value < 256; ++value) {
        toUtf8.Reset();
        const char byte = static_cast<char>(value);
        const char* in = &byte;
        std::size_t inLeft = 1;
        char buffer[16];
        char* out = buffer;
        std::size_t outLeft = sizeof buffer;
        if (toUtf8.Convert(&in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) {
            if (errno == EILSEQ)
                continue;  // a byte this code page leaves undefined
            return false;
        }
        if (inLeft != 0 || !IsOneCharacter(std::string_view(buffer, out - buffer)))
            return false;
    }
    toUtf8.Reset();
    return true;
}

}  // namespace

// The handles keep conversion state between calls, so one call at a time
// uses them; the lock is short and uncontended in the gateway.
struct CodePage::Converter {
    Converter(IconvHandle fromUnicode, IconvHandle toUtf8)
        : FromUnicode(std::move(fromUnicode)), ToUtf8(std::move(toUtf8)) {}

    std::mutex Lock;
    IconvHandle FromUnicode;  // code points -> code page, with transliteration
    IconvHandle ToUtf8;       // code page -> UTF-8
};

CodePage::CodePage(std::string name) : name_(std::move(name)) {
    // iconv reads "//" as the start of its own options; we add ours.
    if (name_.empty() || name_.find('/') != std::string::npos) {
        throw CodePageError("code page " + Quoted(name_) + " is not a code page name");
    }
    const std::string target = name_ + "//TRANSLIT";
    IconvHandle fromUnicode(target.c_str(), NATIVE_UTF32);
    IconvHandle toUtf8("UTF-8", name_.c_str());
    if (!fromUnicode.Valid() || !toUtf8.Valid()) {
        throw CodePageError("code page " + Quoted(name_) + " is unknown to iconv");
    }
    if (!DecodesByteByByte(toUtf8)) {
        throw CodePageError("code page " + Quoted(name_) +
                            " is not a single-byte code page; screens need one byte per "
                            "character");
    }
    converter_ = std::make_shared<Converter>(std::move(fromUnicode), std::move(toUtf8));
}

std::string CodePage::FromUtf32(std::u32string_view text) const {
    std::u32string codePoints(text);
    for (char32_t& c : codePoints) c = ValidCodePoint(c);

    const std::lock_guard lock(converter_->Lock);
    const TransliterationLocaleScope locale;
    const IconvHandle& handle = converter_->FromUnicode;
    handle.Reset();

    std::string result(codePoints.size() + 16, '\0');
    std::size_t written = 0;
    const char* in = reinterpret_cast<const char*>(codePoints.data());
    std::size_t inLeft = codePoints.size() * sizeof(char32_t);
    bool flushing = false;
    for (;;) {
        char* out = result.data() + written;
        std::size_t outLeft = result.size() - written;
        const std::size_t status = flushing ? handle.Convert(nullptr, nullptr, &out, &outLeft)
                                            : handle.Convert(&in, &inLeft, &out, &outLeft);
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
            throw CodePageError("converting text to code page " + Quoted(name_) +
                                " failed: " + std::strerror(error));
        }
    }
    result.resize(written);
    return result;
}

std::string CodePage::FromUtf16(std::u16string_view text) const {
    return FromUtf32(DecodeUtf16(text));
}

std::string CodePage::FromUtf8(std::string_view text) const {
    return FromUtf32(DecodeUtf8(text));
}

std::string CodePage::ScreenText(std::u32string_view text) const {
    const std::u32string composed = ComposeNfc(text);
    std::string screen;
    screen.reserve(composed.size());
    for (const char32_t c : composed) {
        const std::string bytes = FromUtf32(std::u32string_view(&c, 1));
        screen += bytes.size() == 1 ? bytes[0] : '?';
    }
    return screen;
}

std::string CodePage::ScreenTextFromUtf16(std::u16string_view text) const {
    return ScreenText(DecodeUtf16(text));
}

std::string CodePage::ScreenTextFromUtf8(std::string_view text) const {
    return ScreenText(DecodeUtf8(text));
}

std::string CodePage::ToUtf8(std::string_view bytes) const {
    const std::lock_guard lock(converter_->Lock);
    const IconvHandle& handle = converter_->ToUtf8;
    handle.Reset();

    // A character of a single-byte code page takes at most 3 bytes in UTF-8,
    // as does U+FFFD for an undefined byte: one allocation fits them all.
    std::string result(bytes.size() * REPLACEMENT_UTF8.size() + 16, '\0');
    std::size_t written = 0;
    const char* in = bytes.data();
    std::size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char* out = result.data() + written;
        std::size_t outLeft = result.size() - written;
        const std::size_t status = handle.Convert(&in, &inLeft, &out, &outLeft);
        const int error = errno;
        written = result.size() - outLeft;
        if (status != static_cast<std::size_t>(-1))
            break;
        if (error == E2BIG) {
            result.resize(result.size() * 2 + 16);
        } else if (error == EILSEQ || error == EINVAL) {
            // A byte the code page leaves undefined.
            if (result.size() - written < REPLACEMENT_UTF8.size())
                result.resize(written + REPLACEMENT_UTF8.size() * (inLeft + 1) + 16);
            result.replace(written, REPLACEMENT_UTF8.size(), REPLACEMENT_UTF8);
            written += REPLACEMENT_UTF8.size();
            ++in;
            --inLeft;
        } else {
            throw CodePageError("converting text from code page " + Quoted(name_) +
                                " failed: " + std::strerror(error));
        }
    }
    result.resize(written);
    return result;
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
