#include "server/HttpData_Srv_Zel.h"

#include <curl/curl.h>

#include "money/CodePage.h"
#include "server/WireFormat.h"

namespace zel {

HttpData_Srv_Zel::HttpData_Srv_Zel(ServerAddress address, std::string className,
                                   ClientTimeouts timeouts)
    : HttpData_Srv_Zel({ServerLocation{std::move(address), false}}, std::move(className), timeouts,
                       {}) {}

HttpData_Srv_Zel::HttpData_Srv_Zel(std::vector<ServerLocation> locations, std::string className,
                                   ClientTimeouts timeouts, ClientCredentials credentials)
    : locations_(std::move(locations)),
      className_(std::move(className)),
      timeouts_(timeouts),
      credentials_(std::move(credentials)) {
    if (locations_.empty()) {
        throw ServerError(className_ + ": no server address", ServerFailure::Other);
    }
    const std::string answer =
        Send("create", std::string(CLASSES_PATH) + PercentEncode(className_), {});
    std::string offered;
    try {
        offered = DecodeClassReply(answer);
    } catch (const WireError& e) {
        Fail("create", std::string("not a ") + className_ + " server: " + e.what());
    }
    if (offered != className_) {
        Fail("create", "the server offers class \"" + offered + "\", not the one asked for");
    }
}

HttpData_Srv_Zel::~HttpData_Srv_Zel() = default;

void HttpData_Srv_Zel::Hangup() {
    exchange_.Hangup();
}

void HttpData_Srv_Zel::Fail(std::string_view operation, const std::string& what,
                            ServerFailure kind) const {
    throw ServerError(CallFailureText(className_, locations_[current_], operation, what), kind);
}

std::string HttpData_Srv_Zel::Send(std::string_view operation, const std::string& path,
                                   std::string body) {
    const bool post = !body.empty();
    // From the location in use, every other one once, after one that cannot
    // be reached.
    for (std::size_t turns = 0;; ++turns) {
        exchange_.Prepare(locations_[current_], credentials_, path, post, body, timeouts_.Read,
                          timeouts_.Connect);
        HttpExchange::Ending ending = exchange_.Conclude(curl_easy_perform(exchange_.Handle()));
        if (ending.Answered) {
            return exchange_.Body();
        }
        if (ending.NextAddress && turns + 1 < locations_.size()) {
            current_ = (current_ + 1) % locations_.size();
            exchange_.Hangup();
            continue;
        }
        Fail(operation, ending.What, ending.Kind);
    }
}

RowSet HttpData_Srv_Zel::AS_GetRecords(const std::string& providerName,
                                       const std::string& commandText) {
    constexpr std::string_view OPERATION = "AS_GetRecords";
    const std::string answer = Send(OPERATION, std::string(GET_RECORDS_PATH),
                                    EncodeGetRecordsRequest({providerName, commandText}));
    try {
        return DecodeRowSet(answer);
    } catch (const WireError& e) {
        Fail(OPERATION, std::string("answer: ") + e.what());
    }
}

std::int8_t HttpData_Srv_Zel::BuscaPrecio(double& Codigo, std::int8_t No_Precio, double& Precio,
                                          std::u16string& Descrip, std::int8_t& Ban_Imps,
                                          std::int8_t& Tiene_Ofer, double& Fec_ini_ofer,
                                          double& Fec_fin_ofer, double& Pct_ofer,
                                          std::int16_t& Imps_Act, double& Mult,
                                          std::int32_t& Bans_Art, double& Precio_Sug) {
    constexpr std::string_view OPERATION = "BuscaPrecio";
    BuscaPrecioCall in;
    in.Codigo = Codigo;
    in.No_Precio = No_Precio;
    in.Descrip = Utf16ToUtf8(Descrip);
    in.Mult = Mult;
    std::string request;
    try {
        request = EncodeBuscaPrecioRequest(in);
    } catch (const WireError& e) {
        Fail(OPERATION, std::string("request: ") + e.what(), ServerFailure::Other);
    }
    const std::string answer = Send(OPERATION, std::string(BUSCA_PRECIO_PATH), std::move(request));
    BuscaPrecioCall out;
    std::u16string description;
    try {
        out = DecodeBuscaPrecioReply(answer);
    } catch (const WireError& e) {
        Fail(OPERATION, std::string("answer: ") + e.what());
    }
    description = Utf8ToUtf16(out.Descrip);
    Codigo = out.Codigo;
    Precio = out.Precio;
    Descrip = std::move(description);
    Ban_Imps = out.Ban_Imps;
    Tiene_Ofer = out.Tiene_Ofer;
    Fec_ini_ofer = out.Fec_ini_ofer;
    Fec_fin_ofer = out.Fec_fin_ofer;
    Pct_ofer = out.Pct_ofer;
    Imps_Act = out.Imps_Act;
    Mult = out.Mult;
    Bans_Art = out.Bans_Art;
    Precio_Sug = out.Precio_Sug;
    return out.Result;
}

}  // namespace zel
