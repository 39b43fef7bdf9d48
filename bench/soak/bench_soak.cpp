// bench_soak: the real gateway and srv_zel on loopback, once per pause mode
// (PAUSA_POR_TERMINAL 0 and 1), through what a shop's network does to them:
//
//  1. random payloads from terminals, each connection closed or reset,
//     often in the middle of a frame;
//  2. connect / close / reset cycles;
//  3. terminals that scan and never read, beside one that checks its answers;
//  4. srv_zel killed and restarted while terminals scan.
//
// Every result screen is compared with the one the article gave on a healthy
// run: any other is a wrong answer. Prints the gateway's open descriptors and
// resident memory before and after, the wrong answers (must be 0) and the
// time the terminals took to be answered again after each restart.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "GatewayStack.h"
#include "Terminal.h"

namespace {

using namespace zel::e2e;
using std::chrono::milliseconds;

constexpr int kArticles = 50;
constexpr int kScanners = 5;
constexpr int kDeafTerminals = 50;

const char* const kHelp =
    "Usage: bench_soak [--payloads N] [--cycles N] [--restarts N]\n"
    "\n"
    "Runs srv_zel and the gateway (ZEL_RV7300) from this build on loopback, once\n"
    "with PAUSA_POR_TERMINAL 0 and once with 1, and for each prints the gateway's\n"
    "open descriptors and VmRSS before and after: N random payloads (default\n"
    "20000, closes and resets mid-frame included), N connect/close/reset cycles\n"
    "(10000), 50 terminals that never read, and srv_zel killed and restarted N\n"
    "times (20) while 5 terminals scan; the wrong answers (must be 0) and the\n"
    "time to be answered again after each restart.\n";

struct Options {
    int Payloads = 20000;
    int Cycles = 10000;
    int Restarts = 20;
};

std::string Code(int i) {
    return std::to_string(7'500'000'000'000LL + i * 13);
}

// The result screen of each article, as a healthy gateway sends it.
class Answers {
public:
    void Learn(std::uint16_t port) {
        Terminal t(port, 0);
        t.ExpectFrame(milliseconds(10000));
        for (int i = 0; i < kArticles; ++i) {
            t.Scan(Code(i));
            expected_.push_back(t.ExpectFrame(milliseconds(10000)).Bytes);
            idle_ = t.ExpectFrame(milliseconds(10000)).Bytes;
        }
    }
    // Every frame is the idle screen or the result of article i.
    bool Right(int i, const std::string& frame) const {
        return frame == idle_ || frame == expected_[static_cast<std::size_t>(i)];
    }
    bool IsResult(const std::string& frame) const { return frame != idle_; }

private:
    std::vector<std::string> expected_;
    std::string idle_;
};

std::atomic<long> wrong{0};

// One connection: wait for the greeting (so the listen queue never
// overflows), send what the generator gives, close or reset.
void Payloads(std::uint16_t port, int count, unsigned seed) {
    std::mt19937 random(seed);
    for (int n = 0; n < count; ++n) {
        try {
            Terminal t(port, 0);
            t.ExpectFrame(milliseconds(10000));
            std::string bytes;
            const int length = static_cast<int>(random() % 64);
            if (random() % 2 == 0) {
                bytes += '\x02';  // a frame start, so some become lookups
            }
            for (int i = 0; i < length; ++i) {
                bytes += static_cast<char>(random() % 4 == 0 ? '0' + random() % 10 : random());
            }
            t.Send(bytes);
            if (random() % 2 == 0) {
                t.Reset();
            } else {
                t.Close();
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "  payload %d: %s\n", n, error.what());
        }
    }
}

void Cycles(std::uint16_t port, int count) {
    for (int n = 0; n < count; ++n) {
        try {
            Terminal t(port, 0);
            if (n % 3 != 0) {
                t.ExpectFrame(milliseconds(10000));
            }
            if (n % 2 == 0) {
                t.Reset();
            } else {
                t.Close();
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "  cycle %d: %s\n", n, error.what());
        }
    }
}

// Scans article i until told to stop, checking each frame; stamps the first
// answer after each restart.
void Scanner(std::uint16_t port, int i, const Answers& answers, const std::atomic<bool>& stop,
             std::atomic<long>& answered) {
    Terminal t(port, 0);
    t.ExpectFrame(milliseconds(10000));
    while (!stop) {
        t.Scan(Code(i));
        for (int frames = 0; frames < 2; ++frames) {
            const auto frame = t.NextFrame(milliseconds(300));
            if (!frame) {
                break;
            }
            if (!answers.Right(i, frame->Bytes)) {
                ++wrong;
            } else if (answers.IsResult(frame->Bytes)) {
                ++answered;
            }
        }
    }
}

void Soak(const TempDir& dir, SrvZel& server, int mode, const Options& options) {
    GatewayConfig config;
    config.ServerAddress = server.Address();
    config.Espera = 5;
    config.PausaPorTerminal = mode;
    Gateway gateway(dir, config);
    gateway.WaitListening();
    const pid_t pid = gateway.Process().Pid();
    Answers answers;
    answers.Learn(gateway.Port());
    std::this_thread::sleep_for(milliseconds(300));
    const int fdBefore = OpenDescriptors(pid);
    const long rssBefore = ResidentKiB(pid);
    std::printf("PAUSA_POR_TERMINAL %d: before: %d fds, VmRSS %ld KiB\n", mode, fdBefore,
                rssBefore);

    auto start = Clock::now();
    {
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < 4; ++t) {
            threads.emplace_back(Payloads, gateway.Port(), options.Payloads / 4, 1234 + t + mode);
        }
        for (auto& thread : threads) thread.join();
    }
    std::printf("  %d random payloads: %.1f s, %d fds, VmRSS %ld KiB\n", options.Payloads,
                MillisecondsBetween(start, Clock::now()) / 1000, OpenDescriptors(pid),
                ResidentKiB(pid));

    start = Clock::now();
    Cycles(gateway.Port(), options.Cycles);
    std::printf("  %d connect/close/reset cycles: %.1f s, %d fds, VmRSS %ld KiB\n", options.Cycles,
                MillisecondsBetween(start, Clock::now()) / 1000, OpenDescriptors(pid),
                ResidentKiB(pid));

    // Terminals that scan again and again and never read what comes back.
    {
        std::vector<std::unique_ptr<Terminal>> deaf;
        for (int t = 0; t < kDeafTerminals; ++t) {
            deaf.push_back(std::make_unique<Terminal>(gateway.Port(), 0));
            deaf.back()->ExpectFrame(milliseconds(10000));
        }
        for (int round = 0; round < 20; ++round) {
            for (int t = 0; t < kDeafTerminals; ++t)
                deaf[static_cast<std::size_t>(t)]->Scan(Code(t % kArticles));
        }
        Terminal checker(gateway.Port(), 0);
        checker.ExpectFrame(milliseconds(30000));
        start = Clock::now();
        checker.Scan(Code(1));
        const Frame result = checker.ExpectFrame(milliseconds(60000));
        if (!answers.Right(1, result.Bytes)) {
            ++wrong;
        }
        std::printf("  %d terminals that never read: a reading one answered in %.0f ms, %d fds\n",
                    kDeafTerminals, MillisecondsBetween(start, result.At), OpenDescriptors(pid));
    }

    // srv_zel killed and restarted while terminals scan.
    std::atomic<bool> stop{false};
    std::vector<std::atomic<long>> answered(kScanners);
    std::vector<std::thread> scanners;
    for (int t = 0; t < kScanners; ++t) {
        scanners.emplace_back(Scanner, gateway.Port(), t, std::cref(answers), std::cref(stop),
                              std::ref(answered[static_cast<std::size_t>(t)]));
    }
    std::vector<double> recovery;
    for (int r = 0; r < options.Restarts; ++r) {
        std::this_thread::sleep_for(milliseconds(500));
        server.Kill();
        std::this_thread::sleep_for(milliseconds(500));
        std::vector<long> seen;
        for (auto& a : answered) seen.push_back(a.load());
        server.Restart();
        const auto back = Clock::now();
        // Answered again: every scanner has had a result since the restart.
        for (;;) {
            bool all = true;
            for (int t = 0; t < kScanners; ++t)
                all = all &&
                      answered[static_cast<std::size_t>(t)] > seen[static_cast<std::size_t>(t)];
            if (all || Clock::now() - back > std::chrono::seconds(30))
                break;
            std::this_thread::sleep_for(milliseconds(5));
        }
        recovery.push_back(MillisecondsBetween(back, Clock::now()));
    }
    stop = true;
    for (auto& thread : scanners) thread.join();
    std::sort(recovery.begin(), recovery.end());
    if (!recovery.empty()) {
        std::printf(
            "  srv_zel restarted %d times under %d scanning terminals: answered again after "
            "min %.0f / median %.0f / max %.0f ms\n",
            options.Restarts, kScanners, recovery.front(), recovery[recovery.size() / 2],
            recovery.back());
    }
    std::this_thread::sleep_for(milliseconds(500));
    std::printf("  after: %d fds, VmRSS %ld KiB; wrong answers so far: %ld\n\n",
                OpenDescriptors(pid), ResidentKiB(pid), wrong.load());
    gateway.Stop(SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        int* target = arg == "--payloads"   ? &options.Payloads
                      : arg == "--cycles"   ? &options.Cycles
                      : arg == "--restarts" ? &options.Restarts
                                            : nullptr;
        if (target == nullptr || i + 1 >= argc) {
            std::fprintf(stderr, "bench_soak: unknown argument '%s' (try --help)\n", argv[i]);
            return 2;
        }
        *target = std::atoi(argv[++i]);
    }
    RaiseFileLimit();
    try {
        TempDir dir;
        const std::filesystem::path db = dir.File("soak.db");
        std::vector<Article> articles;
        for (int i = 0; i < kArticles; ++i) {
            articles.push_back(
                {Code(i), "ARTICULO " + std::to_string(i), std::to_string(10 + i) + ".50", 1, 0});
        }
        ImportCatalogue(dir, db, articles, {"16"});
        SrvZel server(dir, db);
        for (const int mode : {0, 1}) Soak(dir, server, mode, options);
        std::printf("wrong answers: %ld\n", wrong.load());
        return wrong == 0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_soak: %s\n", error.what());
        return 1;
    }
}
