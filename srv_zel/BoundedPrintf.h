// BoundedPrintf: printf() and format() for a connection that answers
// outside queries. SQLite's own printf builds a padded value one character
// at a time whatever the length limit (printf('%.*c', 1000000000, 'x')
// takes seconds and cannot be interrupted), so these refuse a width or a
// precision over the connection's length limit before anything is built and
// hand every other call to SQLite's own printf.
#pragma once

struct sqlite3;

namespace zel {

// Replaces printf and format on db; throws SqliteError when it cannot.
void InstallBoundedPrintf(sqlite3* db);

}  // namespace zel
