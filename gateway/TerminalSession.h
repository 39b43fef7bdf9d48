// TerminalSession: the scan handling of one terminal connection as a state
// machine over events, with no socket, no timer and no server.
//
// Events come in (connected, bytes received, lookup finished, pause elapsed,
// closed); actions come out as values (send these bytes, log this line, look
// this code up, pause N ms, stop or resume reading) for the gateway to carry
// out in order. PlanScanReply decides what is sent; the session decides when.
//
// States: idle (reading), looking up, pausing, closed. While a lookup or a
// pause stands the terminal's reading is suspended, so what it sends waits
// in its socket and arrives afterwards in one read, as it always has.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "gateway/GatewaySettings.h"
#include "gateway/Price.h"
#include "gateway/ScanReply.h"
#include "server/ServerError.h"

namespace zel {

class CodePage;
struct MoneySettings;

using SessionClock = std::chrono::steady_clock;

// What every session reads and never changes; the gateway owns the values.
struct ScanContext {
    const GatewaySettings& Settings;
    const TaxRateArray& TaxRates;
    const MoneySettings& Money;
    const CodePage& Codes;
    bool Debug = false;  // the debug log exists
};

// The arguments of one BuscaPrecio call that depend on the scan.
struct LookupRequest {
    double Codigo = 0;
    std::int8_t No_Precio = 0;
    std::string Descrip;  // the trace line in debug mode, else empty
};

// A lookup that did not answer: the server's error, a time limit, a broken
// connection. Cause is text for people.
struct LookupFailure {
    std::string Cause;
    ServerFailure Kind = ServerFailure::Other;
};
using LookupAnswer = std::variant<LookupOutcome, LookupFailure>;

// Actions, carried out by the gateway in the order given.
struct SendBytes {
    std::string Bytes;  // one framed screen
};
struct LogLine {
    std::string Line;
    bool Fault = false;  // a failure: also to the journal when there is no debug log
};
struct StartLookup {
    LookupRequest Request;
};
struct StartPause {
    int Milliseconds;  // positive
};
struct SetReading {
    bool On;
};
// Of the listener, from the session table only: whether new terminals are
// taken in.
struct SetAccepting {
    bool On;
};
// Of the listener, from the session table only: whether every terminal's
// reading is held, as while one terminal's lookup or pause holds the gateway.
struct HoldReading {
    bool On;
};
// From the session table only, as a hold ends: read this terminal now if its
// reading is on and bytes wait. The offers come longest-waiting first, so
// each terminal gets its turn, as in a queue of read events.
struct OfferRead {};
enum class ScanOutcome { None, Found, NotFound, Failed };
// A scan ended (its answer handled), or a read held no code (None): for the
// gateway's figures, as it happens.
struct Counted {
    ScanOutcome Outcome;
};
using SessionAction = std::variant<SendBytes, LogLine, StartLookup, StartPause, SetReading,
                                   SetAccepting, HoldReading, OfferRead, Counted>;
using SessionActions = std::vector<SessionAction>;

enum class SessionState { Idle, LookingUp, Pausing, Closed };

// Scans by how they ended; a read that held no code is ignored.
struct ScanTally {
    std::uint64_t Found = 0;
    std::uint64_t NotFound = 0;
    std::uint64_t Failed = 0;
    std::uint64_t Ignored = 0;
    ScanTally& operator+=(const ScanTally& other);
};

// What a status page may show of one terminal.
struct SessionCounters {
    std::string Peer;  // "address:port"
    SessionClock::time_point ConnectedAt;
    std::uint64_t Scans = 0;  // lookups started
    SessionClock::time_point LastScanAt;
    std::string LastCode;  // digits of the last scan
    ScanOutcome LastOutcome = ScanOutcome::None;
    // The last result as shown to the terminal, in UTF-8: a found article's
    // description and money text; the cause of a failure.
    std::string LastDescription;
    std::string LastPrice;
    std::string LastError;
    ScanTally Tally;
};

class TerminalSession {
public:
    TerminalSession(const ScanContext& context, std::string peer, SessionClock::time_point now);

    // The greeting: the idle screen.
    SessionActions Connected();
    // One read: everything the terminal had sent. Bytes that arrive while a
    // lookup or a pause stands wait and are handled as one read after it.
    SessionActions Received(std::string_view bytes, SessionClock::time_point now);
    SessionActions LookupFinished(const LookupAnswer& answer, SessionClock::time_point now);
    SessionActions PauseElapsed(SessionClock::time_point now);
    // The terminal is gone: nothing more is sent. A lookup or pause that
    // stands still ends through its event (its log lines are still written);
    // Finished() then tells the owner the session may go.
    void Closed();

    SessionState State() const;
    bool Busy() const { return phase_ != Phase::Idle; }
    bool Finished() const { return closed_ && phase_ == Phase::Idle; }
    bool IsClosed() const { return closed_; }
    const SessionCounters& Counters() const { return counters_; }

private:
    enum class Phase { Idle, LookingUp, Pausing };

    using Time = SessionClock::time_point;
    void HandleRead(std::string_view bytes, Time now, SessionActions& out);
    void HandleAnswer(const LookupAnswer& answer, Time now, SessionActions& out);
    // Carries out the planned steps from next_ up to a pause or the end.
    void RunSteps(Time now, SessionActions& out);
    void BackToIdle(Time now, SessionActions& out);
    void Emit(SessionActions& out, SessionAction action) const;
    std::string IdleFrame() const;

    const ScanContext& context_;
    SessionCounters counters_;
    Phase phase_ = Phase::Idle;
    bool closed_ = false;
    std::string waiting_;  // bytes that arrived while busy
    bool haveWaiting_ = false;
    std::vector<ScanStep> steps_;
    std::size_t next_ = 0;
};

}  // namespace zel
