#include "Catalogue.h"

#include <sqlite3.h>

#include <fstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

#include "common/ServerNames.h"
#include "srv_zel/CatalogueStore.h"
#ifdef ZEL_WITH_POSTGRESQL
#include "srv_zel/Postgres.h"
#endif
#include "srv_zel/Schema.h"

namespace zel::test {

Certificates::Certificates() {
    const std::string d = dir_.Path().string();
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    std::string script = "set -e; cd '" + d + "'\n";
    for (const char* ca : {"ca", "otra-ca"}) {
        script += std::string("openssl req -x509") + key + " -keyout " + ca + ".key -out " + ca +
                  ".pem -subj /CN=" + ca + "\n";
    }
    for (const auto& [name, san] :
         {std::pair{"srv", "IP:127.0.0.1"}, std::pair{"otro-nombre", "DNS:otro.example"}}) {
        script += std::string("openssl req") + key + " -keyout " + name + ".key -out " + name +
                  ".csr -subj /CN=" + name + "\n";
        script += std::string("echo subjectAltName=") + san + " >" + name + ".ext\n";
        script += std::string("openssl x509 -req -days 2 -in ") + name +
                  ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -extfile " + name + ".ext -out " +
                  name + ".pem\n";
    }
    const std::string file = dir_.Write("make.sh", script);
    ok_ = std::system(("sh '" + file + "' >/dev/null 2>&1").c_str()) == 0;
}

std::string StoreName(const ::testing::TestParamInfo<Store>& info) {
    return info.param == Store::Sqlite ? "Sqlite" : "Postgres";
}

TestCatalogue::TestCatalogue(Store store) {
    if (store == Store::Sqlite) {
        db_ = dir_.File("tienda.db");
        OpenCatalogueWriter(db_);
        return;
    }
#ifdef ZEL_WITH_POSTGRESQL
    const char* cluster = std::getenv("ZEL_TEST_PG");
    if (cluster == nullptr || *cluster == '\0') {
        return;
    }
    static std::atomic<int> count{0};
    admin_ = cluster;
    name_ = "zel_" + std::to_string(getpid()) + "_" + std::to_string(++count);
    PgConnection(admin_).Exec("CREATE DATABASE " + name_);
    // The cluster's URI with the database's name in place of the path.
    const auto path = admin_.find('/', admin_.find("://") + 3);
    const auto query = admin_.find('?');
    db_ = admin_.substr(0, path) + "/" + name_ +
          (query == std::string::npos ? "" : admin_.substr(query));
    OpenCatalogueWriter(db_);
#endif
}

TestCatalogue::~TestCatalogue() {
#ifdef ZEL_WITH_POSTGRESQL
    if (!name_.empty()) {
        try {
            PgConnection(admin_).Exec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
#endif
}

BuscaPrecioCall LookUp(IData_Srv_Zel& object, double code, std::int8_t list,
                       const std::string& descrip) {
    BuscaPrecioCall call;
    call.Codigo = code;
    call.No_Precio = list;
    call.Descrip = descrip;
    call.Mult = 1.0;
    const std::string answer =
        object.Call(IData_Srv_Zel::Operation::BuscaPrecio, EncodeBuscaPrecioRequest(call));
    try {
        return DecodeBuscaPrecioReply(answer);
    } catch (const WireError& e) {
        throw ServerError(std::string("BuscaPrecio: answer: ") + e.what(),
                          ServerFailure::BadAnswer);
    }
}

double PriceOf(IData_Srv_Zel& object, double code) {
    return LookUp(object, code).Precio;
}

void ExecSql(const std::string& db, const std::string& sql) {
    OpenCatalogueWriter(db)->Exec(sql);
}

std::string Snapshot(const std::string& db) {
    std::string text;
#ifdef ZEL_WITH_POSTGRESQL
    if (IsPostgresUri(db)) {
        PgConnection pg(db);
        for (const char* sql :
             {"SELECT * FROM Articulos ORDER BY Codigo", "SELECT * FROM Impuestos ORDER BY Numero",
              "SELECT table_name, column_name, data_type FROM information_schema.columns "
              "WHERE table_schema = 'public' ORDER BY 1, 2",
              "SELECT relname, relkind FROM pg_class "
              "WHERE relnamespace = 'public'::regnamespace ORDER BY 1",
              "SELECT rolname FROM pg_roles ORDER BY 1",
              "SELECT grantee, table_name, privilege_type FROM "
              "information_schema.role_table_grants WHERE table_schema = 'public' "
              "ORDER BY 1, 2, 3"}) {
            try {
                const PgResult r = pg.Exec(sql);
                for (int row = 0; row < r.Rows(); ++row) {
                    for (int c = 0; c < r.Columns(); ++c) {
                        text += r.IsNull(row, c) ? "NULL" : std::string(r.Value(row, c));
                        text += '|';
                    }
                    text += '\n';
                }
            } catch (const PgError& e) {
                text += std::string(e.what()) + '\n';  // a table that is not there
            }
        }
        return text;
    }
#endif
    Database d(db, SQLITE_OPEN_READONLY);
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

Client::Client(const ServerAddress& to) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(to.Port);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

Client::~Client() {
    close(fd_);
}

bool Client::Send(std::string_view bytes) const {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

std::string Client::ReadAll() const {
    std::string got;
    char buf[4096];
    pollfd p{fd_, POLLIN, 0};
    while (poll(&p, 1, 10'000) == 1) {
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

void Client::ResetOnClose() const {
    const linger now{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

std::string EndlessQueryRequest() {
    const std::string body =
        EncodeGetRecordsRequest({std::string(TAX_PROVIDER), std::string(ENDLESS_QUERY)});
    return "POST " + std::string(GET_RECORDS_PATH) +
           " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool LogHas(RunningServer& server, const std::string& text) {
    for (int i = 0; i < 500; ++i) {
        for (const auto& line : server.LogLines()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace zel::test
