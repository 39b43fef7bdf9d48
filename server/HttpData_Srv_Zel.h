// HttpData_Srv_Zel: a server object of the application server reached over
// HTTP/JSON (docs/app-server-api.md), for the gateway's start-up and for
// programs that call the server one call at a time. Creating one is the
// handshake that proves a server of the class answers at the address; the
// calls after it are stateless, so a server that restarts is served again by
// the next call.
//
// Calls block, each within ClientTimeouts::Read, its connect at most
// ClientTimeouts::Connect. The connection is kept alive between calls and
// renewed when it went stale.
//
// Given several locations, the handshake and each call use the first that
// answers: a call that cannot connect (refused, unreachable, connect time
// limit), or whose new connection is closed unanswered (a server going
// down), turns to the next before it fails, and the one that answered is
// kept until it fails in turn.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "common/ServerNames.h"
#include "server/HttpExchange.h"
#include "server/IData_Srv_Zel.h"
#include "server/ServerAddress.h"
#include "server/ServerList.h"

namespace zel {

struct ClientTimeouts {
    std::chrono::milliseconds Connect{3000};
    std::chrono::milliseconds Read{5000};
};

class HttpData_Srv_Zel final : public IData_Srv_Zel {
public:
    // Performs the handshake for className; throws ServerError when nothing
    // answers, the answer is not a success or names another class.
    explicit HttpData_Srv_Zel(ServerAddress address,
                              std::string className = std::string(SERVER_CLASS),
                              ClientTimeouts timeouts = {});
    HttpData_Srv_Zel(std::vector<ServerLocation> locations, std::string className,
                     ClientTimeouts timeouts, ClientCredentials credentials);
    ~HttpData_Srv_Zel() override;
    HttpData_Srv_Zel(const HttpData_Srv_Zel&) = delete;
    HttpData_Srv_Zel& operator=(const HttpData_Srv_Zel&) = delete;

    RowSet AS_GetRecords(const std::string& providerName, const std::string& commandText) override;

    // Out and in-out parameters are written only when the whole call succeeds.
    std::int8_t BuscaPrecio(double& Codigo, std::int8_t No_Precio, double& Precio,
                            std::u16string& Descrip, std::int8_t& Ban_Imps, std::int8_t& Tiene_Ofer,
                            double& Fec_ini_ofer, double& Fec_fin_ofer, double& Pct_ofer,
                            std::int16_t& Imps_Act, double& Mult, std::int32_t& Bans_Art,
                            double& Precio_Sug) override;

    void Hangup() override;

    // The location in use.
    const ServerAddress& Address() const { return locations_[current_].Address; }
    const std::string& ClassName() const { return className_; }

private:
    // The body of a 2xx answer (a GET when `body` is empty); any other
    // outcome throws ServerError.
    std::string Send(std::string_view operation, const std::string& path, std::string body);
    [[noreturn]] void Fail(std::string_view operation, const std::string& what,
                           ServerFailure kind = ServerFailure::BadAnswer) const;

    std::vector<ServerLocation> locations_;
    std::size_t current_ = 0;
    std::string className_;
    ClientTimeouts timeouts_;
    ClientCredentials credentials_;
    HttpExchange exchange_;
};

}  // namespace zel
