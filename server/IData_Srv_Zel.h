// IData_Srv_Zel: the application server as the gateway reaches it, over
// HTTP/JSON (docs/app-server-api.md). One object holds the server's
// addresses, the trust and key shown to it, and what the gateway knows of
// each address; every call of the gateway goes through it: the class check
// and the tax query of the start-up, blocking, and each lookup, sent from the
// event loop by LookupClient over the same rules.
//
// - The class check ("create") proves that a server of the class answers.
// - A call goes to the addresses in the order AddressHealth gives: those
//   that answer in their own order, those that could not be reached last.
//   Only a call that never reached a server (refused, not resolved, no
//   connection in time, a new connection closed unanswered) turns to the next
//   address; anything else is its answer or its failure.
// - Every failure reads "<class> at <address>: <operation>: <what>".
//
// Blocking calls take at most ClientTimeouts::Read each, their connect at
// most ClientTimeouts::Connect; they keep their own connection alive until
// Hangup. Not thread-safe: one thread uses an object.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/ServerNames.h"
#include "server/HttpExchange.h"
#include "server/RowSet.h"
#include "server/ServerError.h"
#include "server/ServerHealth.h"
#include "server/ServerList.h"

namespace zel {

struct ClientTimeouts {
    std::chrono::milliseconds Connect{3000};
    std::chrono::milliseconds Read{5000};
};

class IData_Srv_Zel {
public:
    // The calls of the interface.
    enum class Operation { Create, GetRecords, BuscaPrecio };

    // How one exchange of a call at one address ended.
    struct Verdict {
        bool Answered = false;  // a 2xx answer (of the class asked for, for Create)
        bool TryNext = false;   // never reached a server: the next address may take it
        bool Reached = false;   // a server answered, if only with an error
        bool Changed = false;   // the server's state (ServerHealth) changed with it
        ServerFailure Kind = ServerFailure::Other;
        std::string Words;  // the failure, with class, address and operation
    };

    // Makes no request: CoData_Srv_Zel creates objects with their class check.
    // Throws ServerError when `locations` is empty.
    IData_Srv_Zel(std::vector<ServerLocation> locations, std::string className,
                  ClientTimeouts timeouts, ClientCredentials credentials);
    IData_Srv_Zel(const IData_Srv_Zel&) = delete;
    IData_Srv_Zel& operator=(const IData_Srv_Zel&) = delete;

    // The class check; throws ServerError when no address answers it.
    void Create();
    // All rows of commandText run by the named provider, in one request.
    RowSet AS_GetRecords(const std::string& providerName, const std::string& commandText);
    // The body of a 2xx answer to `body` (a GET when Create); any other
    // outcome throws ServerError.
    std::string Call(Operation operation, std::string body = {});
    // Closes the blocking calls' connection: the next one opens a new one.
    void Hangup() { exchange_.Hangup(); }

    // For transfers run elsewhere (the lookups on the event loop), so that
    // they follow the same rules: the addresses in the order to ask them, an
    // exchange set up for `operation` at one of them, and what its end
    // (a CURLcode) means, told to the address's health.
    std::vector<std::size_t> Order() const { return health_.Order(); }
    void Prepare(HttpExchange& exchange, std::size_t address, Operation operation, std::string body,
                 std::chrono::milliseconds limit, std::chrono::milliseconds connectLimit) const;
    Verdict Judge(HttpExchange& exchange, std::size_t address, Operation operation, int code);
    // The failure of `operation` at `address` in the words above.
    std::string FailureText(std::size_t address, Operation operation, std::string_view what) const;

    const std::vector<ServerLocation>& Locations() const { return locations_; }
    const std::string& ClassName() const { return className_; }
    const ServerHealth& Health() const { return health_.Health(); }

private:
    std::vector<ServerLocation> locations_;
    std::string className_;
    std::string classPath_;
    ClientTimeouts timeouts_;
    ClientCredentials credentials_;
    AddressHealth health_;
    HttpExchange exchange_;     // the blocking calls'
    std::size_t answered_ = 0;  // the address of the last blocking call
};

}  // namespace zel
