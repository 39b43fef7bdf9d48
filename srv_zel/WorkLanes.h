// WorkLanes: the workers that serve requests which may take long, in lanes
// of their own (lookups, queries), each with its threads and its bounded
// queue, so that slow work of one kind never takes the workers of another.
// A queued job whose client has gone is dropped unrun: its worker is never
// taken. When every worker of a lane is busy a notice says so, once per
// episode.
//
// Own threads rather than asio::thread_pool: the queue's length is what
// bounds a lane and what tells that all its workers are busy.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/EpisodeNotice.h"

namespace zel {

class CancelSignal;

struct HttpLane {
    std::string Name;           // for notices: "lookups", "queries"
    std::size_t Workers = 1;    // at least 1
    std::size_t MaxQueued = 0;  // requests waiting beyond these get 503; 0: no bound
};

struct LaneJob {
    std::shared_ptr<CancelSignal> Gone;
    std::function<void()> Run;   // on a worker
    std::function<void()> Drop;  // on a worker, instead of Run once Gone is cancelled
};

class WorkLanes {
public:
    using Notice = std::function<void(const std::string& line)>;

    WorkLanes(std::vector<HttpLane> lanes, Notice notice);
    ~WorkLanes();
    WorkLanes(const WorkLanes&) = delete;
    WorkLanes& operator=(const WorkLanes&) = delete;

    void Start();
    // Runs what is queued (or drops it) and joins the workers.
    void Stop();
    // Queues a job on a lane (an index past the last: the first); false when
    // that lane's queue is full.
    bool Dispatch(std::size_t lane, LaneJob job);

private:
    struct Lane {
        HttpLane config;
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<LaneJob> queue;
        std::size_t busy = 0;
        bool stop = false;
        EpisodeNotice allBusy;
        std::vector<std::thread> threads;
    };

    void Work(Lane& lane);

    std::vector<HttpLane> config_;
    Notice notice_;
    std::vector<std::unique_ptr<Lane>> lanes_;
};

}  // namespace zel
