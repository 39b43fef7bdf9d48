#include "gateway/TFMain.h"

#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "common/ServerNames.h"
#include "gateway/Constants.h"
#include "gateway/Framing.h"
#include "gateway/Screens.h"
#include "gateway/TaxRates.h"
#include "money/CodePage.h"
#include "server/AccessKey.h"
#include "server/CoData_Srv_Zel.h"

namespace zel {
namespace {

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
    : codePage_(codePage),
      money_(ReadMoneySettings(codePage)),
      pauses_(std::make_unique<QObject>()) {
    DCOMZel.SetServerName(std::string(SERVER_CLASS));
    DCOMZel.AfterConnect = [this](TDCOMConnection& sender) { DCOMZelAfterConnect(sender); };
    ssSocket.OnClientConnect = [this](TServerWinSocket& sender, TServerClientWinSocket& socket) {
        ssSocketClientConnect(sender, socket);
    };
    ssSocket.OnClientRead = [this](TServerWinSocket& sender, TServerClientWinSocket& socket) {
        ssSocketClientRead(sender, socket);
    };
    ssSocket.OnClientError = [this](TServerWinSocket& sender, TServerClientWinSocket& socket,
                                    TErrorEvent kind,
                                    int& code) { ssSocketClientError(sender, socket, kind, code); };
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
    server_.reset();

    const ConfigReading config =
        ReadConfIni(LoadConfIniText(ConfIniPath()), money_.DecimalSeparator, codePage_);
    settings_ = config.Settings;
    for (const std::string& warning : config.Warnings) {
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

    try {
        DCOMZel.SetComputerName(settings_.ServerAddress);
        credentials_.CaFile = settings_.ServerCa;
        credentials_.AccessKey =
            settings_.ServerKeyFile.empty() ? "" : ReadAccessKey(settings_.ServerKeyFile);
        DCOMZel.SetCredentials(credentials_);
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
    pauses_.reset();  // pending idle screens are not sent
    try {
        ssSocket.SetActive(false);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Closing the terminal listener: %s\n", error.what());
    }
    if (DCOMZel.Connected()) {
        try {
            DCOMZel.SetConnected(false);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "Dropping the server connection: %s\n", error.what());
        }
    }
}

void TFMain::DCOMZelAfterConnect(TDCOMConnection& /*Sender*/) {
    server_ = settings_.ServerAddress.empty()
                  ? CoData_Srv_Zel::Create({}, credentials_)
                  : CoData_Srv_Zel::CreateRemote(settings_.ServerAddress, {}, credentials_);
    taxRates_ =
        TaxRatesFromRows(DCOMZel.GetRecords(std::string(TAX_PROVIDER), std::string(TAX_COMMAND)));
    if (ShowTrayIcon) {
        ShowTrayIcon();
    }
    ssSocket.SetActive(true);
}

void TFMain::ssSocketClientConnect(TServerWinSocket& /*Sender*/, TServerClientWinSocket& Socket) {
    SendIdleScreen(Socket);
}

void TFMain::ssSocketClientError(TServerWinSocket& /*Sender*/, TServerClientWinSocket& /*Socket*/,
                                 TErrorEvent /*ErrorEvent*/, int& ErrorCode) {
    ErrorCode = 0;
}

void TFMain::ssSocketClientRead(TServerWinSocket& /*Sender*/, TServerClientWinSocket& Socket) {
    const std::string received = Socket.TakePendingText();
    std::string trace;
    if (mdebug_) {
        trace = TraceLine(received);
        mdebug_->Append(trace);
    }
    // One protected block: any failure ends the handling of this read silently.
    try {
        const std::optional<std::string> digits = CollectCode(received);
        if (!digits) {
            return;
        }
        if (!server_) {
            return;
        }
        double Codigo = CodeValue(*digits);
        double Precio = 0;
        std::u16string Descrip = mdebug_ ? Utf8ToUtf16(trace) : std::u16string();
        std::int8_t Ban_Imps = 0;
        std::int8_t Tiene_Ofer = 0;
        double ofer = 0;  // start, end and percentage of an offer: not used
        std::int16_t Imps_Act = 0;
        double Mult = 1.0;
        std::int32_t Bans_Art = 0;
        double Precio_Sug = 0;
        LookupOutcome outcome;
        outcome.Result = server_->BuscaPrecio(Codigo, PriceListIndex(settings_.PriceOptions),
                                              Precio, Descrip, Ban_Imps, Tiene_Ofer, ofer, ofer,
                                              ofer, Imps_Act, Mult, Bans_Art, Precio_Sug);
        outcome.Precio = Precio;
        outcome.Descrip = std::move(Descrip);
        outcome.Ban_Imps = Ban_Imps;
        outcome.Imps_Act = Imps_Act;
        auto steps = std::make_shared<std::vector<ScanStep>>(
            PlanScanReply(outcome, settings_, taxRates_, money_, codePage_));
        RunSteps(Socket, std::move(steps), 0);
    } catch (...) {
    }
}

void TFMain::RunSteps(TServerClientWinSocket& Socket, std::shared_ptr<std::vector<ScanStep>> steps,
                      std::size_t first) {
    for (std::size_t i = first; i < steps->size(); ++i) {
        const ScanStep& step = (*steps)[i];
        if (const auto* log = std::get_if<LogStep>(&step)) {
            Log(log->Line);
        } else if (const auto* send = std::get_if<SendStep>(&step)) {
            Socket.TrySendText(send->Frame);
        } else if (std::holds_alternative<SendIdleStep>(step)) {
            SendIdleScreen(Socket);
        } else {
            const int milliseconds = std::max(0, std::get<PauseStep>(step).Milliseconds);
            if (settings_.PAUSA_POR_TERMINAL != 1) {
                QThread::msleep(static_cast<unsigned long>(milliseconds));
                continue;
            }
            // Per-terminal pause: this terminal's bytes wait in its socket while
            // the loop goes on serving the others.
            Socket.SuspendReading();
            std::weak_ptr<TServerClientWinSocket> weak = Socket.weak_from_this();
            auto* timer = new QTimer(pauses_.get());
            timer->setSingleShot(true);
            timer->setTimerType(Qt::PreciseTimer);  // a coarse timer may end the pause 5% early
            QObject::connect(timer, &QTimer::timeout, timer, [this, timer, weak, steps, i] {
                timer->deleteLater();
                const std::shared_ptr<TServerClientWinSocket> socket = weak.lock();
                if (!socket) {
                    return;  // released during its pause: nothing to send
                }
                try {
                    RunSteps(*socket, steps, i + 1);
                } catch (...) {
                }
                if (const auto still = weak.lock()) {
                    still->ResumeReading();
                }
            });
            timer->start(milliseconds);
            return;
        }
    }
}

void TFMain::SendIdleScreen(TServerClientWinSocket& Socket) {
    Socket.TrySendText(FrameMessage(BuildIdleScreen(settings_.IdleLines, settings_.TIPO)));
}

std::string TFMain::FrameMessage(std::string text) const {
    return zel::FrameMessage(std::move(text), settings_.TIPO);
}

void TFMain::ReloadMoneySettings() {
    money_ = ReadMoneySettings(codePage_);
}

void TFMain::Log(std::string_view line) {
    if (mdebug_) {
        mdebug_->Append(line);
    }
}

}  // namespace zel
