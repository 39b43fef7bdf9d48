#include "server/HttpData_Srv_Zel.h"

#include <httplib.h>
#include <openssl/x509.h>

#include "money/CodePage.h"
#include "server/ConnectProbe.h"
#include "server/WireFormat.h"

namespace zel {

namespace {

constexpr std::size_t MAX_SHOWN_BODY = 60;

std::string Duration(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0) {
        return std::to_string(d.count() / 1000) + " s";
    }
    return std::to_string(d.count()) + " ms";
}

// The start of a body that is not a JSON error, for the message.
std::string BodyStart(const std::string& body) {
    std::string shown;
    for (char c : body.substr(0, MAX_SHOWN_BODY)) {
        shown += (c >= 0x20 && c < 0x7F) ? c : ' ';
    }
    return body.size() > MAX_SHOWN_BODY ? shown + "..." : shown;
}

// Why the certificate was refused, as OpenSSL puts it.
std::string VerifyDetail(httplib::Client& http) {
    const long result = http.get_openssl_verify_result();
    if (result == X509_V_OK) {
        return "";
    }
    return std::string(": ") + X509_verify_cert_error_string(result);
}

}  // namespace

std::string CallFailureText(std::string_view className, const ServerLocation& at,
                            std::string_view operation, std::string_view what) {
    std::string text(className);
    text.append(" at ").append(at.ToString()).append(": ").append(operation).append(": ");
    return text.append(what);
}

std::string NoAnswerText(std::chrono::milliseconds limit) {
    return "no answer within " + Duration(limit) + " (time-out)";
}

HttpData_Srv_Zel::HttpData_Srv_Zel(ServerAddress address, std::string className,
                                   ClientTimeouts timeouts)
    : HttpData_Srv_Zel({ServerLocation{std::move(address), false}}, std::move(className), timeouts,
                       {}) {}

void HttpData_Srv_Zel::Open(std::size_t location) {
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    current_ = location;
    const ServerLocation& l = locations_[current_];
    const std::string host =
        l.Address.Host.find(':') != std::string::npos ? "[" + l.Address.Host + "]" : l.Address.Host;
    http_ = std::make_unique<httplib::Client>((l.Https ? "https://" : "http://") + host + ":" +
                                              std::to_string(l.Address.Port));
    const auto connect = duration_cast<microseconds>(timeouts_.Connect).count();
    const auto read = duration_cast<microseconds>(timeouts_.Read).count();
    http_->set_connection_timeout(connect / 1000000, connect % 1000000);
    http_->set_read_timeout(read / 1000000, read % 1000000);
    http_->set_write_timeout(read / 1000000, read % 1000000);
    http_->set_keep_alive(true);
    http_->set_tcp_nodelay(true);
    if (l.Https) {
        http_->enable_server_certificate_verification(true);
        if (!credentials_.CaFile.empty()) {
            http_->set_ca_cert_path(credentials_.CaFile);
        }
    }
    if (!credentials_.AccessKey.empty()) {
        http_->set_bearer_token_auth(credentials_.AccessKey);
    }
}

HttpData_Srv_Zel::HttpData_Srv_Zel(std::vector<ServerLocation> locations, std::string className,
                                   ClientTimeouts timeouts, ClientCredentials credentials)
    : locations_(std::move(locations)),
      className_(std::move(className)),
      timeouts_(timeouts),
      credentials_(std::move(credentials)) {
    if (locations_.empty()) {
        throw ServerError(className_ + ": no server address");
    }
    Open(0);
    const std::string answer =
        Send("create", Method::Get, std::string(CLASSES_PATH) + PercentEncode(className_), {});
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
    http_->stop();
}

void HttpData_Srv_Zel::Fail(std::string_view operation, const std::string& what) const {
    throw ServerError(CallFailureText(className_, locations_[current_], operation, what));
}

std::string HttpData_Srv_Zel::Send(std::string_view operation, Method method,
                                   const std::string& path, const std::string& body) {
    std::size_t turns = 0;  // to the next location, after one that did not connect
    for (int attempt = 0;; ++attempt) {
        const httplib::Headers headers{{"Host", Address().ToString()},
                                       {"Accept", "application/json"}};
        const auto start = std::chrono::steady_clock::now();
        httplib::Result result = method == Method::Get
                                     ? http_->Get(path, headers)
                                     : http_->Post(path, headers, body, "application/json");
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (result) {
            const int status = result->status;
            if (status >= 200 && status < 300) {
                return result->body;
            }
            if (status == 401) {
                Fail(operation, "access key refused (401)");
            }
            const std::string text = DecodeError(result->body);
            if (!text.empty()) {
                Fail(operation, "HTTP " + std::to_string(status) + ": " + text);
            }
            Fail(operation, "HTTP " + std::to_string(status) + " without an error text" +
                                (result->body.empty() ? "" : ": " + BodyStart(result->body)));
        }
        const httplib::Error error = result.error();
        const bool quick = elapsed < timeouts_.Read / 2;
        const bool closedUnanswered =
            (error == httplib::Error::Read || error == httplib::Error::Write) && quick;
        // A kept-alive connection that the server closed meanwhile fails at
        // once; every call is read-only, so it is sent again on a new one.
        if (closedUnanswered && attempt == 0) {
            continue;
        }
        // A new connection closed unanswered too is a server going down (its
        // queue still takes connections while it ends): passed over like one
        // that refuses them.
        if ((closedUnanswered || error == httplib::Error::Connection ||
             error == httplib::Error::ConnectionTimeout) &&
            ++turns < locations_.size()) {
            Open((current_ + 1) % locations_.size());
            attempt = -1;
            continue;
        }
        switch (error) {
            case httplib::Error::Connection:
                Fail(operation, ProbeConnect(Address(), timeouts_.Connect));
            case httplib::Error::ConnectionTimeout:
                Fail(operation,
                     "no connection within " + Duration(timeouts_.Connect) + " (time-out)");
            case httplib::Error::Read:
                Fail(operation, quick ? std::string("the connection closed before an answer")
                                      : NoAnswerText(timeouts_.Read));
            case httplib::Error::Write:
                Fail(operation, "sending the request failed");
            case httplib::Error::SSLServerVerification:
                Fail(operation, "certificate verify failed" + VerifyDetail(*http_));
            case httplib::Error::SSLConnection:
                Fail(operation, "TLS handshake failed (is the server serving HTTPS?)");
            case httplib::Error::SSLLoadingCerts:
                Fail(operation, "cannot load the certificates to trust (" +
                                    (credentials_.CaFile.empty() ? std::string("system store")
                                                                 : credentials_.CaFile) +
                                    ")");
            default:
                Fail(operation, "HTTP client error: " + httplib::to_string(error));
        }
    }
}

RowSet HttpData_Srv_Zel::AS_GetRecords(const std::string& providerName,
                                       const std::string& commandText) {
    constexpr std::string_view OPERATION = "AS_GetRecords";
    const std::string answer = Send(OPERATION, Method::Post, std::string(GET_RECORDS_PATH),
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
        Fail(OPERATION, std::string("request: ") + e.what());
    }
    const std::string answer =
        Send(OPERATION, Method::Post, std::string(BUSCA_PRECIO_PATH), request);
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
