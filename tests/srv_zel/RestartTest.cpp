// srv_zel as its own process: stopped by a signal, killed between two calls
// and started again on the same port.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

#include "Catalogue.h"
#include "server/CoData_Srv_Zel.h"

namespace zel {
namespace {

// srv_zel serve as a child process; its stderr goes to a file.
class ServeProcess {
public:
    ServeProcess(const std::string& db, const std::string& listen, const std::string& logFile,
                 const std::string& notifySocket = {})
        : logFile_(logFile) {
        pid_ = fork();
        if (pid_ == 0) {
            if (!notifySocket.empty()) {
                setenv("NOTIFY_SOCKET", notifySocket.c_str(), 1);
            }
            const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDERR_FILENO);
            execl(SRV_ZEL_PATH, "srv_zel", "serve", "--db", db.c_str(), "--listen", listen.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~ServeProcess() {
        if (pid_ > 0) {
            Signal(SIGKILL);
            Wait();
        }
    }
    // The address from "serving ... on HOST:PORT", once it is listening.
    std::string WaitForAddress() {
        for (int i = 0; i < 500; ++i) {
            const std::string log = Log();
            const auto at = log.find(" on ");
            const auto end = log.find('\n', at);
            if (at != std::string::npos && end != std::string::npos) {
                return log.substr(at + 4, end - at - 4);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "(never listened)";
    }
    void Signal(int sig) const { kill(pid_, sig); }
    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    std::string Log() const {
        std::ifstream in(logFile_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string logFile_;
    pid_t pid_ = -1;
};

TEST(Restart, KilledBetweenCallsThenStartedAgain) {
    test::TempDir dir;
    const std::string db = dir.File("t.db");
    test::ExecSql(db, "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (7501, 'a', 32.9)");

    auto first = std::make_unique<ServeProcess>(db, "127.0.0.1:0", dir.File("1.log"));
    const std::string address = first->WaitForAddress();
    const auto object = CoData_Srv_Zel::CreateRemote(address);
    EXPECT_EQ(test::PriceOf(*object), 32.9);

    first->Signal(SIGKILL);
    first->Wait();
    try {
        test::PriceOf(*object);
        ADD_FAILURE() << "answered while down";
    } catch (const ServerError& e) {
        EXPECT_NE(std::string(e.what()).find("at " + address + ": BuscaPrecio: connection refused"),
                  std::string::npos)
            << e.what();
    }

    test::ExecSql(db, "UPDATE Articulos SET Precio1 = 35 WHERE Codigo = 7501");
    ServeProcess second(db, address, dir.File("2.log"));
    EXPECT_EQ(second.WaitForAddress(), address);
    EXPECT_EQ(test::PriceOf(*object), 35.0);  // the same object, no new handshake

    second.Signal(SIGTERM);
    const int status = second.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string log = second.Log();
    EXPECT_NE(log.find("POST /v1/BuscaPrecio 200"), std::string::npos) << log;
    EXPECT_NE(log.find("srv_zel: stopping on SIGTERM\n"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("srv_zel: stopped\n")) << log;
}

TEST(Restart, TellsSystemdAndOutlivesSighup) {
    test::TempDir dir;
    const std::string socketPath = dir.File("notify");
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    socketPath.copy(a.sun_path, sizeof a.sun_path - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const auto next = [sock] {
        pollfd p{sock, POLLIN, 0};
        char buf[512] = {};
        return poll(&p, 1, 10'000) == 1 ? std::string(buf, recv(sock, buf, sizeof buf - 1, 0))
                                        : std::string("(nothing)");
    };
    ServeProcess server(dir.File("t.db"), "127.0.0.1:0", dir.File("1.log"), socketPath);
    EXPECT_TRUE(next().starts_with("READY=1\nSTATUS=serving on 127.0.0.1:"));
    const std::string address = server.WaitForAddress();
    server.Signal(SIGHUP);
    const auto object = CoData_Srv_Zel::CreateRemote(address);  // still serving
    server.Signal(SIGTERM);
    EXPECT_EQ(next(), "STOPPING=1");
    const int status = server.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(server.Log().find("srv_zel: SIGHUP: nothing to reload"), std::string::npos);
    close(sock);
}

TEST(Restart, SigtermWithQueriesRunningEndsAtOnce) {
    test::TempDir dir;
    ServeProcess server(dir.File("t.db"), "127.0.0.1:0", dir.File("1.log"));
    const std::string address = server.WaitForAddress();
    std::vector<std::unique_ptr<test::Client>> clients;
    for (int i = 0; i < 2; ++i) {
        clients.push_back(
            std::make_unique<test::Client>(ParseServerAddress(address, DEFAULT_SERVER_PORT)));
        clients.back()->Send(test::EndlessQueryRequest());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // both running
    const auto start = std::chrono::steady_clock::now();
    server.Signal(SIGTERM);
    const int status = server.Wait();
    // Well before the queries' own 4 s limit.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(server.Log().ends_with("srv_zel: stopped\n")) << server.Log();
}

TEST(Restart, ASecondServerOnABusyPortFails) {
    test::TempDir dir;
    const std::string db = dir.File("t.db");
    ServeProcess first(db, "127.0.0.1:0", dir.File("1.log"));
    const std::string address = first.WaitForAddress();
    ServeProcess second(db, address, dir.File("2.log"));
    const int status = second.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(second.Log().find("srv_zel: cannot listen on " + address), std::string::npos)
        << second.Log();
}

}  // namespace
}  // namespace zel
