#include "srv_zel/ConnectionPool.h"

#include "srv_zel/Schema.h"

namespace zel {

struct ConnectionPool::Slot {
    explicit Slot(const std::string& path) : db(OpenCatalogueReadOnly(path)) {}
    Database db;
    std::unique_ptr<ArticleLookup> lookup;
};

ConnectionPool::ConnectionPool(std::string path) : path_(std::move(path)) {}
ConnectionPool::~ConnectionPool() = default;

ConnectionPool::Lease::Lease(ConnectionPool& pool, std::unique_ptr<Slot> slot)
    : pool_(&pool), slot_(std::move(slot)) {}

ConnectionPool::Lease::~Lease() {
    if (slot_) {
        pool_->Return(std::move(slot_));
    }
}

Database& ConnectionPool::Lease::Db() {
    return slot_->db;
}

ArticleLookup& ConnectionPool::Lease::Lookup() {
    if (!slot_->lookup) {
        slot_->lookup = std::make_unique<ArticleLookup>(slot_->db);
    }
    return *slot_->lookup;
}

ConnectionPool::Lease ConnectionPool::Acquire() {
    {
        const std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            auto slot = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(slot));
        }
    }
    return Lease(*this, std::make_unique<Slot>(path_));
}

void ConnectionPool::Return(std::unique_ptr<Slot> slot) {
    const std::lock_guard lock(mutex_);
    idle_.push_back(std::move(slot));
}

}  // namespace zel
