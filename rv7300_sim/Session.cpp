// The simulator's session loop: poll on the connection and the code input.
#include "rv7300_sim/Session.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>

#include <poll.h>
#include <unistd.h>

#include "common/Text.h"
#include "money/CodePage.h"
#include "rv7300_sim/Display.h"
#include "rv7300_sim/FrameDecoder.h"
#include "rv7300_sim/ScanRequest.h"
#include "rv7300_sim/SimOutput.h"

namespace zel {

namespace {

using Clock = std::chrono::steady_clock;

enum class Waiting { Nothing, Greeting, Answer };

class Session {
public:
    Session(const SimOptions& options, TcpClient& connection, int inputFd, std::ostream& out,
            std::ostream& err)
        : options_(options),
          connection_(connection),
          inputFd_(inputFd),
          out_(out),
          err_(err),
          decoder_(options.type),
          display_(options.type) {}

    int Run();

private:
    bool NextCode(std::string& code);
    void SendScan(const std::string& code);
    void StartWait(Waiting what);
    void ReceiveAndShow();
    void Show(const ReceivedFrame& frame);
    void WaitTimedOut();
    void ReadInput();
    int Status() const;

    const SimOptions& options_;
    TcpClient& connection_;
    int inputFd_;
    std::ostream& out_;
    std::ostream& err_;
    FrameDecoder decoder_;
    Display display_;

    std::optional<std::string> idle_;  // the first screen the gateway sent
    Waiting waiting_ = Waiting::Nothing;
    int framesThisWait_ = 0;
    Clock::time_point deadline_;
    bool closed_ = false;
    bool badFrame_ = false;
    bool noIdle_ = false;
    bool badInput_ = false;

    std::size_t nextScan_ = 0;  // codes from the options
    std::string input_;         // codes from the input: bytes not yet split into lines
    bool inputEnded_ = false;
    long inputLine_ = 0;
};

int Session::Run() {
    out_ << "connected to " << options_.endpoint.ToString() << std::endl;
    StartWait(Waiting::Greeting);
    const bool fromInput = options_.scans.empty();
    for (;;) {
        if (waiting_ == Waiting::Nothing) {
            std::string code;
            if (NextCode(code)) {
                SendScan(code);
                continue;
            }
            if (!fromInput || inputEnded_) {
                break;
            }
        }
        pollfd fds[2] = {{connection_.Fd(), POLLIN, 0}, {inputFd_, POLLIN, 0}};
        const bool watchInput = waiting_ == Waiting::Nothing;
        int timeout = -1;
        if (waiting_ != Waiting::Nothing) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
            timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int ready = ::poll(fds, watchInput ? 2 : 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw ConnectionError(std::string("poll failed: ") + std::strerror(errno));
        }
        if (ready == 0) {
            WaitTimedOut();
            continue;
        }
        if (fds[0].revents != 0) {
            ReceiveAndShow();
            if (closed_) {
                break;
            }
        }
        if (watchInput && fds[1].revents != 0) {
            ReadInput();
        }
    }
    return Status();
}

// The next code to send, if one is ready. Lines of the input that are not
// codes are reported and skipped.
bool Session::NextCode(std::string& code) {
    if (!options_.scans.empty()) {
        if (nextScan_ >= options_.scans.size()) {
            return false;
        }
        code = options_.scans[nextScan_++];
        return true;
    }
    for (;;) {
        auto newline = input_.find('\n');
        if (newline == std::string::npos) {
            if (!inputEnded_ || input_.empty()) {
                return false;
            }
            newline = input_.size();  // a last line without its newline
        }
        std::string line = input_.substr(0, newline);
        input_.erase(0, newline < input_.size() ? newline + 1 : newline);
        ++inputLine_;
        line = std::string(Trim(line, " \t\r"));
        if (line.empty()) {
            continue;
        }
        try {
            CheckScanCode(line);
        } catch (const UsageError& e) {
            err_ << "rv7300_sim: input line " << inputLine_ << ": " << e.what() << std::endl;
            badInput_ = true;
            continue;
        }
        code = std::move(line);
        return true;
    }
}

void Session::SendScan(const std::string& code) {
    for (const auto& warning : ScanCodeWarnings(code, options_.type)) {
        err_ << "rv7300_sim: warning: " << warning << std::endl;
    }
    const std::string request = EncodeScanRequest(code, options_.type);
    out_ << "scan " << code << '\n';
    if (options_.raw) {
        out_ << ">> " << FormatHex(request) << '\n';
    }
    out_.flush();
    // One write, so that the gateway takes the whole request in one read.
    connection_.SendAll(request);
    StartWait(Waiting::Answer);
}

void Session::StartWait(Waiting what) {
    waiting_ = what;
    framesThisWait_ = 0;
    deadline_ = Clock::now() + std::chrono::milliseconds(options_.waitMs);
}

void Session::ReceiveAndShow() {
    const std::string bytes = connection_.Receive();
    if (bytes.empty()) {
        if (auto rest = decoder_.Flush()) {
            Show(*rest);
        }
        out_ << "connection closed by the gateway" << std::endl;
        closed_ = true;
        return;
    }
    // The wait is for quiet: any byte from the gateway starts it again.
    deadline_ = Clock::now() + std::chrono::milliseconds(options_.waitMs);
    for (const auto& frame : decoder_.Feed(bytes)) {
        Show(frame);
    }
}

void Session::Show(const ReceivedFrame& frame) {
    if (options_.raw || !frame.Good()) {
        out_ << "<< " << FormatHex(frame.bytes) << '\n';
    }
    if (!frame.Good()) {
        out_ << "bad frame: " << frame.fault << '\n';
        badFrame_ = true;
    }
    if (frame.hasText) {
        display_.Show(frame.text);
        for (const auto& row : FormatScreenBox(display_.Lines())) {
            out_ << TerminalCodePage().ToUtf8(row) << '\n';
        }
        ++framesThisWait_;
        if (!idle_) {
            idle_ = frame.text;
        }
        if (waiting_ != Waiting::Nothing && frame.text == *idle_) {
            waiting_ = Waiting::Nothing;
        }
    }
    out_.flush();
}

void Session::WaitTimedOut() {
    if (auto rest = decoder_.Flush()) {
        Show(*rest);
    }
    const std::string limit = std::to_string(options_.waitMs) + " ms";
    if (waiting_ == Waiting::Greeting) {
        out_ << "no idle screen within " << limit << std::endl;
    } else if (framesThisWait_ == 0) {
        out_ << "no answer within " << limit << std::endl;
    } else {
        out_ << "idle screen did not come back within " << limit << std::endl;
    }
    noIdle_ = true;
    waiting_ = Waiting::Nothing;
}

void Session::ReadInput() {
    char buffer[4096];
    ssize_t got;
    do {
        got = ::read(inputFd_, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        if (got < 0) {
            err_ << "rv7300_sim: cannot read the codes: " << std::strerror(errno) << std::endl;
            badInput_ = true;
        }
        inputEnded_ = true;
        return;
    }
    input_.append(buffer, static_cast<std::size_t>(got));
}

int Session::Status() const {
    if (closed_) {
        return EXIT_CONNECTION;
    }
    if (badFrame_) {
        return EXIT_BAD_FRAME;
    }
    if (noIdle_) {
        return EXIT_NO_IDLE;
    }
    if (badInput_) {
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

}  // namespace

int RunSession(const SimOptions& options, TcpClient& connection, int inputFd, std::ostream& out,
               std::ostream& err) {
    Session session(options, connection, inputFd, out, err);
    return session.Run();
}

}  // namespace zel
