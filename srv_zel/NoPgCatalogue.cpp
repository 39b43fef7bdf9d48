// PgCatalogue where srv_zel is built without libpq: a postgresql:// --db is
// refused with the reason.
#include <stdexcept>

#include "srv_zel/PgCatalogue.h"
#include "srv_zel/ReplicaWatch.h"

namespace zel {

namespace {

[[noreturn]] void Unsupported() {
    throw std::runtime_error(
        "this srv_zel was built without PostgreSQL (libpq): use a SQLite file");
}

}  // namespace

std::unique_ptr<CatalogueStore> OpenPgCatalogueStore(const std::string&) {
    Unsupported();
}

std::unique_ptr<CatalogueWriter> OpenPgCatalogueWriter(const std::string&) {
    Unsupported();
}

// Without libpq no database is a standby.
std::unique_ptr<ReplicaWatch> WatchStandby(const std::string&,
                                           std::function<void(const std::string&)>,
                                           std::chrono::milliseconds) {
    return nullptr;
}

}  // namespace zel
