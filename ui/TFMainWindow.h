// TFMainWindow: the gateway's one window "RV7300-ZEL" and its tray icon.
//
// The window is a small about box, hidden at start, that the icon's menu
// opens; in debug mode a log box covers its text and shows the debug log.
// The icon `ctIcon` appears only when the gateway is ready (SetIconVisible);
// its menu `pmMenu` opens the about box or ends the program. "&Aceptar" only
// hides the window; "&Salir", the close box and the system's close command
// end the event loop (the program then runs FormDestroy and exits 0).
#pragma once

#include <QDialog>

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;

namespace zel {

class DebugLog;

class TFMainWindow : public QDialog {
public:
    static constexpr int ClientWidth = 230;
    static constexpr int ClientHeight = 159;
    static constexpr int FontPointSize = 8;
    static constexpr int LogMaxLines = 5000;

    explicit TFMainWindow(QWidget* parent = nullptr);
    ~TFMainWindow() override;
    TFMainWindow(const TFMainWindow&) = delete;
    TFMainWindow& operator=(const TFMainWindow&) = delete;

    // Debug mode: makes `mdebug` over the labels, fills it with the lines the
    // log holds and appends each new line, shown or hidden. A null log (or a
    // second call) changes nothing. The log must outlive the window.
    void AttachLog(DebugLog* log);

    // Handlers of the menu, the icon and the button.
    void Acercade1Click();  // "&Acerca de ..." and a double-click on the icon
    void bbAceptaClick();   // "&Aceptar"
    void Salir1Click();     // "&Salir": the program ends

    // The icon's operations.
    void ShowMainWindow();  // shown and in front; one window, ever
    void HideMainWindow();  // hidden; the icon stays
    void SetIconVisible(bool visible);

    // The controls, as the gateway names them. `mdebug` is null unless a log
    // was attached.
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* bbAcepta = nullptr;
    QPlainTextEdit* mdebug = nullptr;
    QSystemTrayIcon* ctIcon = nullptr;
    QMenu* pmMenu = nullptr;
    QAction* Acercade1 = nullptr;
    QAction* Salir1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void reject() override;  // Escape: the window has no cancel button

private:
    void EndProgram();

    DebugLog* log_ = nullptr;
    bool shownBefore_ = false;
};

}  // namespace zel
