#include "gateway/MonitorServer.h"

#include <QTimer>
#include <algorithm>
#include <stdexcept>
#include <variant>

#include "gateway/MonitorPage.h"
#include "gateway/StatusJson.h"
#include "net/StreamConnection.h"
#include "net/StreamListener.h"
#include "server/ServerAddress.h"

namespace zel {
namespace {

using Phase = MonitorConnections::Phase;

// The page's own inline style and script, its own /status, and nothing else.
constexpr std::string_view PAGE_POLICY =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; form-action 'none'; base-uri 'none'; "
    "frame-ancestors 'none'";

// A closing connection's bytes are read and dropped, up to this many, so
// that its peer reads the answer before the close rather than a reset.
constexpr std::size_t LINGER_BYTES = 64 * 1024;

}  // namespace

struct MonitorServer::Client {
    std::unique_ptr<StreamConnection> Socket;
    MonitorRequest Request;
    bool CloseAfter = false;  // the answer under way is the last
    std::size_t Dropped = 0;  // bytes read and dropped while closing
};

MonitorServer::MonitorServer(const std::string& address, Source source, Text metrics,
                             Journal journal)
    : source_(std::move(source)),
      metrics_(std::move(metrics)),
      journal_(std::move(journal)),
      timer_(std::make_unique<QTimer>()) {
    routes_ = {
        {"/",
         "text/html; charset=utf-8",
         [] { return std::string(MonitorPage()); },
         {{"Content-Security-Policy", std::string(PAGE_POLICY)}}},
        {"/status", "application/json", [this] { return StatusJsonOf(source_()); }},
        {"/metrics", "text/plain; version=0.0.4; charset=utf-8", [this] { return metrics_(); }},
        {"/no-encontrados.csv",
         "text/csv; charset=utf-8; header=present",
         [this] {
             const StatsSnapshot s = source_();
             return NotFoundCsvOf(s.NotFound, s.Names);
         },
         {{"Content-Disposition", "attachment; filename=\"no-encontrados.csv\""}}},
    };
    timer_->setSingleShot(true);
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { Expire(); });
    StreamListener::Service service;
    service.Name = "Monitor port";
    service.Accepted = [this](int handle) { Accepted(handle); };
    service.MakeRoom = [this] { return GiveWay(); };
    service.Open = [this] { return clients_.size(); };
    service.Farewell =
        MonitorRefusal({503, "the gateway is out of file handles for now; try again later"});
    service.Journal = journal_;
    try {
        ServerAddress where = ParseServerAddress(address, 0, true);
        // Bound here with SO_REUSEADDR only, never SO_REUSEPORT: a second
        // gateway on the same port is refused rather than handed every
        // other request.
        listener_ = std::make_unique<StreamListener>(where.Host, where.Port, std::move(service));
        where.Port = listener_->Port();
        address_ = where.ToString();
    } catch (const std::exception& error) {
        throw std::runtime_error("[MONITOR] DIRECCION = \"" + address + "\": " + error.what());
    }
}

MonitorServer::~MonitorServer() {
    listener_.reset();
    clients_.clear();
}

void MonitorServer::Accepted(int handle) {
    const Time now = MonitorConnections::Clock::now();
    const MonitorConnections::Opened opened = table_.Open(now);
    if (opened.Evicted) {
        Drop(*opened.Evicted);
    }
    if (opened.Line && journal_) {
        journal_(*opened.Line);
    }
    const Id id = opened.Connection;
    StreamConnection::Events events;
    events.Received = [this, id](std::string_view bytes) { Received(id, bytes); };
    events.Drained = [this, id] { Drained(id); };
    events.Ended = [this, id] {
        Drop(id);
        Arm();
    };
    try {
        clients_[id].Socket = std::make_unique<StreamConnection>(handle, std::move(events));
    } catch (...) {
        Drop(id);
        throw;
    }
    Arm();
}

void MonitorServer::Received(Id id, std::string_view bytes) {
    Client& client = clients_.at(id);
    const Time now = MonitorConnections::Clock::now();
    const std::optional<Phase> phase = table_.PhaseOf(id);
    if (phase == Phase::Closing) {
        client.Dropped += bytes.size();
        if (client.Dropped > LINGER_BYTES) {
            client.Socket->SetReading(false);  // it waits for its time to end
        }
        return;
    }
    if (phase == Phase::Idle) {
        table_.Enter(id, Phase::Head, now);
    }
    client.Request.Add(bytes);
    Serve(id, now);
    Arm();
}

void MonitorServer::Serve(Id id, Time now) {
    const auto found = clients_.find(id);
    if (found == clients_.end()) {
        return;
    }
    Client& client = found->second;
    const RequestOutcome outcome = client.Request.Take();
    if (const auto* head = std::get_if<RequestHead>(&outcome)) {
        Answer(id, client, MonitorAnswer(routes_, *head), !head->KeepAlive, now);
    } else if (const auto* refusal = std::get_if<RequestRefusal>(&outcome)) {
        Answer(id, client, MonitorRefusal(*refusal), true, now);
    }
}

void MonitorServer::Answer(Id id, Client& client, const std::string& answer, bool close, Time now) {
    client.CloseAfter = close;
    const bool sent = client.Socket->Send(answer);
    if (client.Socket->Failed()) {
        Drop(id);
        return;
    }
    if (sent && (close || !client.Request.Started())) {
        AnswerOut(id, client, now);
        return;
    }
    // Nothing more is read while the client does not take its answer; and
    // requests sent ahead are answered one per pass of the loop, so that a
    // client that sends many at once cannot hold the terminals up.
    if (sent) {
        client.Socket->AwaitDrained();
    }
    client.Socket->SetReading(false);
    table_.Enter(id, Phase::Answer, now);
}

void MonitorServer::AnswerOut(Id id, Client& client, Time now) {
    table_.Answered(id, now);
    client.Socket->SetReading(true);
    if (client.CloseAfter) {
        client.Socket->ShutdownWrite();
        table_.Enter(id, Phase::Closing, now);
    } else {
        table_.Enter(id, client.Request.Started() ? Phase::Head : Phase::Idle, now);
    }
}

void MonitorServer::Drained(Id id) {
    Client& client = clients_.at(id);
    const Time now = MonitorConnections::Clock::now();
    AnswerOut(id, client, now);
    if (!client.CloseAfter) {
        Serve(id, now);  // a request that came with the one before
    }
    Arm();
}

void MonitorServer::Drop(Id id) {
    table_.Remove(id);
    if (clients_.erase(id) > 0 && listener_) {
        listener_->Released();
    }
}

bool MonitorServer::GiveWay() {
    const std::optional<Id> idlest = table_.Idlest();
    if (idlest) {
        Drop(*idlest);
    }
    return idlest.has_value();
}

void MonitorServer::Expire() {
    const Time now = MonitorConnections::Clock::now();
    for (const auto& [id, phase] : table_.Expired(now)) {
        const auto found = clients_.find(id);
        if (phase == Phase::Head && found != clients_.end() && found->second.Request.Started()) {
            Answer(id, found->second, MonitorRefusal({408, "the request's head took too long"}),
                   true, now);
        } else {
            Drop(id);
        }
    }
    Arm();
}

void MonitorServer::Arm() {
    const std::optional<Time> next = table_.NextDeadline();
    if (!next) {
        timer_->stop();
        return;
    }
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(*next - MonitorConnections::Clock::now());
    timer_->start(std::max(wait, std::chrono::milliseconds(0)));
}

}  // namespace zel
