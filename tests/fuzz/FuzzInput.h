// FuzzInput: the fuzzers' reader of their input bytes (numbers of any width,
// texts of a bounded length, the rest), and the check that stops a run when
// an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace zel::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size)
        : rest_(reinterpret_cast<const char*>(data), size) {}

    // The next sizeof(T) bytes as a T (zeros past the end).
    template <class T>
    T Take() {
        T value{};
        const std::size_t n = rest_.size() < sizeof(T) ? rest_.size() : sizeof(T);
        std::memcpy(&value, rest_.data(), n);
        rest_.remove_prefix(n);
        return value;
    }

    // A text of up to maxBytes, its length given by the next byte.
    std::string Text(std::size_t maxBytes = 255) {
        std::size_t n = Take<std::uint8_t>();
        n = n > maxBytes ? maxBytes : n;
        n = n > rest_.size() ? rest_.size() : n;
        std::string text(rest_.substr(0, n));
        rest_.remove_prefix(n);
        return text;
    }

    std::string Rest() {
        std::string text(rest_);
        rest_ = {};
        return text;
    }

private:
    std::string_view rest_;
};

// A broken invariant: say which and abort, so the fuzzer keeps the input.
[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void Check(bool holds, const char* what) {
    if (!holds) {
        Broken(what);
    }
}

}  // namespace zel::fuzz
