#include "server/ServerList.h"

#include "common/Text.h"
#include "server/ServerError.h"

namespace zel {

std::string ServerLocation::ToString() const {
    return (Https ? std::string(HTTPS_SCHEME) : std::string()) + Address.ToString();
}

std::vector<ServerLocation> ParseServerList(std::string_view text, std::uint16_t defaultPort) {
    std::vector<ServerLocation> list;
    const bool several = text.find(',') != std::string_view::npos;
    std::size_t start = 0;
    for (;;) {
        const auto comma = text.find(',', start);
        std::string_view item = text.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) {
            item.remove_prefix(1);
        }
        if (several && item.find_first_not_of(" \t\r\n") == std::string_view::npos) {
            throw ServerError("server address list \"" + std::string(text) +
                              "\": an empty address between commas");
        }
        ServerLocation location;
        if (EqualsIgnoringCase(item.substr(0, HTTPS_SCHEME.size()), HTTPS_SCHEME)) {
            location.Https = true;
            item.remove_prefix(HTTPS_SCHEME.size());
            if (Trim(item, " \t\r\n").empty()) {
                throw ServerError("server address \"" + std::string(text) +
                                  "\": the host is missing after https://");
            }
        } else if (item.find("://") != std::string_view::npos) {
            throw ServerError("server address \"" + std::string(item) +
                              "\": only https:// may come before the host (plain HTTP has "
                              "no prefix)");
        }
        location.Address = ParseServerAddress(item, defaultPort);
        list.push_back(std::move(location));
        if (comma == std::string_view::npos) {
            return list;
        }
        start = comma + 1;
    }
}

}  // namespace zel
