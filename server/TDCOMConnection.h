// TDCOMConnection: the gateway's connection to the application server. It
// holds one server object of class ServerName at ComputerName, created
// (CoData_Srv_Zel) when Connected is set to true, and runs the tax query on it.
//
// Setting Connected to true creates the object (the handshake), marks the
// connection up and then runs AfterConnect before it returns. A failure to
// create leaves it down. An exception from AfterConnect propagates to the
// caller, and the connection stays up: the object exists, so whoever drops
// the connection "if it came up" releases it. Setting Connected to false
// releases the object.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/ServerNames.h"
#include "server/IData_Srv_Zel.h"

namespace zel {

class TDCOMConnection {
public:
    TDCOMConnection() = default;
    TDCOMConnection(const TDCOMConnection&) = delete;
    TDCOMConnection& operator=(const TDCOMConnection&) = delete;

    // The class of the object to create; Srv_Zel.Data_Srv_Zel unless set.
    const std::string& ServerName() const { return serverName_; }
    void SetServerName(std::string name) { serverName_ = std::move(name); }

    // The server address or addresses (see ParseServerList); empty is this
    // machine. Read when connecting.
    const std::string& ComputerName() const { return computerName_; }
    void SetComputerName(std::string name) { computerName_ = std::move(name); }

    bool Connected() const { return object_ != nullptr; }
    void SetConnected(bool connected);

    std::function<void(TDCOMConnection& Sender)> AfterConnect;

    // The connection's own server object; null while not connected.
    std::shared_ptr<IData_Srv_Zel> AppServer() const { return object_; }

    // All rows of commandText run by the named provider on the connection's
    // object. Throws ServerError when not connected or when the call fails.
    RowSet GetRecords(const std::string& providerName, const std::string& commandText);

    // Time-outs of the objects this connection creates.
    void SetTimeouts(ClientTimeouts timeouts) { timeouts_ = timeouts; }
    // The trust and key of the objects this connection creates.
    void SetCredentials(ClientCredentials credentials) { credentials_ = std::move(credentials); }

private:
    std::string serverName_{SERVER_CLASS};
    std::string computerName_;
    ClientTimeouts timeouts_;
    ClientCredentials credentials_;
    std::shared_ptr<IData_Srv_Zel> object_;
};

}  // namespace zel
