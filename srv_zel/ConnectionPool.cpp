#include "srv_zel/ConnectionPool.h"

namespace zel {

ConnectionPool::Lease::~Lease() {
    if (session_ && session_->Healthy()) {
        pool_->Return(std::move(session_));
    }
}

ConnectionPool::Lease ConnectionPool::Acquire() {
    {
        const std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            auto session = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(session));
        }
    }
    return Lease(*this, store_.OpenSession());
}

void ConnectionPool::Tidy(std::chrono::steady_clock::time_point now) {
    const std::lock_guard lock(mutex_);
    for (const auto& session : idle_) {
        session->Tidy(now);
    }
}

void ConnectionPool::Return(std::unique_ptr<CatalogueSession> session) {
    const std::lock_guard lock(mutex_);
    idle_.push_back(std::move(session));
}

}  // namespace zel
