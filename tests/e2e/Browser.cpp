#include "Browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace zel::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// The driver's own start: node, playwright-core and Chromium.
constexpr std::chrono::seconds kStartLimit{60};

}  // namespace

Browser::Browser() {
    const std::string modules = ZEL_NODE_MODULES;
    if (!std::filesystem::exists(modules + "/playwright-core")) {
        throw std::runtime_error("playwright-core is not in " + modules +
                                 " (run scripts/install-deps)");
    }
    // Everything the child needs is made before the fork: after it, in a
    // process with threads, only async-signal-safe calls.
    std::vector<std::string> environment{"NODE_PATH=" + modules};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::string_view(*variable).rfind("NODE_PATH=", 0) != 0) {
            environment.emplace_back(*variable);
        }
    }
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::string node = "node", driver = ZEL_BROWSER_DRIVER;
    std::array<char*, 3> argv{node.data(), driver.data(), nullptr};
    std::array<int, 2> in{}, out{};
    if (pipe2(in.data(), O_CLOEXEC) != 0 || pipe2(out.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe for the browser driver failed");
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toDriver_ = in[1];
    fromDriver_ = out[0];
    if (pid_ < 0) {
        throw std::runtime_error("fork for the browser driver failed");
    }
    Do({{"do", "eval"}, {"js", "1"}}, kStartLimit);  // launched and answering
}

Browser::~Browser() {
    close(toDriver_);  // the driver closes the browser and ends
    for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
        usleep(50'000);
    }
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(fromDriver_);
}

nlohmann::json Browser::Do(nlohmann::json command, std::chrono::milliseconds limit) {
    const std::string line = command.dump() + "\n";
    if (write(toDriver_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        throw std::runtime_error("the browser driver is gone");
    }
    const auto deadline = Clock::now() + limit + std::chrono::seconds(5);
    for (;;) {
        if (const auto end = pending_.find('\n'); end != std::string::npos) {
            const auto answer = nlohmann::json::parse(pending_.substr(0, end));
            pending_.erase(0, end + 1);
            if (!answer.value("ok", false)) {
                throw std::runtime_error(command.dump() + ": " + answer.value("error", "?"));
            }
            return answer["value"];
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable{fromDriver_, POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error(command.dump() + ": no answer from the browser driver");
        }
        char buffer[4096];
        const ssize_t got = read(fromDriver_, buffer, sizeof buffer);
        if (got <= 0) {
            throw std::runtime_error(command.dump() + ": the browser driver ended");
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

void Browser::Open(const std::string& url) {
    Do({{"do", "open"}, {"url", url}}, std::chrono::seconds(30));
}

void Browser::WaitFor(const std::string& expression, std::chrono::milliseconds limit) {
    Do({{"do", "wait"}, {"js", expression}, {"ms", limit.count()}}, limit);
}

nlohmann::json Browser::Eval(const std::string& expression) {
    return Do({{"do", "eval"}, {"js", expression}}, std::chrono::seconds(10));
}

void Browser::Screenshot(const std::string& path, bool windowOnly) {
    Do({{"do", "screenshot"}, {"path", path}, {"window", windowOnly}}, std::chrono::seconds(30));
}

void Browser::Resize(int width, int height) {
    Do({{"do", "resize"}, {"width", width}, {"height", height}}, std::chrono::seconds(10));
}

nlohmann::json Browser::Events() {
    return Do({{"do", "events"}}, std::chrono::seconds(10));
}

}  // namespace zel::e2e
