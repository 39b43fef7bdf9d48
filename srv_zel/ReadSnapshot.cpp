#include "srv_zel/ReadSnapshot.h"

#include <sqlite3.h>

#include "srv_zel/Schema.h"

namespace zel {

ReadSnapshot::ReadSnapshot(Database& db) : db_(db) {
    AllowOwnTransactions(db_, &ownTurn_);
}

ReadSnapshot::~ReadSnapshot() {
    End();
    AllowOwnTransactions(db_, nullptr);
}

void ReadSnapshot::Enter(Clock::time_point now) {
    if (since_ && now - *since_ < MAX_AGE && !sqlite3_get_autocommit(db_.Handle())) {
        return;
    }
    End();
    Run("BEGIN");
    since_ = now;
}

void ReadSnapshot::EndIfOlder(Clock::time_point now) noexcept {
    if (since_ && now - *since_ >= MAX_AGE) {
        End();
    }
}

void ReadSnapshot::End() noexcept {
    since_.reset();
    if (sqlite3_get_autocommit(db_.Handle())) {
        return;  // none open, or SQLite already ended it after an error
    }
    try {
        Run("COMMIT");
    } catch (const SqliteError&) {
        // A read transaction has nothing to keep: dropping it is as good.
        try {
            Run("ROLLBACK");
        } catch (const SqliteError&) {
            // Then SQLite has no transaction left to drop.
        }
    }
}

void ReadSnapshot::Run(const char* sql) {
    struct Turn {
        bool& on;
        explicit Turn(bool& flag) : on(flag) { on = true; }
        ~Turn() { on = false; }
    } turn(ownTurn_);
    db_.Exec(sql);
}

}  // namespace zel
