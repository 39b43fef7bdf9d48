// QueryProvider: the providers of AS_GetRecords. "QueryMultiaProvider" runs
// its command text as one read-only SELECT on a read-only connection and
// returns every row in the order SQLite produces them.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string_view>

#include "server/RowSet.h"
#include "srv_zel/Sqlite.h"

namespace zel {

class CancelSignal;

// A query stopped because nobody waits for its rows any more (its client
// has gone, or the server stops): neither the request's fault nor the
// database's.
class QueryCancelled : public std::runtime_error {
public:
    QueryCancelled() : std::runtime_error("the query was stopped: its client has gone") {}
};

struct QueryLimits {
    std::chrono::milliseconds MaxTime{4000};  // below the gateway's 5 s wait
    std::size_t MaxRows = 100'000;
    std::size_t MaxBytes = 16u << 20;  // of all values together, roughly as sent
    // Queries run at once; more wait, up to MaxQueued, and beyond that are refused.
    std::size_t MaxConcurrent = 2;
    std::size_t MaxQueued = 8;
};

// Refuses (RequestError) a provider other than QueryMultiaProvider.
void CheckProvider(std::string_view providerName);

// The command to run for commandText: the gateway's tax query gets its rows
// ordered by tax number, which neither store promises for a plain SELECT
// (rows move when they are updated); any other text is run as it is.
std::string OrderedCommandText(std::string_view commandText);

// Collects the rows of a query within its limits.
class RowCollector {
public:
    RowCollector(RowSet& rows, const QueryLimits& limits) : rows_(rows), limits_(limits) {}
    // Throws RequestError when the row goes over the row or size limit.
    void Add(std::vector<FieldValue> row);

private:
    RowSet& rows_;
    const QueryLimits& limits_;
    std::size_t bytes_ = 0;
};

// Throws RequestError (the command is refused, nothing ran or changed) for
// an unknown provider, an empty command, more than one statement, anything
// but reading, a query over its limits, a BLOB value or SQL that SQLite
// rejects; SqliteError when the database itself fails (unreadable, corrupt);
// QueryCancelled when gone (may be null) is cancelled while the query runs.
RowSet RunProviderQuery(Database& db, std::string_view providerName, std::string_view commandText,
                        const QueryLimits& limits, CancelSignal* gone = nullptr);

}  // namespace zel
