#include "gateway/TerminalNames.h"

#include <arpa/inet.h>

#include "common/Text.h"
#include "gateway/ConfIni.h"
#include "money/CodePage.h"

namespace zel {
namespace {

constexpr std::string_view kSection = "TERMINALES";

// The address in the listener's own spelling, or empty when it is no IPv4
// address (a leading zero included: it could be read as octal).
std::string Canonical(const std::string& key) {
    in_addr address{};
    if (inet_pton(AF_INET, key.c_str(), &address) != 1) {
        return {};
    }
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// Whether UTF-8 text holds a C0 or C1 control character or DEL.
bool HasControl(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 =
            byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F || c1) {
            return true;
        }
    }
    return false;
}

// The first maxChars characters of UTF-8 text; whether it was cut.
bool CutToChars(std::string& text, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && chars++ == maxChars) {
            text.resize(i);
            return true;
        }
    }
    return false;
}

}  // namespace

std::string_view TerminalNames::NameOf(std::string_view address) const {
    const auto found = names_.find(address);
    return found == names_.end() ? std::string_view() : std::string_view(found->second);
}

TerminalNames TerminalNames::Read(const ConfIni& ini, const CodePage& codePage,
                                  std::vector<std::string>& warnings) {
    TerminalNames read;
    for (auto& [key, value] : ini.Entries(kSection)) {
        std::string name = ini.IsUtf8() ? value : codePage.ToUtf8(value);
        const std::string shownKey = Printable(ini.IsUtf8() ? key : codePage.ToUtf8(key));
        const std::string where = "Conf.ini [" + std::string(kSection) + "] " + shownKey;
        const std::string address = Canonical(key);
        if (address.empty()) {
            warnings.push_back(where +
                               " is not a terminal's address (IPv4, as 10.1.2.21); its name is "
                               "ignored");
            continue;
        }
        if (name.empty()) {
            continue;
        }
        if (HasControl(name)) {
            warnings.push_back(where + ": the name holds a control character; ignored");
            continue;
        }
        if (CutToChars(name, TERMINAL_NAME_MAX_CHARS)) {
            warnings.push_back(where + ": the name is longer than " +
                               std::to_string(TERMINAL_NAME_MAX_CHARS) + " characters; cut to \"" +
                               name + "\"");
        }
        read.names_.try_emplace(address, std::move(name));
    }
    return read;
}

}  // namespace zel
