#include "gateway/TerminalSession.h"

#include <algorithm>

#include "gateway/Framing.h"
#include "gateway/Screens.h"
#include "money/CodePage.h"

namespace zel {

ScanTally& ScanTally::operator+=(const ScanTally& other) {
    Found += other.Found;
    NotFound += other.NotFound;
    Failed += other.Failed;
    Ignored += other.Ignored;
    return *this;
}

TerminalSession::TerminalSession(const ScanContext& context, std::string peer,
                                 SessionClock::time_point now)
    : context_(context) {
    counters_.Peer = std::move(peer);
    counters_.ConnectedAt = now;
}

SessionState TerminalSession::State() const {
    if (phase_ == Phase::LookingUp) {
        return SessionState::LookingUp;
    }
    if (phase_ == Phase::Pausing) {
        return SessionState::Pausing;
    }
    return closed_ ? SessionState::Closed : SessionState::Idle;
}

std::string TerminalSession::IdleFrame() const {
    return FrameMessage(BuildIdleScreen(context_.Settings.IdleLines, context_.Settings.TIPO),
                        context_.Settings.TIPO);
}

void TerminalSession::Emit(SessionActions& out, SessionAction action) const {
    // Traffic lines exist only in debug mode; failures are always told.
    if (const auto* log = std::get_if<LogLine>(&action); log && !log->Fault && !context_.Debug) {
        return;
    }
    // A closed terminal is neither written to nor read; its log lines and
    // its scan's count stay.
    if (closed_ && !std::holds_alternative<LogLine>(action) &&
        !std::holds_alternative<StartPause>(action) && !std::holds_alternative<Counted>(action)) {
        return;
    }
    out.push_back(std::move(action));
}

SessionActions TerminalSession::Connected() {
    SessionActions out;
    Emit(out, SendBytes{IdleFrame()});
    return out;
}

SessionActions TerminalSession::Received(std::string_view bytes, SessionClock::time_point now) {
    SessionActions out;
    if (closed_) {
        return out;
    }
    if (phase_ != Phase::Idle) {
        waiting_.append(bytes);
        haveWaiting_ = true;
        return out;
    }
    HandleRead(bytes, now, out);
    return out;
}

void TerminalSession::HandleRead(std::string_view bytes, SessionClock::time_point now,
                                 SessionActions& out) {
    std::string trace;
    if (context_.Debug) {
        trace = TraceLine(bytes);
        Emit(out, LogLine{trace});
    }
    const std::optional<std::string> digits = CollectCode(bytes);
    if (!digits) {
        ++counters_.Tally.Ignored;
        Emit(out, Counted{ScanOutcome::None});
        return;  // nothing to look up: no reply, reading goes on
    }
    ++counters_.Scans;
    counters_.LastScanAt = now;
    counters_.LastCode = *digits;
    phase_ = Phase::LookingUp;
    Emit(out, SetReading{false});
    LookupRequest request;
    request.Codigo = CodeValue(*digits);
    request.No_Precio = PriceListIndex(context_.Settings.PriceOptions);
    if (context_.Debug) {
        request.Descrip = trace;
    }
    Emit(out, StartLookup{std::move(request)});
}

SessionActions TerminalSession::LookupFinished(const LookupAnswer& answer,
                                               SessionClock::time_point now) {
    SessionActions out;
    if (phase_ != Phase::LookingUp) {
        return out;  // not asked for: dropped
    }
    HandleAnswer(answer, now, out);
    return out;
}

void TerminalSession::HandleAnswer(const LookupAnswer& answer, SessionClock::time_point now,
                                   SessionActions& out) {
    counters_.LastDescription.clear();
    counters_.LastPrice.clear();
    counters_.LastError.clear();
    if (const auto* failure = std::get_if<LookupFailure>(&answer)) {
        counters_.LastOutcome = ScanOutcome::Failed;
        counters_.LastError = failure->Cause;
        Emit(out, LogLine{"Error: " + failure->Cause, true});
        steps_ = PlanOutOfServiceReply(context_.Settings);
    } else {
        const auto& outcome = std::get<LookupOutcome>(answer);
        counters_.LastOutcome = outcome.Result == 1 ? ScanOutcome::Found : ScanOutcome::NotFound;
        // The failures a reply can meet before anything is sent: the price
        // (a coin of 0, a value beyond the fixed-point range) and the
        // terminal code page (a description or money text it cannot hold).
        // Either ends this scan's handling without a byte sent; anything
        // else is a fault of the program and is not hidden here.
        try {
            ShownResult shown;
            steps_ = PlanScanReply(outcome, context_.Settings, context_.TaxRates, context_.Money,
                                   context_.Codes, &shown);
            counters_.LastDescription = context_.Codes.ToUtf8(shown.Description);
            counters_.LastPrice = context_.Codes.ToUtf8(shown.Money);
        } catch (const PriceError& error) {
            counters_.LastOutcome = ScanOutcome::Failed;
            counters_.LastError = error.what();
            Emit(out,
                 LogLine{"Error: price of code " + counters_.LastCode + ": " + error.what(), true});
            steps_.clear();
        } catch (const CodePageError& error) {
            counters_.LastOutcome = ScanOutcome::Failed;
            counters_.LastError = error.what();
            Emit(out, LogLine{"Error: screen of code " + counters_.LastCode + ": " + error.what(),
                              true});
            steps_.clear();
        }
    }
    ScanTally& tally = counters_.Tally;
    ++(counters_.LastOutcome == ScanOutcome::Found      ? tally.Found
       : counters_.LastOutcome == ScanOutcome::NotFound ? tally.NotFound
                                                        : tally.Failed);
    Emit(out, Counted{counters_.LastOutcome});
    next_ = 0;
    RunSteps(now, out);
}

SessionActions TerminalSession::PauseElapsed(SessionClock::time_point now) {
    SessionActions out;
    if (phase_ != Phase::Pausing) {
        return out;
    }
    RunSteps(now, out);
    return out;
}

void TerminalSession::RunSteps(SessionClock::time_point now, SessionActions& out) {
    while (next_ < steps_.size()) {
        const ScanStep& step = steps_[next_++];
        if (const auto* log = std::get_if<LogStep>(&step)) {
            Emit(out, LogLine{std::string(log->Line)});
        } else if (const auto* send = std::get_if<SendStep>(&step)) {
            Emit(out, SendBytes{send->Frame});
        } else if (std::holds_alternative<SendIdleStep>(step)) {
            Emit(out, SendBytes{IdleFrame()});
        } else if (const int ms = std::get<PauseStep>(step).Milliseconds; ms > 0) {
            phase_ = Phase::Pausing;
            Emit(out, StartPause{ms});
            return;
        }
    }
    BackToIdle(now, out);
}

void TerminalSession::BackToIdle(SessionClock::time_point now, SessionActions& out) {
    phase_ = Phase::Idle;
    steps_.clear();
    next_ = 0;
    if (closed_) {
        return;
    }
    Emit(out, SetReading{true});
    if (haveWaiting_) {
        // What arrived meanwhile is the next read, all of it at once.
        const std::string bytes = std::move(waiting_);
        waiting_.clear();
        haveWaiting_ = false;
        HandleRead(bytes, now, out);
    }
}

void TerminalSession::Closed() {
    closed_ = true;
    waiting_.clear();
    haveWaiting_ = false;
}

}  // namespace zel
