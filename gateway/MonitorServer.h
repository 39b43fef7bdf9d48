// MonitorServer: the gateway's status and metrics endpoint, served over HTTP
// on the gateway's own event loop.
//
//   GET /         the technician's page (MonitorPage), which reads /status
//   GET /status   JSON: the gateway, the application server, the terminals
//   GET /metrics  Prometheus text format, with a series per terminal the
//                 gateway remembers and per code most often not found
//                 (ActivityMetrics)
//   GET /no-encontrados.csv  the codes not found, for a back office to import
//
// Every answer reads the figures of the moment it is asked, through the
// source the gateway gives: nothing is copied while nobody asks, and the
// endpoint lives and dies with the loop, with no thread of its own.
//
// The port may be open to the shop's network, so no client can starve or
// swell it: a request is read by MonitorRequest within its limits (a head of
// 8 KiB, no body), answered from the route table (MonitorRoutes), and the
// connections are held to MonitorConnections' number and times; the sockets
// only read and write (StreamListener, StreamConnection).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "gateway/GatewayStats.h"
#include "gateway/MonitorConnections.h"
#include "gateway/MonitorRoutes.h"

class QTimer;

namespace zel {

class RosterObserver;
class StreamListener;
class TerminalNames;

class MonitorServer {
public:
    using Source = std::function<StatsSnapshot()>;
    using Text = std::function<std::string()>;
    using Journal = std::function<void(const std::string& line)>;

    // Listens on `address` ("host:port"; port 0 lets the system choose), the
    // port for this process alone; throws std::runtime_error naming the
    // address when it cannot listen there. `source` (for /status) and
    // `metrics` (the text of /metrics) are called on the loop's thread, once
    // per request; `journal` hears of a full table or a shortage of file
    // handles, once per episode.
    MonitorServer(const std::string& address, Source source, Text metrics, Journal journal = {});
    ~MonitorServer();
    MonitorServer(const MonitorServer&) = delete;
    MonitorServer& operator=(const MonitorServer&) = delete;

    // "host:port" as listened on.
    const std::string& Address() const { return address_; }

    // Closes the connection idle the longest, for a terminal that finds no
    // file handle free; false when none is open.
    bool GiveWay();

private:
    using Id = MonitorConnections::Id;
    using Time = MonitorConnections::Time;
    struct Client;

    void Accepted(int handle);
    void Received(Id id, std::string_view bytes);
    // Answers the request whose head has come, if one has.
    void Serve(Id id, Time now);
    // Sends an answer; the next request is read once it has gone, and one
    // sent ahead of its turn waits for the loop's next pass.
    void Answer(Id id, Client& client, const std::string& answer, bool close, Time now);
    void AnswerOut(Id id, Client& client, Time now);
    void Drained(Id id);
    void Drop(Id id);
    void Expire();
    void Arm();

    Source source_;
    Text metrics_;
    Journal journal_;
    MonitorRouteTable routes_;
    MonitorConnections table_;
    std::map<Id, Client> clients_;
    std::unique_ptr<QTimer> timer_;  // at the table's next deadline
    std::unique_ptr<StreamListener> listener_;
    std::string address_;
};

}  // namespace zel
