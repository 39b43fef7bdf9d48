// CoData_Srv_Zel: the creator of Srv_Zel.Data_Srv_Zel server objects, on this
// machine or on a named one. Creating one is its class check.
#pragma once

#include <memory>
#include <string>

#include "common/ServerNames.h"
#include "server/IData_Srv_Zel.h"

namespace zel {

class CoData_Srv_Zel {
public:
    // A server object on this machine (127.0.0.1, the default port).
    static std::shared_ptr<IData_Srv_Zel> Create(ClientTimeouts timeouts = {},
                                                 const ClientCredentials& credentials = {});

    // A server object at machine: "host", "host:port", "[v6]:port",
    // "https://host:port", or several of them separated by commas (see
    // ParseServerList); empty text is this machine. Throws ServerError for a
    // bad address or a failed class check.
    static std::shared_ptr<IData_Srv_Zel> CreateRemote(
        const std::string& machine, ClientTimeouts timeouts = {},
        const ClientCredentials& credentials = {},
        const std::string& className = std::string(SERVER_CLASS));
};

}  // namespace zel
