#include "Catalogue.h"

#include <sqlite3.h>

#include <fstream>

#include "srv_zel/Schema.h"

namespace zel::test {

void ExecSql(const std::string& db, const std::string& sql) {
    Database d = OpenCatalogueForWriting(db);
    d.Exec(sql);
}

double PriceOf7501(IData_Srv_Zel& object) {
    double code = 7501, precio = 0, d = 0, mult = 1;
    std::u16string descrip;
    std::int8_t a = 0, b = 0;
    std::int16_t imps = 0;
    std::int32_t bans = 0;
    object.BuscaPrecio(code, 0, precio, descrip, a, b, d, d, d, imps, mult, bans, d);
    return precio;
}

std::string Snapshot(const std::string& db) {
    Database d(db, SQLITE_OPEN_READONLY);
    std::string text;
    for (const char* sql :
         {"SELECT * FROM Articulos ORDER BY Codigo", "SELECT * FROM Impuestos ORDER BY Numero",
          "SELECT name, sql FROM sqlite_master ORDER BY name", "PRAGMA user_version",
          "PRAGMA journal_mode"}) {
        Statement s(d, sql);
        while (s.Step()) {
            for (int c = 0; c < sqlite3_column_count(s.Handle()); ++c) {
                const auto* v = sqlite3_column_text(s.Handle(), c);
                text += v ? reinterpret_cast<const char*>(v) : "NULL";
                text += '|';
            }
            text += '\n';
        }
    }
    return text;
}

RunningServer::RunningServer(const std::string& db, QueryLimits limits,
                             const std::function<void(ServeOptions&)>& adjust)
    : server_([&] {
          ServeOptions o;
          o.DbPath = db;
          o.Listen = {"127.0.0.1", 0};
          o.Threads = 4;
          o.Limits = limits;
          o.Log = [this](const std::string& line) {
              const std::lock_guard lock(mutex_);
              lines_.push_back(line);
          };
          if (adjust) {
              adjust(o);
          }
          return o;
      }()),
      thread_([this] { server_.Run(); }) {}

RunningServer::~RunningServer() {
    server_.Stop();
    thread_.join();
}

std::vector<std::string> RunningServer::LogLines() {
    const std::lock_guard lock(mutex_);
    return lines_;
}

}  // namespace zel::test
