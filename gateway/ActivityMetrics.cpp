#include "gateway/ActivityMetrics.h"

#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <set>

namespace zel {

ActivityMetrics::ActivityMetrics(prometheus::Registry& registry, const TerminalNames& names)
    : names_(names),
      connected_(prometheus::BuildGauge()
                     .Name("zel_terminal_connected")
                     .Help("1 while the terminal is connected, 0 once it is gone (for a day)")
                     .Register(registry)),
      lastSeen_(prometheus::BuildGauge()
                    .Name("zel_terminal_last_seen_seconds")
                    .Help("When the terminal last connected, sent or left, in seconds since the "
                          "epoch")
                    .Register(registry)),
      notFound_(prometheus::BuildGauge()
                    .Name("zel_not_found_code_scans")
                    .Help("Scans answered not found in the last 24 hours, of the codes scanned "
                          "most")
                    .Register(registry)) {}

void ActivityMetrics::Changed(const RosterEntry& terminal) {
    auto found = terminals_.find(terminal.Address);
    if (found == terminals_.end()) {
        const std::string_view name = names_.NameOf(terminal.Address);
        const prometheus::Labels labels{
            {"terminal", name.empty() ? terminal.Address : std::string(name)},
            {"address", terminal.Address}};
        found =
            terminals_
                .emplace(terminal.Address, Pair{&connected_.Add(labels), &lastSeen_.Add(labels)})
                .first;
    }
    found->second.Connected->Set(terminal.Open > 0 ? 1 : 0);
    found->second.LastSeen->Set(
        std::chrono::duration<double>(terminal.LastSeen.time_since_epoch()).count());
}

void ActivityMetrics::Forgotten(const std::string& address) {
    if (const auto found = terminals_.find(address); found != terminals_.end()) {
        connected_.Remove(found->second.Connected);
        lastSeen_.Remove(found->second.LastSeen);
        terminals_.erase(found);
    }
}

void ActivityMetrics::ShowNotFound(const std::vector<NotFoundCode>& codes) {
    std::set<std::string> shown;
    for (std::size_t i = 0; i < codes.size() && i < NOT_FOUND_SERIES; ++i) {
        const NotFoundCode& code = codes[i];
        shown.insert(code.Code);
        auto& gauge = codes_[code.Code];
        if (gauge == nullptr) {
            gauge = &notFound_.Add({{"code", code.Code}});
        }
        gauge->Set(static_cast<double>(code.Count));
    }
    std::erase_if(codes_, [&](const auto& entry) {
        if (shown.contains(entry.first)) {
            return false;
        }
        notFound_.Remove(entry.second);
        return true;
    });
}

}  // namespace zel
