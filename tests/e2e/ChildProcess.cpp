#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zel::e2e {

namespace {

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

// The test's environment with the options applied, as "NAME=value" texts.
std::vector<std::string> ChildEnvironment(const ChildOptions& options) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = NameOf(entry);
        const bool removed =
            std::find(options.RemoveEnvironment.begin(), options.RemoveEnvironment.end(), name) !=
            options.RemoveEnvironment.end();
        const bool replaced =
            std::any_of(options.SetEnvironment.begin(), options.SetEnvironment.end(),
                        [&name](const auto& set) { return set.first == name; });
        if (!removed && !replaced) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : options.SetEnvironment) {
        env.push_back(name + "=" + value);
    }
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    out.reserve(texts.size() + 1);
    for (std::string& t : texts) {
        out.push_back(t.data());
    }
    out.push_back(nullptr);
    return out;
}

}  // namespace

ChildProcess::ChildProcess(const ChildOptions& options)
    : stdoutPath_(options.StandardOutput), stderrPath_(options.StandardError) {
    if (options.Arguments.empty()) {
        throw std::invalid_argument("ChildProcess: no program named");
    }
    // Everything the child needs is prepared before fork: between fork and
    // exec it only opens, duplicates and executes.
    std::vector<std::string> arguments = options.Arguments;
    std::vector<std::string> environment = ChildEnvironment(options);
    std::vector<char*> argv = Pointers(arguments);
    std::vector<char*> envp = Pointers(environment);
    const std::string out = stdoutPath_.string();
    const std::string err = stderrPath_.string();
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = options.FileLimit != 0 ? options.FileLimit : files.rlim_cur;

    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork for " + arguments[0] + ": " + std::strerror(errno));
    }
    if (pid_ == 0) {
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int inFd = ::open("/dev/null", O_RDONLY);
        if (outFd < 0 || errFd < 0 || inFd < 0) {
            ::_exit(126);
        }
        ::dup2(inFd, STDIN_FILENO);
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        if (options.FileLimit != 0 && ::setrlimit(RLIMIT_NOFILE, &files) != 0) {
            ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (Running()) {
        Kill();
    }
}

void ChildProcess::Signal(int signal) const {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, signal);
    }
}

bool ChildProcess::Running() {
    if (status_ || pid_ <= 0) {
        return false;
    }
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        return false;
    }
    return r == 0;
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status_;
}

int ChildProcess::Kill() {
    if (Running()) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = status;
    }
    return status_.value_or(-1);
}

std::string DescribeStatus(int status) {
    if (WIFEXITED(status)) {
        return "exit " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
               ")";
    }
    return "wait status " + std::to_string(status);
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold blanks: the fields are counted after it.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            user = std::stoull(field);
        } else if (i == 15) {
            system = std::stoull(field);
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int OpenDescriptors(pid_t pid) {
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++n;
    }
    return n;
}

bool AllThreadsStopped(pid_t pid) {
    std::error_code ec;
    bool any = false;
    for (auto it =
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string text = ReadWholeFile(it->path() / "stat");
        const auto close = text.rfind(')');
        if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'T') {
            return false;
        }
        any = true;
    }
    return any;
}

void RaiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace zel::e2e
