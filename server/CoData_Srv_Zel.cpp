#include "server/CoData_Srv_Zel.h"

namespace zel {

std::shared_ptr<IData_Srv_Zel> CoData_Srv_Zel::Create(ClientTimeouts timeouts,
                                                      const ClientCredentials& credentials) {
    return CreateRemote(std::string(), timeouts, credentials);
}

std::shared_ptr<IData_Srv_Zel> CoData_Srv_Zel::CreateRemote(const std::string& machine,
                                                            ClientTimeouts timeouts,
                                                            const ClientCredentials& credentials,
                                                            const std::string& className) {
    auto object = std::make_shared<IData_Srv_Zel>(ParseServerList(machine, DEFAULT_SERVER_PORT),
                                                  className, timeouts, credentials);
    object->Create();
    return object;
}

}  // namespace zel
