// CurlMulti: libcurl's multi interface on the Qt event loop of this thread,
// with no thread of its own. libcurl says which sockets to watch and when to
// wake it (its socket and timer functions); the loop's readiness and a timer
// hand that back through curl_multi_socket_action, and each transfer that
// ends is told to `done`, from the loop, never from inside Add.
//
// libcurl owns its connections. A kept-alive one that no transfer uses is
// only looked at: when it turns readable (the server closed it, or spoke
// out of turn) `idleClosed` is told, once, and libcurl finds it gone when a
// transfer next asks for a connection.
//
// Loop thread only. Destroying it removes the transfers still running
// without telling `done`; their easy handles stay their owner's.
#pragma once

#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "net/Readiness.h"

class QObject;
class QTimer;
typedef void CURL;
typedef void CURLM;

namespace zel {

class CurlMulti {
public:
    using Done = std::function<void(CURL* handle, int code)>;  // code: a CURLcode

    // At most `connections` connections at once, and as many kept for reuse.
    CurlMulti(long connections, Done done, std::function<void()> idleClosed);
    ~CurlMulti();
    CurlMulti(const CurlMulti&) = delete;
    CurlMulti& operator=(const CurlMulti&) = delete;

    void Add(CURL* handle);

private:
    struct Callbacks;  // libcurl's, in its own types
    struct Watches {
        ReadinessWatch In;
        ReadinessWatch Out;
    };

    void Watch(int fd, int what);
    void Act(int fd, int events);
    void Reap();
    void WatchIdle(CURL* handle);

    CURLM* multi_ = nullptr;
    Done done_;
    std::function<void()> idleClosed_;
    std::unique_ptr<QObject> context_;  // parents the timer; posted calls die with it
    QTimer* timer_ = nullptr;
    std::unordered_set<CURL*> running_;
    std::unordered_map<int, Watches> sockets_;      // of the transfers running
    std::unordered_map<int, ReadinessWatch> idle_;  // kept-alive connections unused
};

}  // namespace zel
