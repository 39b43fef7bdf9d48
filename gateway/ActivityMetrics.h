// ActivityMetrics: the monitor's series of single terminals and codes, in
// the gateway's prometheus-cpp registry.
//   zel_terminal_connected{terminal, address}          1 connected, 0 gone
//   zel_terminal_last_seen_seconds{terminal, address}  its last connection,
//                                                       read or leaving
// one pair per terminal the roster remembers (at most REMEMBERED_TERMINALS),
// moved as the roster changes; `terminal` is its name, else its address.
//   zel_not_found_code_scans{code}   scans answered not found in the last
//                                    24 h, of the NOT_FOUND_SERIES codes
//                                    scanned most, set when asked.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "gateway/TerminalActivity.h"
#include "gateway/TerminalNames.h"

namespace prometheus {
class Gauge;
template <typename T>
class Family;
class Registry;
}  // namespace prometheus

namespace zel {

inline constexpr std::size_t NOT_FOUND_SERIES = 20;

class ActivityMetrics : public RosterObserver {
public:
    // The registry and the names outlive this.
    ActivityMetrics(prometheus::Registry& registry, const TerminalNames& names);

    void Changed(const RosterEntry& terminal) override;
    void Forgotten(const std::string& address) override;
    // The codes not found now, the most scanned first (only the first
    // NOT_FOUND_SERIES are series).
    void ShowNotFound(const std::vector<NotFoundCode>& codes);

private:
    struct Pair {
        prometheus::Gauge* Connected;
        prometheus::Gauge* LastSeen;
    };

    const TerminalNames& names_;
    prometheus::Family<prometheus::Gauge>& connected_;
    prometheus::Family<prometheus::Gauge>& lastSeen_;
    prometheus::Family<prometheus::Gauge>& notFound_;
    std::map<std::string, Pair, std::less<>> terminals_;
    std::map<std::string, prometheus::Gauge*> codes_;
};

}  // namespace zel
