// MemoryBudget: the bytes that request bodies and unsent answers may hold,
// all connections together. Past it a new one is refused (the connection
// answers 503), with one notice per episode; memory released in bulk is
// given back to the system once the load that took it is gone.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "common/EpisodeNotice.h"

namespace zel {

class MemoryBudget {
public:
    using Notice = std::function<void(const std::string& line)>;

    MemoryBudget(std::size_t bytes, Notice notice);

    // Any thread: takes bytes of the budget; false (and a notice, once per
    // episode) when they are not there.
    bool Charge(std::size_t bytes);
    void Release(std::size_t bytes);
    // Hands freed memory back to the system when much was released and
    // little is held; called now and then.
    void Trim();

private:
    std::size_t budget_;
    Notice notice_;
    std::atomic<std::size_t> inUse_{0};
    std::atomic<std::size_t> released_{0};
    std::mutex mutex_;  // for full_
    EpisodeNotice full_;
};

}  // namespace zel
