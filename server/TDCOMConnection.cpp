#include "server/TDCOMConnection.h"

#include "common/ServerNames.h"
#include "server/ServerList.h"

namespace zel {

void TDCOMConnection::SetConnected(bool connected) {
    if (connected == Connected()) {
        return;
    }
    if (!connected) {
        object_.reset();
        return;
    }
    object_ = std::make_shared<HttpData_Srv_Zel>(
        ParseServerList(computerName_, DEFAULT_SERVER_PORT), serverName_, timeouts_, credentials_);
    if (AfterConnect) {
        AfterConnect(*this);
    }
}

RowSet TDCOMConnection::GetRecords(const std::string& providerName,
                                   const std::string& commandText) {
    if (!object_) {
        throw ServerError(serverName_ + " at \"" + computerName_ + "\": " + providerName +
                          ": the connection is not open");
    }
    return object_->AS_GetRecords(providerName, commandText);
}

}  // namespace zel
