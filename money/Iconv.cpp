#include "money/Iconv.h"

#include <utility>

namespace zel {

IconvHandle::IconvHandle(const char* to, const char* from) : handle_(iconv_open(to, from)) {}

IconvHandle::~IconvHandle() {
    if (Valid())
        iconv_close(handle_);
}

IconvHandle::IconvHandle(IconvHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, invalid())) {}

IconvHandle& IconvHandle::operator=(IconvHandle&& other) noexcept {
    if (this != &other) {
        if (Valid())
            iconv_close(handle_);
        handle_ = std::exchange(other.handle_, invalid());
    }
    return *this;
}

void IconvHandle::Reset() const {
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
}

std::size_t IconvHandle::Convert(const char** in, std::size_t* inLeft, char** out,
                                 std::size_t* outLeft) const {
    // glibc declares the input as char** although it never writes through it.
    return iconv(handle_, const_cast<char**>(in), inLeft, out, outLeft);
}

namespace {

// The locale object lives as long as the process; it is created on first use.
class TransliterationLocale {
public:
    TransliterationLocale() {
        // C.UTF-8 ships with glibc on Debian; the others are for systems
        // that spell it differently or lack it.
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
            locale_ = newlocale(LC_CTYPE_MASK, name, nullptr);
            if (locale_ != nullptr)
                break;
        }
    }
    ~TransliterationLocale() {
        if (locale_ != nullptr)
            freelocale(locale_);
    }
    TransliterationLocale(const TransliterationLocale&) = delete;
    TransliterationLocale& operator=(const TransliterationLocale&) = delete;

    locale_t Get() const { return locale_; }

private:
    locale_t locale_ = nullptr;
};

locale_t TransliterationLocaleHandle() {
    static const TransliterationLocale locale;
    return locale.Get();
}

}  // namespace

TransliterationLocaleScope::TransliterationLocaleScope() {
    if (locale_t wanted = TransliterationLocaleHandle(); wanted != nullptr) {
        previous_ = uselocale(wanted);
    }
}

TransliterationLocaleScope::~TransliterationLocaleScope() {
    if (previous_ != nullptr)
        uselocale(previous_);
}

}  // namespace zel
