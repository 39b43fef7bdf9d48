#include "srv_zel/WorkLanes.h"

#include <optional>

#include "srv_zel/CancelSignal.h"

namespace zel {

WorkLanes::WorkLanes(std::vector<HttpLane> lanes, Notice notice)
    : config_(std::move(lanes)), notice_(std::move(notice)) {
    if (config_.empty()) {
        config_.push_back({"requests", 1, 0});
    }
}

WorkLanes::~WorkLanes() {
    Stop();
}

void WorkLanes::Start() {
    Stop();
    for (const auto& config : config_) {
        auto lane = std::make_unique<Lane>();
        lane->config = config;
        const std::size_t n = config.Workers == 0 ? 1 : config.Workers;
        for (std::size_t i = 0; i < n; ++i) {
            lane->threads.emplace_back([this, l = lane.get()] { Work(*l); });
        }
        lanes_.push_back(std::move(lane));
    }
}

void WorkLanes::Stop() {
    for (auto& lane : lanes_) {
        {
            const std::lock_guard lock(lane->mutex);
            lane->stop = true;
        }
        lane->ready.notify_all();
        for (auto& t : lane->threads) {
            t.join();
        }
    }
    lanes_.clear();
}

void WorkLanes::Work(Lane& lane) {
    for (;;) {
        std::optional<LaneJob> job;
        {
            std::unique_lock lock(lane.mutex);
            lane.ready.wait(lock, [&] { return lane.stop || !lane.queue.empty(); });
            if (lane.queue.empty()) {
                return;
            }
            job.emplace(std::move(lane.queue.front()));
            lane.queue.pop_front();
            ++lane.busy;
        }
        if (job->Gone && job->Gone->Cancelled()) {
            job->Drop();
        } else {
            job->Run();
        }
        job.reset();
        const std::lock_guard lock(lane.mutex);
        --lane.busy;
        if (lane.queue.empty()) {
            lane.allBusy.End();
        }
    }
}

bool WorkLanes::Dispatch(std::size_t index, LaneJob job) {
    Lane& lane = *lanes_[index < lanes_.size() ? index : 0];
    std::optional<std::string> line;
    {
        const std::lock_guard lock(lane.mutex);
        if (lane.config.MaxQueued != 0 && lane.queue.size() >= lane.config.MaxQueued) {
            return false;
        }
        if (lane.busy + lane.queue.size() >= lane.threads.size()) {
            line =
                lane.allBusy.Begin("all " + std::to_string(lane.threads.size()) + " " +
                                       lane.config.Name + " workers busy; requests wait their turn",
                                   EpisodeNotice::Clock::now());
        }
        lane.queue.push_back(std::move(job));
    }
    lane.ready.notify_one();
    if (line && notice_) {
        notice_(*line);
    }
    return true;
}

}  // namespace zel
