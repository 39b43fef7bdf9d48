// TFMain: the gateway object. It holds the settings, the tax rates and the
// server objects; starts up (FormCreate), sets the server up once connected
// (DCOMZelAfterConnect), answers the terminals and shuts down (FormDestroy).
//
// Answering is wiring of three things on the Qt event loop: the listener's
// events go to the terminals' sessions (SessionTable), whose actions it
// carries out; lookups go to the LookupClient, whose answers go back to the
// sessions. Sessions and sockets are touched on the loop's thread only. What the user sees (the
// tray icon, the boxes, the hour-glass) is reached through the hooks below, so the gateway runs the
// same with or without a window.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/DebugLog.h"
#include "gateway/FailureLog.h"
#include "gateway/GatewaySettings.h"
#include "gateway/GatewayStats.h"
#include "gateway/LookupClient.h"
#include "gateway/Price.h"
#include "gateway/SessionTable.h"
#include "gateway/TerminalActivity.h"
#include "money/MoneySettings.h"
#include "net/ServerSocket.h"
#include "server/IData_Srv_Zel.h"
#include "server/TDCOMConnection.h"

class QTimer;

namespace zel {

class CodePage;

class TFMain {
public:
    // Reads MoneySettings from the process locale (the program has already
    // called setlocale). The code page converts every text for the terminals.
    explicit TFMain(const CodePage& codePage);
    ~TFMain();  // runs FormDestroy
    TFMain(const TFMain&) = delete;
    TFMain& operator=(const TFMain&) = delete;

    // Start-up. `arguments` are the command-line arguments after the program
    // name. Returns false when start-up failed: the failure has been reported
    // (ShowStartupError) and the program must end with status 1.
    bool FormCreate(const std::vector<std::string>& arguments);
    // Shutdown: the listener first, then the connection if it came up. Runs once.
    void FormDestroy();

    void DCOMZelAfterConnect(TDCOMConnection& Sender);
    void ssSocketClientConnect(TServerWinSocket& Sender, TServerClientWinSocket& Socket);
    void ssSocketClientRead(TServerWinSocket& Sender, TServerClientWinSocket& Socket);
    // A terminal's bytes wait while the gateway holds reading (pauses shared).
    void ssSocketClientReadHeld(TServerWinSocket& Sender, TServerClientWinSocket& Socket);
    void ssSocketClientError(TServerWinSocket& Sender, TServerClientWinSocket& Socket,
                             TErrorEvent ErrorEvent, int& ErrorCode);
    void ssSocketClientDisconnect(TServerWinSocket& Sender, TServerClientWinSocket& Socket);

    // Re-reads the six money settings whole (the settings-change notice).
    void ReloadMoneySettings();

    // The debug log; null unless started with the single argument "DEBUG".
    DebugLog* mdebug() const { return mdebug_.get(); }

    const GatewaySettings& Settings() const { return settings_; }
    const TaxRateArray& TaxRates() const { return taxRates_; }
    const MoneySettings& Money() const { return money_; }

    // The terminals' sessions (their counters and states); null until the
    // set-up and after the shutdown.
    const SessionTable* Sessions() const { return sessions_.get(); }
    // The gateway's figures; null until the set-up.
    const GatewayStats* Stats() const { return stats_.get(); }
    // Whether the application server answers; null until the set-up.
    const ServerHealth* ServerState() const { return lookups_ ? &lookups_->Health() : nullptr; }
    // "host:port" of the status and metrics endpoint; empty when it is off.
    std::string MonitorAddress() const;

    TServerSocket ssSocket;
    TDCOMConnection DCOMZel;

    // Hooks for the user interface; each may be left empty.
    std::function<void()> ShowTrayIcon;                             // the icon becomes visible
    std::function<void(bool busy)> SetBusyCursor;                   // the hour-glass on and off
    std::function<void(std::string_view detail)> ShowStartupError;  // before the program ends
    std::function<void(std::string_view)> ShowWarning;  // a Conf.ini value that did not convert

private:
    void Log(const LogLine& line);
    // A line of the listeners' own (a shortage of file handles, a full
    // monitor), already held to one per episode.
    void Journal(const std::string& line);
    void Carry(const TableActions& actions);
    void StartPause(SessionId id, int milliseconds);
    void LookupDone(SessionId id, const LookupAnswer& answer);
    TServerClientWinSocket* SocketOf(SessionId id);
    // The figures of this moment, for the monitor endpoint.
    StatsSnapshot Snapshot();
    // /metrics: the registry with the codes not found of the moment.
    std::string MetricsText();
    // Bytes held for terminals that read slowly.
    std::size_t HeldBytes();

    const CodePage& codePage_;
    MoneySettings money_;
    GatewaySettings settings_;
    TaxRateArray taxRates_{};
    std::unique_ptr<DebugLog> mdebug_;
    std::unique_ptr<ScanContext> context_;
    std::unique_ptr<SessionTable> sessions_;
    // Parents the pause timers: deleting it drops them.
    std::unique_ptr<QObject> loop_;
    std::map<SessionId, QTimer*> pauses_;
    // The gateway's own server object: the connection's, whose class check
    // and address health the lookups go on with.
    std::shared_ptr<IData_Srv_Zel> server_;
    std::unique_ptr<LookupClient> lookups_;
    std::unique_ptr<GatewayStats> stats_;
    std::unique_ptr<class ActivityMetrics> activityMetrics_;  // its series in stats_
    TerminalActivity activity_;  // who came and went, codes not found, the last hour
    std::unique_ptr<class MonitorServer> monitor_;
    FailureLog failures_;         // the journal's, without the debug log
    bool warmed_ = false;         // the first connections to the server are open
    bool tableAccepting_ = true;  // what the sessions want of the listener
    bool destroyed_ = false;
};

}  // namespace zel
