// The user interface wired to a real gateway and a real srv_zel: the
// hour-glass, the icon after the set-up, the start-up error box, the
// standard error box, and the end through "&Salir".
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QSystemTrayIcon>
#include <QTimer>
#include <optional>
#include <stdexcept>

#include "UiTestSupport.h"
#include "net/ApplicationException.h"
#include "ui/GatewayUi.h"

namespace zel {
namespace {

using test::DemoCatalogue;
using test::ExecAfter;
using test::GatewayUnderTest;
using test::RunningServer;
using test::TempDir;

// A loopback TCP socket: a listener holding a port, or a terminal.
class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {}
    ~Socket() { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Listen() {  // returns the port
        sockaddr_in a = Loopback(0);
        socklen_t size = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), size);
        ::listen(fd_, 1);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        return ntohs(a.sin_port);
    }
    bool Connect(int port) {
        sockaddr_in a = Loopback(port);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    // Reads until the peer closes; false when it is still open after 2 s.
    bool SeesEnd() {
        timeval limit{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char buffer[256];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n == 0) {
                return true;
            }
            if (n < 0) {
                return false;
            }
        }
    }

private:
    static sockaddr_in Loopback(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    int fd_;
};

std::optional<Qt::CursorShape> OverrideShape() {
    const QCursor* cursor = QGuiApplication::overrideCursor();
    return cursor ? std::optional(cursor->shape()) : std::nullopt;
}

TEST(GatewayUi, ModeFollowsThePlatform) {
    const std::pair<const char*, UiMode> rows[] = {
        {"offscreen", UiMode::Headless},
        {"minimal", UiMode::Headless},
        {"xcb", UiMode::Desktop},
        {"wayland", UiMode::Desktop},
    };
    for (const auto& [name, mode] : rows) {
        EXPECT_EQ(UiModeFor(name), mode) << name;
    }
    EXPECT_EQ(CurrentUiMode(), UiMode::Headless);  // these tests run offscreen
}

TEST(GatewayUi, HeadlessMakesNothingAndSetsNoHook) {
    TempDir dir;
    GatewayUnderTest under(dir, "127.0.0.1:1");
    GatewayUi ui(under.Gateway(), UiMode::Headless);
    EXPECT_EQ(ui.Window(), nullptr);
    EXPECT_FALSE(under.Gateway().ShowTrayIcon);
    EXPECT_FALSE(under.Gateway().SetBusyCursor);
    EXPECT_FALSE(under.Gateway().ShowStartupError);
    HandleApplicationException(std::runtime_error("Asynchronous socket error 10053"));
    EXPECT_TRUE(ui.ErrorBoxes().Open().empty());
}

// The set-up shows the icon under the hour-glass; "&Salir" ends the loop and
// FormDestroy closes the listener, drops the terminals and the server.
TEST(GatewayUi, IconAfterTheSetUpAndSalirEndsEverything) {
    for (const bool debug : {false, true}) {
        SCOPED_TRACE(debug ? "DEBUG" : "normal");
        TempDir dir;
        RunningServer server(DemoCatalogue(dir));
        GatewayUnderTest under(dir, server.AddressText());
        TFMain& gateway = under.Gateway();
        GatewayUi ui(gateway, UiMode::Desktop);
        TFMainWindow& window = *ui.Window();
        std::optional<Qt::CursorShape> cursorAtIcon;
        const auto show = gateway.ShowTrayIcon;
        gateway.ShowTrayIcon = [&] {
            cursorAtIcon = OverrideShape();
            show();
        };
        EXPECT_FALSE(window.ctIcon->isVisible());

        ASSERT_TRUE(gateway.FormCreate(debug ? std::vector<std::string>{"DEBUG"}
                                             : std::vector<std::string>{}));
        EXPECT_EQ(cursorAtIcon, Qt::WaitCursor);
        EXPECT_EQ(OverrideShape(), std::nullopt);
        EXPECT_TRUE(window.ctIcon->isVisible());
        EXPECT_TRUE(window.isHidden());
        EXPECT_EQ(window.mdebug != nullptr, debug);

        Socket terminal;
        const int port = gateway.ssSocket.LocalPort();
        ASSERT_TRUE(terminal.Connect(port));
        const int status = ExecAfter([&] {
            // The terminal is greeted first; then the user picks "&Salir".
            QTimer::singleShot(100, [&] { window.Salir1->trigger(); });
        });
        EXPECT_EQ(status, 0);
        gateway.FormDestroy();
        EXPECT_FALSE(gateway.ssSocket.Active());
        EXPECT_FALSE(gateway.DCOMZel.Connected());
        EXPECT_TRUE(terminal.SeesEnd());
        Socket late;
        EXPECT_FALSE(late.Connect(port));
    }
}

TEST(GatewayUi, DebugLogLinesOfTheStartUpReachTheWindow) {
    TempDir dir;
    RunningServer server(DemoCatalogue(dir));
    GatewayUnderTest under(dir, server.AddressText());
    GatewayUi ui(under.Gateway(), UiMode::Desktop);
    ASSERT_TRUE(under.Gateway().FormCreate({"DEBUG"}));
    under.Gateway().mdebug()->Append("una línea");
    ASSERT_NE(ui.Window()->mdebug, nullptr);
    EXPECT_TRUE(ui.Window()->mdebug->toPlainText().endsWith(QString::fromUtf8("una línea")));
}

struct StartupFailure {
    const char* name;
    bool occupyTerminalPort;  // false: no server answers
    bool trayAvailable;
};

// A failed start-up leaves no icon; the hour-glass is gone before the box,
// which is shown only where someone can close it.
TEST(GatewayUi, FailedStartUpShowsTheErrorBoxAndNoIcon) {
    const StartupFailure rows[] = {
        {"no server, desktop with a tray", false, true},
        {"no server, no tray", false, false},
        {"terminal port taken, desktop with a tray", true, true},
    };
    for (const StartupFailure& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        std::optional<RunningServer> server;
        Socket holder;
        std::string address = "127.0.0.1:1";
        int port = 0;
        if (row.occupyTerminalPort) {
            server.emplace(DemoCatalogue(dir));
            address = server->AddressText();
            port = holder.Listen();
        }
        GatewayUnderTest under(dir, address, port);
        GatewayUi ui(under.Gateway(), UiMode::Desktop);
        ui.TrayAvailable = [&] { return row.trayAvailable; };

        struct Seen {
            QString title, text;
            QStringList buttons;
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            bool modal = false;
            std::optional<Qt::CursorShape> cursor;
            bool iconVisible = true;
        };
        std::optional<Seen> seen;
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            Seen s;
            s.title = box->windowTitle();
            s.text = box->text();
            for (QAbstractButton* button : box->buttons()) {
                s.buttons << button->text();
            }
            s.icon = box->icon();
            s.modal = box->isModal();
            s.cursor = OverrideShape();
            s.iconVisible = ui.Window()->ctIcon->isVisible();
            seen = s;
            box->button(QMessageBox::Ok)->click();
        });
        closer.start(20);

        EXPECT_FALSE(under.Gateway().FormCreate({}));
        EXPECT_FALSE(ui.Window()->ctIcon->isVisible());
        EXPECT_EQ(OverrideShape(), std::nullopt);
        ASSERT_EQ(seen.has_value(), row.trayAvailable);
        if (seen) {
            EXPECT_EQ(seen->title, QStringLiteral("Error"));
            EXPECT_EQ(seen->text, QString::fromUtf8("No se encontro Srv_Zel.exe en ejecución"));
            EXPECT_EQ(seen->buttons, QStringList{"OK"});
            EXPECT_EQ(seen->icon, QMessageBox::Critical);
            EXPECT_TRUE(seen->modal);
            EXPECT_EQ(seen->cursor, std::nullopt);
            EXPECT_FALSE(seen->iconVisible);
        }
    }
}

TEST(GatewayUi, ExceptionsOfTheLoopGoToTheStandardErrorBox) {
    TempDir dir;
    GatewayUnderTest under(dir, "127.0.0.1:1");
    bool tray = true;
    {
        GatewayUi ui(under.Gateway(), UiMode::Desktop);
        ui.TrayAvailable = [&] { return tray; };
        HandleApplicationException(std::runtime_error("Asynchronous socket error 10053"));
        HandleApplicationException(std::runtime_error("Asynchronous socket error 10053"));
        HandleApplicationException(EAbort());
        ASSERT_EQ(ui.ErrorBoxes().Open().size(), 1u);
        QMessageBox& box = *ui.ErrorBoxes().Open().front();
        EXPECT_EQ(box.text(), QStringLiteral("Asynchronous socket error 10053."));
        EXPECT_EQ(box.windowTitle(), QStringLiteral("ZEL_RV7300"));
        EXPECT_FALSE(box.isModal());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        tray = false;
        HandleApplicationException(std::runtime_error("Windows socket error: 98, on API 'bind'"));
        EXPECT_EQ(ui.ErrorBoxes().Open().size(), 1u) << "no tray: stderr only";
    }
    // The handler is given back with the user interface.
    EXPECT_FALSE(SetApplicationExceptionHandler({}));
}

}  // namespace
}  // namespace zel
