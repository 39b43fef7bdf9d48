// A thin owner of glibc iconv conversion handles, and the fixed locale the
// transliteration runs under: glibc looks transliterations up in the calling
// thread's LC_CTYPE, so without this the result would depend on the process
// locale (under "C" most characters would turn into "?").
#pragma once

#include <iconv.h>
#include <locale.h>

#include <cstddef>

namespace zel {

class IconvHandle {
public:
    // Returns a handle that is not Valid() when iconv refuses the pair;
    // errno then tells why.
    IconvHandle(const char* to, const char* from);
    ~IconvHandle();
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    IconvHandle(IconvHandle&& other) noexcept;
    IconvHandle& operator=(IconvHandle&& other) noexcept;

    bool Valid() const { return handle_ != invalid(); }

    // Back to the initial shift state, dropping anything half-converted.
    void Reset() const;

    // One iconv() call; returns (size_t)-1 and sets errno as iconv does.
    std::size_t Convert(const char** in, std::size_t* inLeft, char** out,
                        std::size_t* outLeft) const;

private:
    static iconv_t invalid() { return reinterpret_cast<iconv_t>(-1); }
    iconv_t handle_;
};

// Makes a UTF-8 locale with full transliteration tables current on this
// thread for its lifetime, then puts back the one that was current.
// When no such locale exists the thread keeps its own.
class TransliterationLocaleScope {
public:
    TransliterationLocaleScope();
    ~TransliterationLocaleScope();
    TransliterationLocaleScope(const TransliterationLocaleScope&) = delete;
    TransliterationLocaleScope& operator=(const TransliterationLocaleScope&) = delete;

private:
    locale_t previous_ = nullptr;
};

}  // namespace zel
