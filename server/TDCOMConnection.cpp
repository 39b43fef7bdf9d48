#include "server/TDCOMConnection.h"

#include "server/CoData_Srv_Zel.h"

namespace zel {

void TDCOMConnection::SetConnected(bool connected) {
    if (connected == Connected()) {
        return;
    }
    if (!connected) {
        object_.reset();
        return;
    }
    object_ = CoData_Srv_Zel::CreateRemote(computerName_, timeouts_, credentials_, serverName_);
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
