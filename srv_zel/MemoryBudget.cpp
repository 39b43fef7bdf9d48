#include "srv_zel/MemoryBudget.h"

#include <malloc.h>

#include <utility>

namespace zel {

namespace {

// Memory is given back to the system after this much was released.
constexpr std::size_t TRIM_AFTER_BYTES = 8u << 20;

}  // namespace

MemoryBudget::MemoryBudget(std::size_t bytes, Notice notice)
    : budget_(bytes), notice_(std::move(notice)) {}

bool MemoryBudget::Charge(std::size_t bytes) {
    std::size_t used = inUse_.load();
    do {
        if (used + bytes > budget_) {
            std::optional<std::string> line;
            {
                const std::lock_guard lock(mutex_);
                line = full_.Begin("request bodies and answers hold the memory budget of " +
                                       std::to_string(budget_ >> 20) +
                                       " MiB: new ones are answered 503",
                                   EpisodeNotice::Clock::now());
            }
            if (line && notice_) {
                notice_(*line);
            }
            return false;
        }
    } while (!inUse_.compare_exchange_weak(used, used + bytes));
    return true;
}

void MemoryBudget::Release(std::size_t bytes) {
    if (bytes == 0) {
        return;
    }
    if (inUse_.fetch_sub(bytes) - bytes < budget_ / 2) {
        const std::lock_guard lock(mutex_);
        full_.End();
    }
    released_ += bytes;
}

void MemoryBudget::Trim() {
    if (released_ >= TRIM_AFTER_BYTES && inUse_ < TRIM_AFTER_BYTES) {
        released_ = 0;
        malloc_trim(0);
    }
}

}  // namespace zel
