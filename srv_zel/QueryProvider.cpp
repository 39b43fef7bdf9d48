#include "srv_zel/QueryProvider.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>

#include <sqlite3.h>

#include "common/ServerNames.h"
#include "common/Text.h"
#include "srv_zel/CancelSignal.h"
#include "srv_zel/RequestError.h"

namespace zel {

namespace {

constexpr int PROGRESS_STEP = 1000;         // virtual-machine steps between deadline checks
constexpr std::size_t ROW_OVERHEAD = 3;     // "[],"
constexpr std::size_t VALUE_OVERHEAD = 24;  // a number or the quotes of a text

struct Finalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, Finalizer>;

// A failure of the database itself rather than of the command text.
bool IsServerFault(int code) {
    switch (code & 0xFF) {
        case SQLITE_IOERR:
        case SQLITE_CORRUPT:
        case SQLITE_CANTOPEN:
        case SQLITE_NOMEM:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_NOTADB:
        case SQLITE_FULL:
            return true;
        default:
            return false;
    }
}

[[noreturn]] void Fail(Database& db, int code, const std::string& why) {
    if (IsServerFault(code)) {
        throw SqliteError("database \"" + db.Path() + "\": " + why, code & 0xFF);
    }
    throw RequestError("query refused: " + why);
}

// The type a column declares, in the row set's words.
std::string DeclaredType(const char* decl) {
    if (decl == nullptr || *decl == '\0') {
        return "any";
    }
    std::string t;
    for (const char* p = decl; *p; ++p) {
        t += static_cast<char>((*p >= 'a' && *p <= 'z') ? *p - 'a' + 'A' : *p);
    }
    const auto has = [&t](std::string_view s) { return t.find(s) != std::string::npos; };
    if (has("INT")) {
        return "integer";
    }
    if (has("CHAR") || has("CLOB") || has("TEXT")) {
        return "text";
    }
    if (has("BLOB")) {
        return "any";
    }
    if (has("REAL") || has("FLOA") || has("DOUB")) {
        return "float";
    }
    return "numeric";
}

// Stops a running statement at its deadline, or once its client has gone.
// The stop only raises a flag that the progress handler reads, rather than
// calling sqlite3_interrupt from the thread that sees the client go: SQLite
// forgets an interrupt that comes before the first step, and the flag, read
// every PROGRESS_STEP steps beside the clock, is never lost.
class QueryGuard {
public:
    QueryGuard(sqlite3* db, std::chrono::milliseconds limit)
        : db_(db), deadline_(std::chrono::steady_clock::now() + limit) {
        sqlite3_progress_handler(db_, PROGRESS_STEP, &QueryGuard::Check, this);
    }
    ~QueryGuard() { sqlite3_progress_handler(db_, 0, nullptr, nullptr); }
    QueryGuard(const QueryGuard&) = delete;
    QueryGuard& operator=(const QueryGuard&) = delete;
    void Cancel() { cancelled_ = true; }
    bool Cancelled() const { return cancelled_; }
    bool Expired() const { return expired_; }

private:
    static int Check(void* self) {
        auto* guard = static_cast<QueryGuard*>(self);
        if (guard->cancelled_) {
            return 1;
        }
        guard->expired_ = std::chrono::steady_clock::now() > guard->deadline_;
        return guard->expired_ ? 1 : 0;
    }
    sqlite3* db_;
    std::chrono::steady_clock::time_point deadline_;
    std::atomic<bool> cancelled_{false};
    bool expired_ = false;
};

// The first word of the statement in upper case, past blanks and comments.
std::string FirstKeyword(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        } else if (text.substr(i, 2) == "--") {
            i = std::min(text.find('\n', i), text.size());
        } else if (text.substr(i, 2) == "/*") {
            const auto end = text.find("*/", i + 2);
            i = end == std::string_view::npos ? text.size() : end + 2;
        } else {
            break;
        }
    }
    std::string word;
    while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) {
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i++])));
    }
    return word;
}

// Prepares the one statement of the text; refuses a second one, even one
// that SQLite would refuse on its own.
StatementPtr PrepareSingle(Database& db, std::string_view text) {
    const char* const end = text.data() + text.size();
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    int rc =
        sqlite3_prepare_v2(db.Handle(), text.data(), static_cast<int>(text.size()), &raw, &tail);
    StatementPtr stmt(raw);
    if ((rc & 0xFF) == SQLITE_AUTH) {
        throw RequestError(
            "query refused: only reading is allowed (no writes, PRAGMA, ATTACH or transactions)");
    }
    if (rc != SQLITE_OK) {
        Fail(db, rc, sqlite3_errmsg(db.Handle()));
    }
    if (!stmt) {
        throw RequestError("query refused: the command text holds no statement");
    }
    // What follows may only be blanks, comments and semicolons.
    while (tail != nullptr && tail < end) {
        sqlite3_stmt* next = nullptr;
        const char* after = nullptr;
        rc = sqlite3_prepare_v2(db.Handle(), tail, static_cast<int>(end - tail), &next, &after);
        const StatementPtr extra(next);
        if (rc != SQLITE_OK || extra) {
            throw RequestError("query refused: the command text holds more than one statement");
        }
        if (after == tail) {
            break;
        }
        tail = after;
    }
    if (!sqlite3_stmt_readonly(stmt.get())) {
        throw RequestError("query refused: the statement would change the database");
    }
    // Some statements that are not queries pass both checks (REINDEX, which
    // would rebuild every index, or EXPLAIN): only queries run.
    const std::string keyword = FirstKeyword(text);
    if (keyword != "SELECT" && keyword != "WITH" && keyword != "VALUES") {
        throw RequestError("query refused: " + keyword +
                           " is not a query (only SELECT, WITH and VALUES run)");
    }
    return stmt;
}

// Words of the text in lower case, with every run of blanks as one space
// and a final semicolon dropped.
std::string Normalised(std::string_view text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = !out.empty();
            continue;
        }
        if (blank) {
            out += ' ';
            blank = false;
        }
        out += AsciiLower(c);
    }
    if (!out.empty() && out.back() == ';') {
        out.pop_back();
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

}  // namespace

void CheckProvider(std::string_view providerName) {
    if (providerName != TAX_PROVIDER) {
        throw RequestError("unknown provider \"" + std::string(providerName) +
                           "\" (this server has " + std::string(TAX_PROVIDER) + ")");
    }
}

std::string OrderedCommandText(std::string_view commandText) {
    if (Normalised(commandText) == Normalised(TAX_COMMAND)) {
        return std::string(TAX_COMMAND) + " ORDER BY Numero";
    }
    return std::string(commandText);
}

void RowCollector::Add(std::vector<FieldValue> row) {
    if (rows_.Rows.size() == limits_.MaxRows) {
        throw RequestError("query refused: more than " + std::to_string(limits_.MaxRows) + " rows");
    }
    bytes_ += ROW_OVERHEAD;
    for (const auto& v : row) {
        bytes_ += VALUE_OVERHEAD;
        if (const auto* text = std::get_if<std::string>(&v)) {
            bytes_ += text->size();
        }
    }
    if (bytes_ > limits_.MaxBytes) {
        throw RequestError("query refused: the rows exceed " + std::to_string(limits_.MaxBytes) +
                           " bytes");
    }
    rows_.Rows.push_back(std::move(row));
}

RowSet RunProviderQuery(Database& db, std::string_view providerName, std::string_view commandText,
                        const QueryLimits& limits, CancelSignal* gone) {
    CheckProvider(providerName);
    const StatementPtr stmt = PrepareSingle(db, OrderedCommandText(commandText));
    sqlite3_stmt* s = stmt.get();

    RowSet rows;
    const int columns = sqlite3_column_count(s);
    for (int c = 0; c < columns; ++c) {
        rows.Columns.push_back(
            {sqlite3_column_name(s, c), DeclaredType(sqlite3_column_decltype(s, c))});
    }
    QueryGuard guard(db.Handle(), limits.MaxTime);
    CancelSignal unwatched;
    const auto stop = (gone != nullptr ? *gone : unwatched).OnCancel([&guard] { guard.Cancel(); });
    RowCollector collector(rows, limits);
    for (;;) {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_DONE) {
            break;
        }
        if (rc != SQLITE_ROW) {
            if (guard.Cancelled()) {
                throw QueryCancelled();
            }
            if (guard.Expired()) {
                throw RequestError("query refused: it ran longer than " +
                                   std::to_string(limits.MaxTime.count()) + " ms");
            }
            Fail(db, rc, sqlite3_errmsg(db.Handle()));
        }
        std::vector<FieldValue> row;
        row.reserve(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            switch (sqlite3_column_type(s, c)) {
                case SQLITE_INTEGER:
                    row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(s, c)));
                    break;
                case SQLITE_FLOAT:
                    row.emplace_back(sqlite3_column_double(s, c));
                    break;
                case SQLITE_TEXT:
                    row.emplace_back(
                        std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, c)),
                                    static_cast<std::size_t>(sqlite3_column_bytes(s, c))));
                    break;
                case SQLITE_BLOB:
                    throw RequestError("query refused: column \"" + rows.Columns[c].Name +
                                       "\" holds binary data, which a row set does not carry");
                default:
                    row.emplace_back(std::monostate{});
                    break;
            }
        }
        collector.Add(std::move(row));
    }
    return rows;
}

}  // namespace zel
