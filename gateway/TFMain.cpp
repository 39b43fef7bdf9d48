#include "gateway/TFMain.h"

#include <QMetaObject>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "common/ServerNames.h"
#include "gateway/ActivityMetrics.h"
#include "gateway/Constants.h"
#include "gateway/MonitorServer.h"
#include "gateway/TaxRates.h"
#include "money/CodePage.h"
#include "server/AccessKey.h"

namespace zel {
namespace {

using Clock = SessionClock;

// One callable of several, for std::visit: an action type without its own
// case does not compile.
template <class... Cases>
struct Overloaded : Cases... {
    using Cases::operator()...;
};

// Restores the default cursor however start-up ends.
class BusyGuard {
public:
    explicit BusyGuard(const std::function<void(bool)>& set) : set_(set) { Set(true); }
    ~BusyGuard() { Set(false); }
    void Set(bool busy) {
        if (set_ && busy_ != busy) {
            set_(busy);
        }
        busy_ = busy;
    }

private:
    const std::function<void(bool)>& set_;
    bool busy_ = false;
};

}  // namespace

TFMain::TFMain(const CodePage& codePage)
    : codePage_(codePage), money_(ReadMoneySettings(codePage)), loop_(std::make_unique<QObject>()) {
    DCOMZel.SetServerName(std::string(SERVER_CLASS));
    DCOMZel.AfterConnect = [this](TDCOMConnection& sender) { DCOMZelAfterConnect(sender); };
    ssSocket.OnClientConnect = [this](TServerWinSocket& sender, TServerClientWinSocket& socket) {
        ssSocketClientConnect(sender, socket);
    };
    ssSocket.OnClientRead = [this](TServerWinSocket& sender, TServerClientWinSocket& socket) {
        ssSocketClientRead(sender, socket);
    };
    ssSocket.OnClientReadHeld = [this](TServerWinSocket& sender, TServerClientWinSocket& socket) {
        ssSocketClientReadHeld(sender, socket);
    };
    ssSocket.OnClientDisconnect = [this](TServerWinSocket& sender, TServerClientWinSocket& socket) {
        ssSocketClientDisconnect(sender, socket);
    };
    ssSocket.OnClientError = [this](TServerWinSocket& sender, TServerClientWinSocket& socket,
                                    TErrorEvent kind,
                                    int& code) { ssSocketClientError(sender, socket, kind, code); };
    ssSocket.Socket().SetOnJournal([this](const std::string& line) { Journal(line); });
    // Out of file handles, the monitor's clients give way to the terminals.
    ssSocket.Socket().SetMakeRoom([this] { return monitor_ && monitor_->GiveWay(); });
}

TFMain::~TFMain() {
    FormDestroy();
}

bool TFMain::FormCreate(const std::vector<std::string>& arguments) {
    BusyGuard busy(SetBusyCursor);

    // Debug switch: exactly one argument, "DEBUG" byte for byte.
    if (arguments.size() == 1 && arguments[0] == "DEBUG") {
        mdebug_ = std::make_unique<DebugLog>();
    } else {
        mdebug_.reset();
    }

    // Nothing that goes wrong while reading the configuration ends the
    // process other than through the start-up error.
    try {
        const ConfIniSource source = LoadConfIni();
        if (source.Error) {
            throw std::runtime_error(*source.Error);
        }
        ConfigReading config = ReadConfIni(source.Text, money_.DecimalSeparator, codePage_);
        settings_ = config.Settings;
        std::vector<std::string> warnings = source.Warnings;
        if (const auto locale = MissingMoneySettingsWarning()) {
            warnings.push_back(*locale);
        }
        warnings.insert(warnings.end(), config.Warnings.begin(), config.Warnings.end());
        for (const std::string& warning : warnings) {
            if (mdebug_) {
                mdebug_->Append("Warning: " + warning);  // echoed on stderr too
            } else {
                std::fprintf(stderr, "Warning: %s\n", warning.c_str());
            }
            if (ShowWarning) {
                ShowWarning(warning);
            }
        }
        ssSocket.SetPort(config.Port);

        DCOMZel.SetComputerName(settings_.ServerAddress);
        DCOMZel.SetCredentials({settings_.ServerCa, settings_.ServerKeyFile.empty()
                                                        ? ""
                                                        : ReadAccessKey(settings_.ServerKeyFile)});
        DCOMZel.SetConnected(true);
    } catch (const std::exception& error) {
        busy.Set(false);
        std::fprintf(stderr, "Error: %.*s\n%s\n", static_cast<int>(SERVER_NOT_RUNNING.size()),
                     SERVER_NOT_RUNNING.data(), error.what());
        if (ShowStartupError) {
            ShowStartupError(error.what());
        }
        return false;
    } catch (...) {
        busy.Set(false);
        std::fprintf(stderr, "Error: %.*s\n", static_cast<int>(SERVER_NOT_RUNNING.size()),
                     SERVER_NOT_RUNNING.data());
        if (ShowStartupError) {
            ShowStartupError("");
        }
        return false;
    }
    return true;
}

void TFMain::FormDestroy() {
    if (destroyed_) {
        return;
    }
    destroyed_ = true;
    // Nothing is sent from here on: answers still coming and pending idle
    // screens are dropped, and calls that hang are broken off.
    lookups_.reset();
    pauses_.clear();
    loop_.reset();
    activity_.SetObserver(nullptr);
    monitor_.reset();
    try {
        ssSocket.SetActive(false);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Closing the terminal listener: %s\n", error.what());
    }
    sessions_.reset();
    if (DCOMZel.Connected()) {
        try {
            DCOMZel.SetConnected(false);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "Dropping the server connection: %s\n", error.what());
        }
    }
}

void TFMain::DCOMZelAfterConnect(TDCOMConnection& /*Sender*/) {
    taxRates_ =
        TaxRatesFromRows(DCOMZel.GetRecords(std::string(TAX_PROVIDER), std::string(TAX_COMMAND)));
    // Its blocking calls are over: the lookups have connections of their own.
    server_ = DCOMZel.AppServer();
    server_->Hangup();

    context_ = std::make_unique<ScanContext>(
        ScanContext{settings_, taxRates_, money_, codePage_, mdebug_ != nullptr});
    sessions_ = std::make_unique<SessionTable>(*context_, settings_.PAUSA_POR_TERMINAL != 1);
    lookups_ = std::make_unique<LookupClient>(
        *server_, std::chrono::milliseconds(settings_.LIMITE_CONSULTA), settings_.CONEXIONES,
        [this](std::uint64_t id, LookupAnswer answer) { LookupDone(id, answer); },
        LookupClient::Tuning{});

    stats_ = std::make_unique<GatewayStats>(WallClock::now(), settings_.ServerAddress,
                                            settings_.PAUSA_POR_TERMINAL == 1 ? 1 : 0);
    if (!settings_.MonitorAddress.empty()) {
        // Without it the terminals are served all the same.
        try {
            // Asked on the loop, it reads the figures of that moment.
            monitor_ = std::make_unique<MonitorServer>(
                settings_.MonitorAddress, [this] { return Snapshot(); },
                [this] { return MetricsText(); },
                [this](const std::string& line) { Journal(line); });
            activityMetrics_ =
                std::make_unique<ActivityMetrics>(stats_->Registry(), settings_.Names);
            activity_.SetObserver(activityMetrics_.get());
            std::fprintf(stderr, "Status and metrics on http://%s/status and /metrics\n",
                         monitor_->Address().c_str());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "Warning: no status and metrics endpoint: %s\n", error.what());
        }
    }

    // The summary of failures held back from the journal, once their minute is over.
    auto* summary = new QTimer(loop_.get());
    QObject::connect(summary, &QTimer::timeout, summary, [this] {
        if (const auto written = failures_.Flush(Clock::now())) {
            std::fprintf(stderr, "%s\n", written->c_str());
        }
        activity_.Expire(WallClock::now());
    });
    summary->start(std::chrono::seconds(5));

    if (ShowTrayIcon) {
        ShowTrayIcon();
    }
    // The first scans find connections open: the listener listens now, and
    // takes the terminals waiting in its queue once the connections to the
    // server have answered.
    ssSocket.SetActive(true);
    ssSocket.Socket().SetAccepting(false);
    lookups_->Warm([this] {
        warmed_ = true;
        ssSocket.Socket().SetAccepting(tableAccepting_);
    });
    if ((ssSocket.Port() & 0xFFFF) == 0) {
        // PUERTO 0 lets the system choose: say what it chose, or no terminal
        // could find the gateway.
        std::fprintf(stderr, "%.*s%u%.*s\n", static_cast<int>(PORT_REPORT_START.size()),
                     PORT_REPORT_START.data(), unsigned{ssSocket.LocalPort()},
                     static_cast<int>(PORT_REPORT_END.size()), PORT_REPORT_END.data());
    }
}

void TFMain::ssSocketClientConnect(TServerWinSocket& /*Sender*/, TServerClientWinSocket& Socket) {
    if (!sessions_) {
        return;
    }
    TableActions actions;
    Socket.SetTag(sessions_->Open(
        Socket.RemoteAddress() + ":" + std::to_string(Socket.RemotePort()), Clock::now(), actions));
    stats_->Accepted();
    activity_.Connected(Socket.RemoteAddress(), WallClock::now());
    Carry(actions);
}

void TFMain::ssSocketClientError(TServerWinSocket& /*Sender*/, TServerClientWinSocket& /*Socket*/,
                                 TErrorEvent /*ErrorEvent*/, int& ErrorCode) {
    ErrorCode = 0;  // the connection keeps it for its release cause
}

void TFMain::ssSocketClientRead(TServerWinSocket& /*Sender*/, TServerClientWinSocket& Socket) {
    const std::string received = Socket.TakePendingText();
    if (Socket.Tag() == 0 || !sessions_) {
        return;
    }
    activity_.Received(Socket.RemoteAddress(), WallClock::now());
    TableActions actions;
    sessions_->Received(Socket.Tag(), received, Clock::now(), actions);
    Carry(actions);
}

void TFMain::ssSocketClientReadHeld(TServerWinSocket& /*Sender*/, TServerClientWinSocket& Socket) {
    if (sessions_) {
        sessions_->ReadHeld(Socket.Tag());
    }
}

void TFMain::ssSocketClientDisconnect(TServerWinSocket& /*Sender*/,
                                      TServerClientWinSocket& Socket) {
    const SessionId id = Socket.Tag();
    if (id == 0 || !sessions_) {
        return;
    }
    Socket.SetTag(0);
    const ReleaseCause cause =
        Socket.Overflowed() ? ReleaseCause::Overflow : ReleaseCauseOf(Socket.ReportedError());
    stats_->Released(cause);
    activity_.Released(Socket.RemoteAddress(), cause, WallClock::now());
    TableActions actions;
    sessions_->Close(id, Clock::now(), actions);
    Carry(actions);
}

void TFMain::LookupDone(SessionId id, const LookupAnswer& answer) {
    if (destroyed_ || !sessions_) {
        return;
    }
    // A terminal that left while its reading was held is noticed only now:
    // it is closed first, so its answer is dropped.
    if (TServerClientWinSocket* socket = SocketOf(id); socket != nullptr && socket->PeerGone()) {
        socket->Close();
    }
    const Clock::time_point now = Clock::now();
    const WallClock::time_point wallNow = WallClock::now();
    if (const auto took =
            stats_->LookupAnswered(id, std::get_if<LookupFailure>(&answer), now, wallNow)) {
        activity_.LookupTimed(*took, wallNow);
    }
    TableActions actions;
    activity_.ScanEnded(sessions_->LookupFinished(id, answer, now, actions), wallNow);
    Carry(actions);
}

void TFMain::StartPause(SessionId id, int milliseconds) {
    auto* timer = new QTimer(loop_.get());
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);  // a coarse timer may end the pause 5% early
    pauses_[id] = timer;
    QObject::connect(timer, &QTimer::timeout, timer, [this, timer, id] {
        timer->deleteLater();
        if (const auto found = pauses_.find(id); found != pauses_.end() && found->second == timer) {
            pauses_.erase(found);
        }
        TableActions actions;
        sessions_->PauseElapsed(id, Clock::now(), actions);
        Carry(actions);
    });
    timer->start(milliseconds);
}

TServerClientWinSocket* TFMain::SocketOf(SessionId id) {
    return ssSocket.Socket().FindByTag(id);
}

void TFMain::Carry(const TableActions& actions) {
    for (const TargetedAction& targeted : actions) {
        const SessionId id = targeted.Target;
        // What goes to a terminal finds it gone when it left meanwhile.
        const auto onSocket = [this, id](auto&& act) {
            if (TServerClientWinSocket* socket = SocketOf(id)) {
                act(*socket);
            }
        };
        std::visit(
            Overloaded{
                [this](const LogLine& log) { Log(log); },
                [this, id](const StartLookup& lookup) {
                    stats_->LookupAsked(id, Clock::now());
                    lookups_->Submit(id, lookup.Request);
                },
                [this](const Counted& counted) { stats_->Counted(counted.Outcome); },
                [this, id](const zel::StartPause& pause) { StartPause(id, pause.Milliseconds); },
                [this](const HoldReading& hold) { ssSocket.Socket().SetReadingHeld(hold.On); },
                [this](const SetAccepting& accepting) {
                    tableAccepting_ = accepting.On;
                    ssSocket.Socket().SetAccepting(tableAccepting_ && warmed_);
                },
                [&](const SendBytes& send) {
                    onSocket([&](TServerClientWinSocket& s) { s.TrySendText(send.Bytes); });
                },
                [&](const OfferRead&) {
                    onSocket([](TServerClientWinSocket& s) { s.ReadPending(); });
                },
                [&](const SetReading& reading) {
                    onSocket([&](TServerClientWinSocket& s) {
                        reading.On ? s.ResumeReading() : s.SuspendReading();
                    });
                },
            },
            targeted.Action);
    }
}

std::size_t TFMain::HeldBytes() {
    std::size_t held = 0;
    TServerWinSocket& listener = ssSocket.Socket();
    for (int i = 0; i < listener.ActiveConnections(); ++i) {
        held += listener.Connections(i).HeldBytes();
    }
    return held;
}

std::string TFMain::MetricsText() {
    activityMetrics_->ShowNotFound(activity_.NotFound().Top(WallClock::now(), NOT_FOUND_SERIES));
    return stats_->MetricsText(*sessions_, HeldBytes(), lookups_->Health());
}

StatsSnapshot TFMain::Snapshot() {
    StatsSnapshot snapshot =
        stats_->Snapshot(*sessions_, lookups_->Health(), WallClock::now(), Clock::now());
    snapshot.TerminalPort = ssSocket.LocalPort();
    snapshot.PricesAsOf = lookups_->PricesAsOf();
    activity_.Describe(snapshot, snapshot.TakenAt);
    snapshot.Names = &settings_.Names;
    return snapshot;
}

std::string TFMain::MonitorAddress() const {
    return monitor_ ? monitor_->Address() : std::string();
}

void TFMain::ReloadMoneySettings() {
    money_ = ReadMoneySettings(codePage_);
}

void TFMain::Journal(const std::string& line) {
    if (mdebug_) {
        mdebug_->Append(line);  // echoed on stderr too
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

void TFMain::Log(const LogLine& line) {
    if (mdebug_) {
        mdebug_->Append(line.Line);  // echoed on stderr too
    } else if (line.Fault) {
        if (const auto written = failures_.Add(line.Line, Clock::now())) {
            std::fprintf(stderr, "%s\n", written->c_str());
        }
    }
}

}  // namespace zel
