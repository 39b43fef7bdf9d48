#include "gateway/CurlMulti.h"

#include <curl/curl.h>

#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <stdexcept>

namespace zel {

struct CurlMulti::Callbacks {
    static int Socket(CURL* /*easy*/, curl_socket_t fd, int what, void* self, void* /*data*/) {
        static_cast<CurlMulti*>(self)->Watch(fd, what);
        return 0;
    }
    static int Timer(CURLM* /*multi*/, long milliseconds, void* self) {
        QTimer& timer = *static_cast<CurlMulti*>(self)->timer_;
        if (milliseconds < 0) {
            timer.stop();
        } else {
            timer.start(static_cast<int>(std::min<long>(milliseconds, INT_MAX)));
        }
        return 0;
    }
};

CurlMulti::CurlMulti(long connections, Done done, std::function<void()> idleClosed)
    : multi_(curl_multi_init()),
      done_(std::move(done)),
      idleClosed_(std::move(idleClosed)),
      context_(std::make_unique<QObject>()) {
    if (multi_ == nullptr) {
        throw std::runtime_error("HTTP client: out of memory");
    }
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &Callbacks::Socket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &Callbacks::Timer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, connections);
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_NOTHING));
    timer_ = new QTimer(context_.get());
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_, &QTimer::timeout, context_.get(),
                     [this] { Act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlMulti::~CurlMulti() {
    for (CURL* handle : running_) {
        curl_multi_remove_handle(multi_, handle);
    }
    idle_.clear();
    curl_multi_cleanup(multi_);  // closes the kept connections
    sockets_.clear();
    context_.reset();
}

void CurlMulti::Add(CURL* handle) {
    running_.insert(handle);
    if (curl_multi_add_handle(multi_, handle) != CURLM_OK) {
        // Only when out of memory: it ends like a failed transfer, from the loop.
        QMetaObject::invokeMethod(
            context_.get(),
            [this, handle] {
                if (running_.erase(handle) != 0) {
                    done_(handle, CURLE_OUT_OF_MEMORY);
                }
            },
            Qt::QueuedConnection);
    }
}

void CurlMulti::Watch(int fd, int what) {
    idle_.erase(fd);  // in use again, or a new connection on the same number
    if (what == CURL_POLL_REMOVE) {
        sockets_.erase(fd);
        return;
    }
    Watches& w = sockets_[fd];
    const bool in = (what & CURL_POLL_IN) != 0;
    const bool out = (what & CURL_POLL_OUT) != 0;
    if (in && !w.In.Watching()) {
        w.In = ReadinessWatch(fd, ReadinessWatch::Kind::Read,
                              [this](int h) { Act(h, CURL_CSELECT_IN); });
    }
    w.In.SetEnabled(in);
    if (out && !w.Out.Watching()) {
        w.Out = ReadinessWatch(fd, ReadinessWatch::Kind::Write,
                               [this](int h) { Act(h, CURL_CSELECT_OUT); });
    }
    w.Out.SetEnabled(out);
}

void CurlMulti::Act(int fd, int events) {
    int running = 0;
    curl_multi_socket_action(multi_, fd, events, &running);
    Reap();
}

void CurlMulti::Reap() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* handle = message->easy_handle;
        const CURLcode code = message->data.result;
        WatchIdle(handle);
        curl_multi_remove_handle(multi_, handle);
        if (running_.erase(handle) != 0) {
            done_(handle, code);
        }
    }
}

void CurlMulti::WatchIdle(CURL* handle) {
    curl_socket_t fd = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &fd) != CURLE_OK ||
        fd == CURL_SOCKET_BAD || sockets_.contains(fd)) {
        return;  // closed, or another transfer has it already
    }
    idle_[fd] = ReadinessWatch(fd, ReadinessWatch::Kind::Read, [this](int h) {
        idle_.erase(h);  // once: libcurl closes it when it next looks
        if (idleClosed_) {
            idleClosed_();
        }
    });
}

}  // namespace zel
