#include "money/Unicode.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>

#include <cstdint>

namespace zel {

namespace {

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Length of the sequence a lead byte opens, 0 when it cannot open one.
int SequenceLength(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// The range the second byte must fall in; narrower than 80..BF after the lead
// bytes where a wider range would allow overlong forms, surrogates or values
// beyond U+10FFFF.
bool SecondByteFits(unsigned char lead, unsigned char second) {
    switch (lead) {
        case 0xE0:
            return second >= 0xA0 && second <= 0xBF;
        case 0xED:
            return second >= 0x80 && second <= 0x9F;
        case 0xF0:
            return second >= 0x90 && second <= 0xBF;
        case 0xF4:
            return second >= 0x80 && second <= 0x8F;
        default:
            return second >= 0x80 && second <= 0xBF;
    }
}

}  // namespace

std::u32string DecodeUtf8(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = SequenceLength(lead);
        if (length == 1) {
            out.push_back(lead);
            ++i;
            continue;
        }
        if (length == 0) {
            out.push_back(REPLACEMENT_CHARACTER);
            ++i;
            continue;
        }
        char32_t c = lead & (0xFF >> (length + 1));
        std::size_t taken = 1;
        bool complete = true;
        for (int k = 1; k < length; ++k) {
            if (i + taken >= text.size()) {
                complete = false;
                break;
            }
            const auto next = static_cast<unsigned char>(text[i + taken]);
            const bool fits = k == 1 ? SecondByteFits(lead, next) : (next & 0xC0) == 0x80;
            if (!fits) {
                complete = false;
                break;
            }
            c = (c << 6) | (next & 0x3F);
            ++taken;
        }
        // A broken sequence is replaced once, and decoding resumes at the
        // first byte that did not belong to it.
        out.push_back(complete ? c : REPLACEMENT_CHARACTER);
        i += taken;
    }
    return out;
}

char32_t ValidCodePoint(char32_t c) {
    return (IsSurrogate(c) || c > 0x10FFFF) ? REPLACEMENT_CHARACTER : c;
}

void AppendUtf8(char32_t c, std::string& out) {
    c = ValidCodePoint(c);
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Text below U+0300 holds no combining mark and nothing that composes with
// what follows: it is composed already, as shop descriptions nearly always are.
constexpr char32_t FIRST_COMPOSING = 0x300;

std::u32string ComposeNfc(std::u32string_view text) {
    std::u32string valid;
    valid.reserve(text.size());
    bool composed = true;
    for (const char32_t c : text) {
        valid.push_back(ValidCodePoint(c));
        composed = composed && c < FIRST_COMPOSING;
    }
    if (composed) {
        return valid;
    }
    std::string utf8;
    for (const char32_t c : valid) AppendUtf8(c, utf8);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || utf8.size() > static_cast<std::size_t>(INT32_MAX / 2)) {
        return valid;  // no composition data: the text as it came
    }
    std::string out;
    icu::StringByteSink<std::string> sink(&out, static_cast<std::int32_t>(utf8.size()));
    nfc->normalizeUTF8(0, icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())),
                       sink, nullptr, status);
    return U_FAILURE(status) ? valid : DecodeUtf8(out);
}

}  // namespace zel
