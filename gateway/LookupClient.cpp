#include "gateway/LookupClient.h"

#include <curl/curl.h>

#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "common/ServerNames.h"
#include "server/WireFormat.h"

namespace zel {

namespace {

// A server that closes every idle connection at once is not given new ones
// more often than this.
constexpr std::chrono::seconds REWARM_SPACING{1};
// The idle check is looked at this many times per its period.
constexpr int IDLE_TICKS = 4;

LookupOutcome OutcomeOf(const BuscaPrecioCall& reply) {
    LookupOutcome outcome;
    outcome.Result = reply.Result;
    outcome.Precio = reply.Precio;
    outcome.Descrip = reply.Descrip;
    outcome.Ban_Imps = reply.Ban_Imps;
    outcome.Imps_Act = reply.Imps_Act;
    return outcome;
}

}  // namespace

LookupClient::LookupClient(IData_Srv_Zel& server, std::chrono::milliseconds limit, int connections,
                           Done done, Tuning tuning)
    : server_(server),
      limit_(limit),
      connections_(connections < 1 ? 1 : static_cast<std::size_t>(connections)),
      done_(std::move(done)),
      tuning_(tuning),
      context_(std::make_unique<QObject>()),
      lastActivity_(std::chrono::steady_clock::now()),
      multi_(
          static_cast<long>(connections_),
          [this](CURL* handle, int code) { Finished(handle, code); }, [this] { IdleClosed(); }) {
    idleTimer_ = new QTimer(context_.get());
    QObject::connect(idleTimer_, &QTimer::timeout, context_.get(), [this] { IdleTick(); });
    idleTimer_->start(std::max<std::chrono::milliseconds>(tuning_.IdleCheck / IDLE_TICKS,
                                                          std::chrono::milliseconds(1)));
    rewarmTimer_ = new QTimer(context_.get());
    rewarmTimer_->setSingleShot(true);
    QObject::connect(rewarmTimer_, &QTimer::timeout, context_.get(), [this] { Rewarm(); });
}

LookupClient::~LookupClient() = default;

std::unique_ptr<LookupClient::Transfer> LookupClient::NewTransfer() {
    if (spare_.empty()) {
        return std::make_unique<Transfer>();
    }
    std::unique_ptr<Transfer> transfer = std::move(spare_.back());
    spare_.pop_back();
    transfer->Turn = 0;
    return transfer;
}

std::size_t LookupClient::WarmWanted() const {
    return tuning_.WarmConnections <= 0
               ? connections_
               : std::min(static_cast<std::size_t>(tuning_.WarmConnections), connections_);
}

void LookupClient::Warm(std::function<void()> warmed) {
    warmed_ = std::move(warmed);
    for (std::size_t i = 0; i < WarmWanted(); ++i) {
        StartCheck(server_.Order(), true);
    }
}

void LookupClient::Submit(std::uint64_t ticket, LookupRequest request) {
    lastActivity_ = std::chrono::steady_clock::now();
    if (lookups_ >= connections_) {
        queue_.push_back({ticket, std::move(request)});
        return;
    }
    StartLookup(ticket, request);
}

void LookupClient::StartLookup(std::uint64_t ticket, const LookupRequest& request) {
    BuscaPrecioCall call;
    call.Codigo = request.Codigo;
    call.No_Precio = request.No_Precio;
    call.Descrip = request.Descrip;
    call.Mult = 1.0;
    auto transfer = NewTransfer();
    transfer->Order = server_.Order();
    try {
        transfer->Body = EncodeBuscaPrecioRequest(call);
    } catch (const WireError& error) {
        // Answered from the loop, never from inside the caller's own call.
        LookupFailure failure{server_.FailureText(transfer->Order.front(), Operation::BuscaPrecio,
                                                  std::string("request: ") + error.what())};
        QMetaObject::invokeMethod(
            context_.get(),
            [this, ticket, failure = std::move(failure)] { done_(ticket, failure); },
            Qt::QueuedConnection);
        spare_.push_back(std::move(transfer));
        return;
    }
    transfer->Check = false;
    transfer->Warming = false;
    transfer->Ticket = ticket;
    ++lookups_;
    Start(std::move(transfer));
}

void LookupClient::StartCheck(std::vector<std::size_t> order, bool warming) {
    auto transfer = NewTransfer();
    transfer->Check = true;
    transfer->Warming = warming;
    transfer->Order = std::move(order);
    ++checks_;
    warming_ += warming ? 1 : 0;
    Start(std::move(transfer));
}

void LookupClient::Start(std::unique_ptr<Transfer> transfer) {
    Transfer& t = *transfer;
    server_.Prepare(t.Exchange, t.Order[t.Turn],
                    t.Check ? Operation::Create : Operation::BuscaPrecio,
                    t.Check ? std::string() : t.Body, limit_, limit_);
    CURL* handle = t.Exchange.Handle();
    active_.emplace(handle, std::move(transfer));
    multi_.Add(handle);
}

void LookupClient::Finished(CURL* handle, int code) {
    auto node = active_.extract(handle);
    if (node.empty()) {
        return;
    }
    std::unique_ptr<Transfer> transfer = std::move(node.mapped());
    Transfer& t = *transfer;
    const std::size_t address = t.Order[t.Turn];
    const IData_Srv_Zel::Verdict verdict = server_.Judge(
        t.Exchange, address, t.Check ? Operation::Create : Operation::BuscaPrecio, code);
    if (verdict.Changed) {
        Journal(address);
    }
    if (verdict.TryNext && t.Turn + 1 < t.Order.size()) {
        ++t.Turn;
        Start(std::move(transfer));
        return;
    }
    if (t.Check) {
        --checks_;
        warming_ -= t.Warming ? 1 : 0;
        spare_.push_back(std::move(transfer));
        if (warming_ == 0 && warmed_) {
            std::exchange(warmed_, nullptr)();
        }
        return;
    }
    LookupAnswer answer = AnswerOf(t, verdict);
    const std::uint64_t ticket = t.Ticket;
    spare_.push_back(std::move(transfer));
    --lookups_;
    while (lookups_ < connections_ && !queue_.empty()) {
        Queued next = std::move(queue_.front());
        queue_.pop_front();
        StartLookup(next.Ticket, next.Request);
    }
    done_(ticket, std::move(answer));  // last: it may submit the next lookup
}

LookupAnswer LookupClient::AnswerOf(const Transfer& t, const IData_Srv_Zel::Verdict& verdict) {
    if (!verdict.Answered) {
        return LookupFailure{verdict.Words, verdict.Kind};
    }
    pricesAsOf_ = t.Exchange.Header(CATALOGUE_AS_OF_HEADER);
    try {
        return OutcomeOf(DecodeBuscaPrecioReply(t.Exchange.Body()));
    } catch (const WireError& error) {
        return LookupFailure{server_.FailureText(t.Order[t.Turn], Operation::BuscaPrecio,
                                                 std::string("answer: ") + error.what()),
                             ServerFailure::BadAnswer};
    }
}

void LookupClient::IdleClosed() {
    // The server closes its idle connections all at once: one re-warming
    // for all of them, once the loop has seen them go.
    if (!rewarmTimer_->isActive()) {
        const auto wait = lastRewarm_ + REWARM_SPACING - std::chrono::steady_clock::now();
        rewarmTimer_->start(std::max(std::chrono::duration_cast<std::chrono::milliseconds>(wait),
                                     std::chrono::milliseconds(0)));
    }
}

void LookupClient::Rewarm() {
    // As many checks as there are connections to keep beside the lookups:
    // each takes a kept connection, keeping it open, or opens a new one in
    // place of one the server closed.
    lastRewarm_ = std::chrono::steady_clock::now();
    for (std::size_t busy = lookups_ + warming_; busy < WarmWanted(); ++busy) {
        StartCheck(server_.Order(), true);
    }
}

void LookupClient::IdleTick() {
    const auto now = std::chrono::steady_clock::now();
    if (lookups_ > 0 || !queue_.empty() || checks_ > 0 || now - lastActivity_ < tuning_.IdleCheck) {
        return;
    }
    lastActivity_ = now;
    for (std::size_t i = 0; i < server_.Locations().size(); ++i) {
        StartCheck({i}, false);
    }
}

void LookupClient::Journal(std::size_t address) {
    const ServerHealth& health = server_.Health();
    if (health.Now == ServerHealth::Down) {
        std::fprintf(stderr, "The server does not answer: %s\n", health.LastError.c_str());
        announcedDown_ = true;
    } else if (health.Now == ServerHealth::Up && announcedDown_) {
        std::fprintf(stderr, "The server answers again: %s at %s\n", server_.ClassName().c_str(),
                     server_.Locations()[address].ToString().c_str());
        announcedDown_ = false;
    }
}

}  // namespace zel
