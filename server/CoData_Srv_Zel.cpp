#include "server/CoData_Srv_Zel.h"

#include "common/ServerNames.h"

namespace zel {

std::shared_ptr<IData_Srv_Zel> CoData_Srv_Zel::Create(ClientTimeouts timeouts) {
    return CreateRemote(std::string(), timeouts);
}

std::shared_ptr<IData_Srv_Zel> CoData_Srv_Zel::CreateRemote(const std::string& machine,
                                                            ClientTimeouts timeouts) {
    return std::make_shared<HttpData_Srv_Zel>(ParseServerAddress(machine, DEFAULT_SERVER_PORT),
                                              std::string(SERVER_CLASS), timeouts);
}

}  // namespace zel
