// A program run as a child process for the length of a test: its standard
// output and error go to files, its environment is the test's own with some
// variables set or removed. The child is killed and reaped when the object
// goes, however the test ended.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zel::e2e {

struct ChildOptions {
    std::vector<std::string> Arguments;  // the program first
    std::vector<std::pair<std::string, std::string>> SetEnvironment;
    std::vector<std::string> RemoveEnvironment;
    std::filesystem::path StandardOutput = "/dev/null";
    std::filesystem::path StandardError = "/dev/null";
    // The child's soft limit on open files, set before it runs; 0: the
    // test's own. Never lowered in the test process, whose sanitizer
    // runtime needs handles of its own.
    unsigned long FileLimit = 0;
};

class ChildProcess {
public:
    // Starts the program; throws std::runtime_error when it cannot be started.
    explicit ChildProcess(const ChildOptions& options);
    ~ChildProcess();  // SIGKILL and reap when still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int signal) const;

    // The wait status once the child has ended, or nullopt after `limit`.
    std::optional<int> WaitExit(std::chrono::milliseconds limit);
    // Ended already? Reaps it when it has.
    bool Running();
    // SIGKILL and reap; the wait status.
    int Kill();

    const std::filesystem::path& StandardError() const { return stderrPath_; }
    const std::filesystem::path& StandardOutput() const { return stdoutPath_; }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path stdoutPath_;
    std::filesystem::path stderrPath_;
};

// "exit 1", "signal 9 (Killed)": a wait status for people.
std::string DescribeStatus(int status);

// The exit code of a child that exited, -1 when a signal ended it.
int ExitCode(int status);

// The whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::filesystem::path& path);

// A running process as /proc shows it: its resident memory (VmRSS, -1 when
// unknown), its CPU time and its open descriptors.
long ResidentKiB(pid_t pid);
// The CPU time (user and system) it has used, in seconds; -1 when unknown.
double CpuSeconds(pid_t pid);
int OpenDescriptors(pid_t pid);
// Whether every thread of the process is stopped (SIGSTOP takes effect a
// moment after kill() returns, thread by thread).
bool AllThreadsStopped(pid_t pid);

// The soft limit on open files raised to the hard one, for this process and
// the children it starts.
void RaiseFileLimit();

}  // namespace zel::e2e
