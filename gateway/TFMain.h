// TFMain: the gateway object. It holds the settings, the tax rates and the
// server object; starts up (FormCreate), sets the server up once connected
// (DCOMZelAfterConnect), answers the terminals (the ssSocket handlers) and
// shuts down (FormDestroy).
//
// Everything runs on the thread of the Qt event loop. What the user sees (the
// tray icon, the boxes, the hour-glass) is reached through the hooks below, so
// the gateway runs the same with or without a window.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/DebugLog.h"
#include "gateway/GatewaySettings.h"
#include "gateway/Price.h"
#include "gateway/ScanReply.h"
#include "money/MoneySettings.h"
#include "net/ServerSocket.h"
#include "server/IData_Srv_Zel.h"
#include "server/TDCOMConnection.h"

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
    void ssSocketClientError(TServerWinSocket& Sender, TServerClientWinSocket& Socket,
                             TErrorEvent ErrorEvent, int& ErrorCode);

    void SendIdleScreen(TServerClientWinSocket& Socket);
    std::string FrameMessage(std::string text) const;

    // Re-reads the six money settings whole (the settings-change notice).
    void ReloadMoneySettings();

    // The debug log; null unless started with the single argument "DEBUG".
    DebugLog* mdebug() const { return mdebug_.get(); }

    const GatewaySettings& Settings() const { return settings_; }
    const TaxRateArray& TaxRates() const { return taxRates_; }
    const MoneySettings& Money() const { return money_; }

    TServerSocket ssSocket;
    TDCOMConnection DCOMZel;

    // Hooks for the user interface; each may be left empty.
    std::function<void()> ShowTrayIcon;                             // the icon becomes visible
    std::function<void(bool busy)> SetBusyCursor;                   // the hour-glass on and off
    std::function<void(std::string_view detail)> ShowStartupError;  // before the program ends
    std::function<void(std::string_view)> ShowWarning;  // a Conf.ini value that did not convert

private:
    void Log(std::string_view line);
    // Carries out the reply from step `first` on; a pause in the per-terminal
    // mode suspends reading on the connection and resumes the steps later.
    void RunSteps(TServerClientWinSocket& Socket, std::shared_ptr<std::vector<ScanStep>> steps,
                  std::size_t first);

    const CodePage& codePage_;
    MoneySettings money_;
    GatewaySettings settings_;
    ClientCredentials credentials_;  // from [SRV_ZEL] CA and CLAVE_ARCHIVO
    TaxRateArray taxRates_{};
    std::shared_ptr<IData_Srv_Zel> server_;
    std::unique_ptr<DebugLog> mdebug_;
    // Parent of the per-terminal pause timers: deleting it cancels them all.
    std::unique_ptr<QObject> pauses_;
    bool destroyed_ = false;
};

}  // namespace zel
