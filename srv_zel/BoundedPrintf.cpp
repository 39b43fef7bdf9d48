#include "srv_zel/BoundedPrintf.h"

#include <sqlite3.h>

#include <cstdlib>
#include <string>

#include "srv_zel/Sqlite.h"

namespace zel {

namespace {

// SQLite's own printf, on a private in-memory connection.
struct Delegate {
    sqlite3* db = nullptr;
    int maxLength = 0;
    ~Delegate() { sqlite3_close_v2(db); }
};

// The largest width or precision the format asks for; -1 when none.
long long WidestField(sqlite3_value** argv, int argc) {
    const auto* format = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    if (format == nullptr) {
        return -1;
    }
    int next = 1;  // the argument the next conversion takes
    long long widest = -1;
    const auto take = [&]() -> long long {
        return next < argc ? std::llabs(sqlite3_value_int64(argv[next++])) : 0;
    };
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        if (*++p == '%') {
            continue;
        }
        while (*p != '\0' && std::string_view("-+ #0,!").find(*p) != std::string_view::npos) {
            ++p;
        }
        for (int part = 0; part < 2; ++part) {  // width, then precision
            if (part == 1) {
                if (*p != '.') {
                    break;
                }
                ++p;
            }
            long long n = 0;
            if (*p == '*') {
                n = take();
                ++p;
            }
            while (*p >= '0' && *p <= '9') {
                n = n > (1LL << 40) ? n : n * 10 + (*p++ - '0');
            }
            widest = n > widest ? n : widest;
        }
        while (*p == 'l') {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        ++next;  // the value this conversion formats
    }
    return widest;
}

void BoundedPrintf(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    auto* delegate = static_cast<Delegate*>(sqlite3_user_data(ctx));
    if (argc == 0) {
        sqlite3_result_null(ctx);
        return;
    }
    if (WidestField(argv, argc) > delegate->maxLength) {
        sqlite3_result_error(ctx,
                             ("printf: a width or precision over " +
                              std::to_string(delegate->maxLength) + ", the longest value allowed")
                                 .c_str(),
                             -1);
        return;
    }
    std::string sql = "SELECT printf(?1";
    for (int i = 2; i <= argc; ++i) {
        sql += ", ?" + std::to_string(i);
    }
    sql += ")";
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(delegate->db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_result_error(ctx, sqlite3_errmsg(delegate->db), -1);
        return;
    }
    for (int i = 0; i < argc; ++i) {
        sqlite3_bind_value(stmt, i + 1, argv[i]);
    }
    if (sqlite3_step(stmt) == SQLITE_ROW) {
        sqlite3_result_value(ctx, sqlite3_column_value(stmt, 0));
    } else {
        sqlite3_result_error(ctx, sqlite3_errmsg(delegate->db), -1);
    }
    sqlite3_finalize(stmt);
}

}  // namespace

void InstallBoundedPrintf(sqlite3* db) {
    auto* delegate = new Delegate;  // owned by the printf function from here
    delegate->maxLength = sqlite3_limit(db, SQLITE_LIMIT_LENGTH, -1);
    int rc = sqlite3_open_v2(":memory:", &delegate->db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_limit(delegate->db, SQLITE_LIMIT_LENGTH, delegate->maxLength);
        rc = sqlite3_create_function_v2(db, "printf", -1, SQLITE_UTF8, delegate, BoundedPrintf,
                                        nullptr, nullptr,
                                        [](void* d) { delete static_cast<Delegate*>(d); });
    } else {
        delete delegate;
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_create_function_v2(db, "format", -1, SQLITE_UTF8, delegate, BoundedPrintf,
                                        nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        throw SqliteError(std::string("cannot bound printf: ") + sqlite3_errstr(rc), rc);
    }
}

}  // namespace zel
