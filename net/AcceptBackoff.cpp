#include "net/AcceptBackoff.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>
#include <cerrno>
#include <cstring>

namespace zel {
namespace {

int OpenSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

AcceptBackoff::AcceptBackoff(std::string farewell, std::function<void()> resume)
    : farewell_(std::move(farewell)),
      resume_(std::move(resume)),
      timer_(std::make_unique<QTimer>()),
      spare_(OpenSpare()) {
    timer_->setSingleShot(true);
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { Resume(); });
}

AcceptBackoff::~AcceptBackoff() {
    if (spare_ >= 0) {
        ::close(spare_);
    }
}

bool AcceptBackoff::IsShortage(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

AcceptBackoff::Outcome AcceptBackoff::Failed(int listener, int code, std::string_view port,
                                             std::size_t open,
                                             const std::function<bool()>& makeRoom) {
    if (!IsShortage(code)) {
        return Outcome::Other;
    }
    if (const auto line = episode_.Begin(
            std::string(port) + ": cannot accept a connection (" + std::strerror(code) + ") with " +
                std::to_string(open) + " open; until handles are free, " +
                (makeRoom ? "an idle connection gives way to a new one where there is one, else "
                            "new ones are refused"
                          : "new ones are refused") +
                " (LimitNOFILE raises the limit)",
            EpisodeNotice::Clock::now());
        line && journal_) {
        journal_(*line);
    }
    if (makeRoom && makeRoom()) {
        return Outcome::RoomMade;
    }
    Refuse(listener);
    pausing_ = true;
    timer_->start(PAUSE);
    return Outcome::Pausing;
}

void AcceptBackoff::Refuse(int listener) {
    for (int i = 0; i < REFUSED_PER_PAUSE; ++i) {
        if (spare_ >= 0) {
            ::close(spare_);
            spare_ = -1;
        }
        const int handle = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (handle < 0) {
            break;
        }
        if (!farewell_.empty()) {
            // Into an empty send buffer: it goes whole or not at all.
            [[maybe_unused]] const ssize_t sent =
                ::send(handle, farewell_.data(), farewell_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        ::close(handle);
        spare_ = OpenSpare();
    }
    if (spare_ < 0) {
        spare_ = OpenSpare();
    }
}

void AcceptBackoff::Accepted() {
    episode_.End();
}

void AcceptBackoff::Released() {
    if (pausing_) {
        Resume();
    }
}

void AcceptBackoff::Resume() {
    timer_->stop();
    pausing_ = false;
    if (resume_) {
        resume_();
    }
}

}  // namespace zel
