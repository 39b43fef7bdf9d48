// The built simulator against a scripted gateway on loopback: what it sends,
// what it prints, and its exit status.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gateway/Framing.h"
#include "tests/rv7300_sim/TestBytes.h"

namespace zel {
namespace {

using test::Hex;
using test::Screen;

struct Step {
    enum Kind { Send, Receive, Pause, Close } kind;
    std::string bytes;  // Send: what to send
    int ms = 0;         // Pause: how long
};

Step SendBytes(std::string bytes) {
    return {Step::Send, std::move(bytes)};
}
Step ReceiveRequest() {
    return {Step::Receive, {}};
}
Step PauseFor(int ms) {
    return {Step::Pause, {}, ms};
}
Step CloseConnection() {
    return {Step::Close, {}};
}

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

// A gateway that plays a fixed script on the first connection it accepts and
// records every request it receives.
class ScriptedGateway {
public:
    explicit ScriptedGateway(std::vector<Step> steps) : steps_(std::move(steps)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Play(); });
    }
    ~ScriptedGateway() {
        Finish();
        ::close(listener_);
    }

    std::uint16_t Port() const { return port_; }
    const std::vector<std::string>& Finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return requests_;
    }

private:
    void Play() {
        if (!Readable(listener_, 10000)) {
            return;
        }
        const int terminal = ::accept(listener_, nullptr, nullptr);
        bool open = true;
        for (const Step& step : steps_) {
            char buffer[512];
            switch (step.kind) {
                case Step::Send:
                    ::send(terminal, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
                    break;
                case Step::Receive:
                    if (Readable(terminal, 10000)) {
                        const auto got = ::recv(terminal, buffer, sizeof buffer, 0);
                        requests_.emplace_back(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
                    }
                    break;
                case Step::Pause:
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                    break;
                case Step::Close:
                    ::close(terminal);
                    open = false;
                    break;
            }
        }
        if (open) {
            // Hold the connection until the terminal leaves; anything more it sends is recorded.
            char buffer[512];
            while (Readable(terminal, 10000)) {
                const auto got = ::recv(terminal, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    break;
                }
                requests_.emplace_back(buffer, static_cast<std::size_t>(got));
            }
            ::close(terminal);
        }
    }

    std::vector<Step> steps_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::vector<std::string> requests_;
};

struct SimRun {
    int status = -1;
    std::string output;  // stdout and stderr together
};

SimRun RunSimulator(const std::string& arguments, const std::optional<std::string>& input) {
    std::string redirect = "< /dev/null";
    if (input) {
        const std::string path = ::testing::TempDir() + "rv7300_sim_input.txt";
        std::ofstream(path, std::ios::binary) << *input;
        redirect = "< '" + path + "'";
    }
    const std::string command =
        std::string(RV7300_SIM_PATH) + " " + arguments + " " + redirect + " 2>&1";
    SimRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return run;
    }
    char buffer[1024];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.output.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const std::string kResultBox =
    "+------------------------------+\n"
    "|                              |\n"
    "|          ACEITE 1L           |\n"
    "|                              |\n"
    "|                              |\n"
    "|           $12.50             |\n"
    "+------------------------------+\n";

std::string BadBcc(std::string frame) {
    frame[frame.size() - 2] ^= 1;
    return frame;
}

struct Scenario {
    const char* name;
    std::string arguments;  // after HOST:PORT
    std::optional<std::string> input;
    std::vector<Step> steps;
    int status;
    std::vector<std::string> requests;
    std::vector<std::string> printed;  // each must appear in the output
};

TEST(SimProgramTest, TalksToAGateway) {
    const std::string idle0 =
        FrameMessage(Screen("#BIENVENIDO                    PASE SU CODIGO"), 0);
    const std::string idle1 = FrameMessage(Screen("#BIENVENIDO|PASE SU CODIGO|"), 1);
    const std::string result = Screen("#|          ACEITE 1L|||           $12.50");
    const std::string notFound1 = FrameMessage(Screen("#|ARTICULO NO ENCONTRADO|"), 1);
    const std::string scan7501 = Hex("02 37 35 30 31 03 00");  // type 0: BCC 0x00
    const Step receive = ReceiveRequest();
    // clang-format off
    const Scenario scenarios[] = {
        {"type 0 scan found, screens in separate sends", "--scan 7501 --raw", std::nullopt,
         {SendBytes(idle0), receive, SendBytes(FrameMessage(result, 0)), PauseFor(100),
          SendBytes(idle0)},
         0, {scan7501},
         {"connected to 127.0.0.1:", "scan 7501\n>> 02 37 35 30 31 03 00\n",
          "|BIENVENIDO                    |\n|PASE SU CODIGO                |\n", "<< 02 0B 0D 20",
          kResultBox}},
        {"type 1 codes from input, not found, screens in one send", "--type 1", "\n  7501 \r\n\n42",
         {SendBytes(idle1), receive, SendBytes(notFound1 + idle1), receive, SendBytes(idle1)},
         0, {Hex("02 37 35 30 31 03"), Hex("02 34 32 03")},
         {"scan 7501\n+----", "|ARTICULO NO ENCONTRADO        |", "scan 42\n"}},
        {"next code waits for the idle screen", "--type 1 --scan 1 --scan 2", std::nullopt,
         {SendBytes(idle1), receive, SendBytes(FrameMessage(result, 1)), PauseFor(300),
          SendBytes(idle1), receive, SendBytes(idle1)},
         0, {Hex("02 31 03"), Hex("02 32 03")}, {"scan 1\n", "scan 2\n"}},
        {"bad check byte", "", "", {SendBytes(BadBcc(idle0))},
         3, {}, {"bad frame: BCC 0x", "<< 02 0B 42", "|BIENVENIDO"}},
        {"no answer to a scan", "--scan 7501 --wait 300", std::nullopt, {SendBytes(idle0), receive},
         4, {scan7501}, {"no answer within 300 ms"}},
        {"idle screen never comes back", "--scan 7501 --wait 300", std::nullopt,
         {SendBytes(idle0), receive, SendBytes(FrameMessage(result, 0))},
         4, {scan7501}, {kResultBox, "idle screen did not come back within 300 ms"}},
        {"no greeting", "--wait 200", "", {}, 4, {}, {"no idle screen within 200 ms"}},
        {"gateway closes the connection", "--scan 7501", std::nullopt,
         {SendBytes(idle0), receive, CloseConnection()},
         1, {scan7501}, {"connection closed by the gateway"}},
        {"unfinished frame when the gateway closes", "--scan 7501", std::nullopt,
         {SendBytes(idle0), receive, SendBytes(Hex("02 0B 41 42")), CloseConnection()},
         1, {scan7501},
         {"bad frame: unfinished frame: no ETX\n", "connection closed by the gateway"}},
        {"bad input line is skipped", "--type 1", "12a\n5\n",
         {SendBytes(idle1), receive, SendBytes(idle1)},
         2, {Hex("02 35 03")}, {"rv7300_sim: input line 1: bad code \"12a\": digits only"}},
        {"type-0 check byte read as a digit", "--scan 1", std::nullopt,
         {SendBytes(idle0), receive, SendBytes(idle0)},
         0, {Hex("02 31 03 32")}, {"warning: code 1: its check byte 0x32 is the digit '2'"}},
    };
    // clang-format on
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        ScriptedGateway gateway(s.steps);
        const SimRun run = RunSimulator(
            "127.0.0.1:" + std::to_string(gateway.Port()) + " " + s.arguments, s.input);
        EXPECT_EQ(gateway.Finish(), s.requests);
        EXPECT_EQ(run.status, s.status) << run.output;
        for (const auto& text : s.printed) {
            EXPECT_NE(run.output.find(text), std::string::npos) << "missing: " << text << "\nin:\n"
                                                                << run.output;
        }
    }
}

TEST(SimProgramTest, RefusesBadStartsWithoutAGateway) {
    // A port that nobody listens on: bound once, then released.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    const std::string closedPort = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    const struct {
        std::string arguments;
        int status;
        std::string printed;
    } cases[] = {
        {closedPort, 1, "rv7300_sim: cannot connect to " + closedPort + ": Connection refused"},
        {closedPort + " --scan 12a", 2, "rv7300_sim: bad code \"12a\": digits only"},
        {"localhost", 2, "rv7300_sim: bad address \"localhost\""},
        {"--help", 0, "Usage: rv7300_sim HOST:PORT"},
        {"--version", 0, "rv7300_sim " ZEL_VERSION "\n"},
        {"no-such-host.invalid:6000", 1, "cannot connect to no-such-host.invalid:6000: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const SimRun run = RunSimulator(c.arguments, std::nullopt);
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_NE(run.output.find(c.printed), std::string::npos) << run.output;
    }
}

}  // namespace
}  // namespace zel
