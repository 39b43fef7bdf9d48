// Parsing of an initialisation file into sections and values.
#include "gateway/ConfIni.h"

#include <algorithm>

#include "common/Text.h"

namespace zel {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

// The first maxChars characters: bytes, or whole UTF-8 sequences.
std::string_view CutChars(std::string_view v, std::size_t maxChars, bool utf8) {
    if (!utf8) {
        return v.substr(0, std::min(v.size(), maxChars));
    }
    std::size_t chars = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const auto byte = static_cast<unsigned char>(v[i]);
        if ((byte & 0xC0) != 0x80) {  // a lead byte starts a character
            if (chars == maxChars) {
                return v.substr(0, i);
            }
            ++chars;
        }
    }
    return v;
}

}  // namespace

ConfIni::ConfIni(std::string_view fileText) {
    if (fileText.starts_with(kUtf8Bom)) {
        fileText.remove_prefix(kUtf8Bom.size());
    }
    utf8_ = IsValidUtf8(fileText);

    Section* current = nullptr;  // null: before any section, or in a repeated one
    while (!fileText.empty()) {
        const std::size_t eol = fileText.find('\n');
        std::string_view line = fileText.substr(0, eol);
        fileText.remove_prefix(eol == std::string_view::npos ? fileText.size() : eol + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        line = Trim(line);
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            std::string_view name = line.substr(1);
            name = Trim(name.substr(0, name.find(']')));
            if (FindSection(name) != nullptr) {
                current = nullptr;
            } else {
                sections_.push_back(Section{std::string(name), {}});
                current = &sections_.back();
            }
            continue;
        }
        const std::size_t equals = line.find('=');
        if (current == nullptr || equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = Trim(line.substr(0, equals));
        if (key.empty()) {
            continue;
        }
        const bool known =
            std::any_of(current->entries.begin(), current->entries.end(),
                        [&](const Entry& e) { return EqualsIgnoringCase(e.key, key); });
        if (known) {
            continue;
        }
        const std::string_view value =
            CutChars(Unquote(Trim(line.substr(equals + 1))), INI_VALUE_MAX_CHARS, utf8_);
        current->entries.push_back(Entry{std::string(key), std::string(value)});
    }
}

const ConfIni::Section* ConfIni::FindSection(std::string_view name) const {
    for (const Section& s : sections_) {
        if (EqualsIgnoringCase(s.name, name)) {
            return &s;
        }
    }
    return nullptr;
}

std::optional<std::string> ConfIni::Find(std::string_view section, std::string_view key) const {
    const Section* s = FindSection(section);
    if (s == nullptr) {
        return std::nullopt;
    }
    for (const Entry& e : s->entries) {
        if (EqualsIgnoringCase(e.key, key)) {
            return e.value;
        }
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> ConfIni::Entries(std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> entries;
    if (const Section* s = FindSection(section)) {
        for (const Entry& e : s->entries) {
            entries.emplace_back(e.key, e.value);
        }
    }
    return entries;
}

std::string ConfIni::Read(std::string_view section, std::string_view key,
                          std::string_view defaultText) const {
    return Find(section, key).value_or(std::string(defaultText));
}

}  // namespace zel
