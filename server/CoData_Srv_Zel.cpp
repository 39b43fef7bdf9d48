#include "server/CoData_Srv_Zel.h"

#include "common/ServerNames.h"

namespace zel {

std::shared_ptr<IData_Srv_Zel> CoData_Srv_Zel::Create(ClientTimeouts timeouts,
                                                      const ClientCredentials& credentials) {
    return CreateRemote(std::string(), timeouts, credentials);
}

std::shared_ptr<IData_Srv_Zel> CoData_Srv_Zel::CreateRemote(const std::string& machine,
                                                            ClientTimeouts timeouts,
                                                            const ClientCredentials& credentials) {
    return std::make_shared<HttpData_Srv_Zel>(ParseServerList(machine, DEFAULT_SERVER_PORT),
                                              std::string(SERVER_CLASS), timeouts, credentials);
}

}  // namespace zel
