#include "PgCluster.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "ChildProcess.h"

namespace zel::e2e {

namespace {

// The folder of the newest PostgreSQL's programs ("" when none).
std::filesystem::path ProgramFolder() {
    std::filesystem::path best;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const auto bin = entry.path() / "bin";
        const std::string version = entry.path().filename().string();
        if (std::filesystem::exists(bin / "initdb") &&
            (best.empty() ||
             std::stoi(version) > std::stoi(best.parent_path().filename().string()))) {
            best = bin;
        }
    }
    return best;
}

// Short waits and retries, so that a standby follows its primary at once,
// and picks the stream up again soon after the primary comes back.
constexpr const char* SERVER_SETTINGS =
    "-c listen_addresses='' -c fsync=off -c wal_level=replica -c max_wal_senders=10 "
    "-c wal_retrieve_retry_interval=500ms -c wal_receiver_status_interval=1s";

}  // namespace

bool PgCluster::Available() {
    return !ProgramFolder().empty();
}

PgCluster::PgCluster() {
    char name[] = "/tmp/zel-pgc.XXXXXX";
    if (::mkdtemp(name) == nullptr) {
        throw std::runtime_error("cannot make a folder for a PostgreSQL cluster");
    }
    folder_ = name;
    if (::geteuid() == 0) {
        const passwd* pg = ::getpwnam("postgres");
        if (pg == nullptr || ::chown(name, pg->pw_uid, pg->pw_gid) != 0) {
            throw std::runtime_error("running as root, and no postgres user to own " +
                                     folder_.string());
        }
    }
}

std::unique_ptr<PgCluster> PgCluster::Primary() {
    std::unique_ptr<PgCluster> c(new PgCluster());
    c->Run("initdb", {"-D", (c->folder_ / "data").string(), "-U", "postgres", "--auth=trust", "-E",
                      "UTF8", "--no-locale"});
    c->Start();
    return c;
}

std::unique_ptr<PgCluster> PgCluster::StandbyOf(const PgCluster& primary) {
    std::unique_ptr<PgCluster> c(new PgCluster());
    c->Run("pg_basebackup", {"-h", primary.folder_.string(), "-U", "postgres", "-D",
                             (c->folder_ / "data").string(), "-R", "-X", "stream", "-c", "fast"});
    c->Start();
    return c;
}

PgCluster::~PgCluster() {
    try {
        Run("pg_ctl", {"-D", (folder_ / "data").string(), "-m", "immediate", "stop"});
    } catch (const std::exception&) {
        // Stopped already.
    }
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

std::string PgCluster::Uri() const {
    return "postgresql://postgres@/postgres?host=" + folder_.string();
}

void PgCluster::Stop() {
    Run("pg_ctl", {"-D", (folder_ / "data").string(), "-m", "fast", "-w", "stop"});
}

void PgCluster::Start() {
    Run("pg_ctl", {"-D", (folder_ / "data").string(), "-l", (folder_ / "server.log").string(), "-w",
                   "-t", "60", "-o",
                   std::string(SERVER_SETTINGS) + " -c unix_socket_directories=" + folder_.string(),
                   "start"});
}

void PgCluster::Run(const std::string& program, std::vector<std::string> arguments) const {
    ChildOptions options;
    if (::geteuid() == 0) {
        options.Arguments = {"/usr/sbin/runuser", "-u", "postgres", "--"};
    }
    options.Arguments.push_back((ProgramFolder() / program).string());
    options.Arguments.insert(options.Arguments.end(), arguments.begin(), arguments.end());
    options.StandardOutput = folder_ / (program + ".out");
    options.StandardError = folder_ / (program + ".err");
    ChildProcess child(options);
    const auto status = child.WaitExit(std::chrono::seconds(120));
    if (!status || ExitCode(*status) != 0) {
        throw std::runtime_error(program + " failed (" +
                                 (status ? DescribeStatus(*status) : std::string("still running")) +
                                 "): " + ReadWholeFile(options.StandardOutput) +
                                 ReadWholeFile(options.StandardError) +
                                 ReadWholeFile(folder_ / "server.log"));
    }
}

}  // namespace zel::e2e
