#include "money/Unicode.h"

#include <unicode/unorm2.h>

#include "money/CodePage.h"

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

std::u32string DecodeUtf16(std::u16string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else {
            out.push_back(ValidCodePoint(unit));
        }
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

void AppendUtf16(char32_t c, std::u16string& out) {
    c = ValidCodePoint(c);
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char32_t c : DecodeUtf8(text)) AppendUtf16(c, out);
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (char32_t c : DecodeUtf16(text)) AppendUtf8(c, out);
    return out;
}

std::u32string ComposeNfc(std::u32string_view text) {
    std::u16string utf16;
    utf16.reserve(text.size());
    for (const char32_t c : text) AppendUtf16(ValidCodePoint(c), utf16);
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
    if (U_FAILURE(status) || utf16.size() > static_cast<std::size_t>(INT32_MAX / 4)) {
        return DecodeUtf16(utf16);  // no composition data: the text as it came
    }
    // Composition never lengthens a text by more than a small factor; one
    // retry with the size ICU asks for covers the rest.
    std::u16string composed(utf16.size() + 16, u'\0');
    const auto length = static_cast<std::int32_t>(utf16.size());
    std::int32_t needed = unorm2_normalize(nfc, utf16.data(), length, composed.data(),
                                           static_cast<std::int32_t>(composed.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        status = U_ZERO_ERROR;
        composed.assign(static_cast<std::size_t>(needed), u'\0');
        needed = unorm2_normalize(nfc, utf16.data(), length, composed.data(),
                                  static_cast<std::int32_t>(composed.size()), &status);
    }
    if (U_FAILURE(status)) {
        return DecodeUtf16(utf16);
    }
    composed.resize(static_cast<std::size_t>(needed));
    return DecodeUtf16(composed);
}

}  // namespace zel
