// The terminals' sessions as event sequences: both pause modes, every kind of
// answer, scans and closes during the lookup and the pause.
#include "gateway/SessionTable.h"

#include <gtest/gtest.h>

#include "gateway/Framing.h"
#include "gateway/Screens.h"
#include "money/CodePage.h"
#include "money/MoneySettings.h"

namespace zel {
namespace {

const std::string SCAN =
    "\x02"
    "7501\x03";

struct Event {
    char Kind;  // o open, r read, f found, n not found, x failure, p pause over, c close,
                // w bytes wait while reading is held
    SessionId Id;
    std::string Expected;  // the actions, as Describe writes them
    std::string Bytes = SCAN;
};

struct Row {
    const char* Name;
    bool HoldAll;
    std::vector<Event> Events;
    std::string OutOfService = "";
    double Coin = 0.01;
    bool Debug = false;
};

class SessionTableTest : public ::testing::Test {
protected:
    SessionTableTest() : codes_("WINDOWS-1252") {
        settings_.ESPERA = 2000;
        settings_.TIPO = 1;
        settings_.MONEDA_MINIMA = 0.01;
        settings_.PUNTO_REDONDEO = 0.005;
        settings_.IdleLines.fill("IDLE");
        money_.CurrencyText = "$";
        money_.Decimals = 2;
    }

    std::string Describe(const TableActions& actions) const {
        const std::string idle = FrameMessage(BuildIdleScreen(settings_.IdleLines, 1), 1);
        const std::string notFound = FrameMessage(NotFoundScreen(), 1);
        std::string text;
        for (const TargetedAction& a : actions) {
            const std::string who = std::to_string(a.Target) + ":";
            std::string what;
            if (const auto* send = std::get_if<SendBytes>(&a.Action)) {
                what = send->Bytes == idle                              ? "idle"
                       : send->Bytes == notFound                        ? "nf"
                       : send->Bytes.find("FUERA") != std::string::npos ? "oos"
                                                                        : "result";
            } else if (const auto* log = std::get_if<LogLine>(&a.Action)) {
                what = log->Fault ? "err" : "log";
            } else if (const auto* lookup = std::get_if<StartLookup>(&a.Action)) {
                what = "look" + std::to_string(static_cast<long>(lookup->Request.Codigo));
            } else if (const auto* pause = std::get_if<StartPause>(&a.Action)) {
                what = "wait" + std::to_string(pause->Milliseconds);
            } else if (const auto* reading = std::get_if<SetReading>(&a.Action)) {
                what = reading->On ? "read+" : "read-";
            } else if (std::holds_alternative<OfferRead>(a.Action)) {
                what = "offer";
            } else if (const auto* hold = std::get_if<HoldReading>(&a.Action)) {
                text += hold->On ? "hold+ " : "hold- ";
                continue;
            } else if (std::holds_alternative<Counted>(a.Action)) {
                continue;  // CountersTellWhatEachTerminalDid
            } else {
                text += std::get<SetAccepting>(a.Action).On ? "acc+ " : "acc- ";
                continue;
            }
            text += who + what + " ";
        }
        if (!text.empty()) {
            text.pop_back();
        }
        return text;
    }

    void Run(const Row& row) {
        SCOPED_TRACE(row.Name);
        settings_.SIN_SERVICIO = row.OutOfService;
        settings_.MONEDA_MINIMA = row.Coin;
        const ScanContext context{settings_, rates_, money_, codes_, row.Debug};
        SessionTable table(context, row.HoldAll);
        const SessionClock::time_point now{};
        LookupOutcome found{1, 10.0, "Leche", 0, 0};
        for (std::size_t i = 0; i < row.Events.size(); ++i) {
            const Event& e = row.Events[i];
            TableActions out;
            switch (e.Kind) {
                case 'o':
                    EXPECT_EQ(table.Open("127.0.0.1:4000", now, out), e.Id);
                    break;
                case 'r':
                    table.Received(e.Id, e.Bytes, now, out);
                    break;
                case 'f':
                    table.LookupFinished(e.Id, found, now, out);
                    break;
                case 'n':
                    table.LookupFinished(e.Id, LookupOutcome{}, now, out);
                    break;
                case 'x':
                    table.LookupFinished(e.Id, LookupFailure{"server down"}, now, out);
                    break;
                case 'p':
                    table.PauseElapsed(e.Id, now, out);
                    break;
                case 'w':
                    table.ReadHeld(e.Id);
                    break;
                default:
                    table.Close(e.Id, now, out);
            }
            EXPECT_EQ(Describe(out), e.Expected) << "event " << i << " " << e.Kind << e.Id;
        }
    }

    CodePage codes_;
    GatewaySettings settings_;
    TaxRateArray rates_{};
    MoneySettings money_;
};

TEST_F(SessionTableTest, EventSequences) {
    const Event open1{'o', 1, "1:idle"};
    const Event open2{'o', 2, "2:idle"};
    const Event scan1{'r', 1, "1:read- 1:look7501"};
    const Row rows[] = {
        {"found: result, pause, idle",
         false,
         {open1, scan1, {'f', 1, "1:result 1:wait2000"}, {'p', 1, "1:idle 1:read+"}}},
        {"not found on type 1: its screen, pause, idle",
         false,
         {open1, scan1, {'n', 1, "1:nf 1:wait2000"}, {'p', 1, "1:idle 1:read+"}}},
        {"no code: no lookup, no reply",
         false,
         {open1, {'r', 1, "", "\x02\x03"}, {'r', 1, "", "7501"}}},
        {"failure, no out-of-service text: the cause only",
         false,
         {open1, scan1, {'x', 1, "1:err 1:read+"}}},
        {"failure with an out-of-service text",
         false,
         {open1, scan1, {'x', 1, "1:err 1:oos 1:wait2000"}, {'p', 1, "1:idle 1:read+"}},
         "FUERA DE SERVICIO"},
        {"a price that fails sends nothing and says why",
         false,
         {open1, scan1, {'f', 1, "1:err 1:read+"}},
         "",
         0.0},
        {"debug mode logs the trace and the steps",
         false,
         {open1,
          {'r', 1, "1:log 1:read- 1:look7501"},
          {'f', 1, "1:log 1:result 1:log 1:wait2000"},
          {'p', 1, "1:log 1:log 1:idle 1:read+"}},
         "",
         0.01,
         true},
        {"mode 1: nobody waits for another's lookup or pause",
         false,
         {open1,
          open2,
          scan1,
          {'r', 2, "2:read- 2:look7501"},
          {'f', 2, "2:result 2:wait2000"},
          {'o', 3, "3:idle"},
          {'n', 1, "1:nf 1:wait2000"}}},
        {"a scan that arrives during the lookup is the next read",
         false,
         {open1,
          scan1,
          {'r', 1, "",
           "\x02"
           "7502\x03"},
          {'x', 1, "1:err 1:read+ 1:read- 1:look7502"},
          {'x', 1, "1:err 1:read+"}}},
        {"mode 1: closed during the lookup, the answer is dropped",
         false,
         {open1, scan1, {'c', 1, ""}, {'f', 1, ""}, {'p', 1, ""}}},
        {"mode 1: closed during the pause, nothing more",
         false,
         {open1, scan1, {'f', 1, "1:result 1:wait2000"}, {'c', 1, ""}, {'p', 1, ""}}},
        {"mode 0: a lookup holds every terminal and the listener",
         true,
         {open1,
          open2,
          {'r', 1, "1:read- 1:look7501 hold+ acc-"},
          {'r', 2, ""},
          {'o', 3, ""},
          {'f', 1, "1:result 1:wait2000"},
          {'p', 1, "1:idle 1:read+ hold- acc+ 2:read- 2:look7501 hold+ acc-"},
          {'w', 1, ""},
          {'w', 3, ""},
          {'n', 2, "2:nf 2:wait2000"},
          {'p', 2, "2:idle 2:read+ hold- acc+ 3:idle 3:offer 1:offer 2:offer"}}},
        {"mode 0: as a hold ends, the terminal that waited longest is read first",
         true,
         {open1,
          open2,
          {'o', 3, "3:idle"},
          {'r', 1, "1:read- 1:look7501 hold+ acc-"},
          {'w', 3, ""},
          {'w', 2, ""},
          {'x', 1, "1:err 1:read+ hold- acc+ 2:offer 3:offer 1:offer"},
          {'r', 2, "2:read- 2:look7501 hold+ acc-"},
          {'w', 1, ""},
          {'w', 3, ""},
          {'x', 2, "2:err 2:read+ hold- acc+ 3:offer 1:offer 2:offer"}}},
        {"mode 0: a terminal whose bytes did not wait is not offered a read",
         true,
         {open1,
          open2,
          {'r', 1, "1:read- 1:look7501 hold+ acc-"},
          {'x', 1, "1:err 1:read+ hold- acc+ 1:offer"}}},
        {"mode 0: closed during the lookup, the hold lasts as long",
         true,
         {open1,
          open2,
          {'r', 1, "1:read- 1:look7501 hold+ acc-"},
          {'c', 1, ""},
          {'w', 2, ""},
          {'f', 1, "1:wait2000"},
          {'p', 1, "hold- acc+ 2:offer"}}},
        {"mode 0: closed during the pause, the others wait it out",
         true,
         {open1,
          open2,
          {'r', 1, "1:read- 1:look7501 hold+ acc-"},
          {'f', 1, "1:result 1:wait2000"},
          {'c', 1, ""},
          {'w', 2, ""},
          {'p', 1, "hold- acc+ 2:offer"},
          {'r', 2, "2:read- 2:look7501 hold+ acc-"},
          {'x', 2, "2:err 2:read+ hold- acc+ 2:offer"}}},
    };
    for (const Row& row : rows) {
        Run(row);
    }
}

TEST_F(SessionTableTest, CountersTellWhatEachTerminalDid) {
    const ScanContext context{settings_, rates_, money_, codes_, false};
    SessionTable table(context, false);
    TableActions out;
    const SessionClock::time_point start{}, later = start + std::chrono::seconds(5);
    const SessionId id = table.Open("127.0.0.1:4000", start, out);
    table.Received(id, SCAN, later, out);
    const TerminalSession& session = table.Sessions().at(id);
    EXPECT_EQ(session.State(), SessionState::LookingUp);
    const ScanEnd end = table.LookupFinished(id, LookupOutcome{}, later, out);
    EXPECT_EQ(end.Outcome, ScanOutcome::NotFound);
    EXPECT_EQ(end.Peer + " " + end.Code, "127.0.0.1:4000 7501");
    EXPECT_EQ(table.LookupFinished(id, LookupOutcome{}, later, out).Outcome, ScanOutcome::None)
        << "an answer not asked for is no scan";
    EXPECT_EQ(session.State(), SessionState::Pausing);
    const SessionCounters& c = session.Counters();
    EXPECT_EQ(c.Peer, "127.0.0.1:4000");
    EXPECT_EQ(c.ConnectedAt, start);
    EXPECT_EQ(c.Scans, 1u);
    EXPECT_EQ(c.LastScanAt, later);
    EXPECT_EQ(c.LastCode, "7501");
    EXPECT_EQ(c.LastOutcome, ScanOutcome::NotFound);

    // The last result as the terminal was shown it, markup and all as text.
    table.PauseElapsed(id, later, out);
    table.Received(id, SCAN, later, out);
    LookupOutcome found;
    found.Result = 1;
    found.Precio = 12.5;
    found.Descrip = "LECHE <b>\u00f1</b>";
    table.LookupFinished(id, found, later, out);
    EXPECT_EQ(c.LastDescription, "LECHE <b>\u00f1</b>");
    EXPECT_NE(c.LastPrice.find("12"), std::string::npos) << c.LastPrice;
    table.PauseElapsed(id, later, out);
    table.Received(id, SCAN, later, out);
    table.LookupFinished(id, LookupFailure{"connection refused"}, later, out);
    EXPECT_EQ(c.LastError, "connection refused");
    EXPECT_EQ(c.LastDescription + c.LastPrice, "");

    // The gateway's figures move as each scan ends and each read without a
    // code comes; in mode 0 the scan of a terminal that left during its
    // lookup still ends.
    table.Received(id, "no code", later, out);
    SessionTable holding(context, true);
    const SessionId gone = holding.Open("127.0.0.1:4001", start, out);
    holding.Received(gone, SCAN, later, out);
    holding.Close(gone, later, out);
    holding.LookupFinished(gone, LookupOutcome{}, later, out);
    std::vector<ScanOutcome> counted;
    for (const TargetedAction& a : out) {
        if (const auto* count = std::get_if<Counted>(&a.Action)) {
            counted.push_back(count->Outcome);
        }
    }
    EXPECT_EQ(counted, (std::vector<ScanOutcome>{ScanOutcome::NotFound, ScanOutcome::Found,
                                                 ScanOutcome::Failed, ScanOutcome::None,
                                                 ScanOutcome::NotFound}));
}

}  // namespace
}  // namespace zel
