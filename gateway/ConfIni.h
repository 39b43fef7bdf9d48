// ConfIni: an initialisation file (sections in brackets, key=value lines)
// held in memory and read the way the gateway's configuration has always
// been read:
// - section and key names match without regard to ASCII case;
// - a missing section or key yields the caller's default, a key present with
//   an empty value yields empty text;
// - blanks around a value are dropped, then one pair of enclosing double or
//   single quotes (blanks inside them remain); the value is then cut to 2047
//   characters;
// - lines starting with ";" are comments; lines without "=" carry nothing;
// - the first of two equal keys in a section wins, and the first of two equal
//   sections wins whole: a later section of the same name is not read;
// - LF or CRLF line ends; a UTF-8 byte-order mark is skipped.
// Characters are bytes, or code points when the whole text is valid UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel {

inline constexpr std::size_t INI_VALUE_MAX_CHARS = 2047;

class ConfIni {
public:
    explicit ConfIni(std::string_view fileText);

    // The value, or nothing when the section or the key is missing.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;

    // The value, or defaultText when the section or the key is missing.
    std::string Read(std::string_view section, std::string_view key,
                     std::string_view defaultText) const;

    // Every key of the section with its value, in the file's order; none when
    // the section is missing.
    std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;

    // Whether the whole text (after a byte-order mark) is valid UTF-8.
    bool IsUtf8() const { return utf8_; }

private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };

    const Section* FindSection(std::string_view name) const;

    std::vector<Section> sections_;
    bool utf8_ = false;
};

}  // namespace zel
