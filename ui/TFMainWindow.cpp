#include "ui/TFMainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <algorithm>

#include "gateway/Constants.h"
#include "gateway/DebugLog.h"

namespace zel {
namespace {

struct LabelPlace {
    const char* text;
    QRect rect;  // left, top, width, height in the client area
};

// The about text. Each label keeps its place; where the font draws the text
// wider than its box, the box grows about the same centre so nothing is cut.
const LabelPlace kLabels[] = {
    {"Conexión RV7300-ZEL Ver. 3.0", QRect(30, 8, 152, 13)},
    {"Desarrollado por:", QRect(70, 25, 80, 13)},
    {"Orvane S.A. de C.V.", QRect(67, 41, 86, 13)},
    {"Ciudad de México, 2026", QRect(66, 58, 88, 13)},
};
const QRect kButtonRect(72, 118, 75, 25);
const QRect kLogRect(16, 8, 201, 105);

QLabel* MakeLabel(QWidget* parent, const LabelPlace& place, const char* name) {
    auto* label = new QLabel(QString::fromUtf8(place.text), parent);
    label->setObjectName(QString::fromLatin1(name));
    const QSize wanted = label->sizeHint();
    QRect rect = place.rect;
    if (wanted.width() > rect.width()) {
        const int centre = rect.center().x();
        rect.setWidth(wanted.width());
        rect.moveLeft(std::max(0, centre - wanted.width() / 2));
    }
    rect.setHeight(std::max(rect.height(), wanted.height()));
    label->setGeometry(rect);
    return label;
}

}  // namespace

TFMainWindow::TFMainWindow(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FMain"));
    setWindowTitle(QString::fromUtf8(WINDOW_CAPTION.data(), WINDOW_CAPTION.size()));
    // Title bar with the close box only: no minimise, no maximise, no help.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(ClientWidth, ClientHeight);
    setSizeGripEnabled(false);
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    QFont font = QApplication::font(this);
    font.setPointSize(FontPointSize);
    setFont(font);
    const QIcon icon(QStringLiteral(":/zel-rv7300/zel-rv7300.png"));
    setWindowIcon(icon);

    Label1 = MakeLabel(this, kLabels[0], "Label1");
    Label2 = MakeLabel(this, kLabels[1], "Label2");
    Label3 = MakeLabel(this, kLabels[2], "Label3");
    Label4 = MakeLabel(this, kLabels[3], "Label4");

    bbAcepta = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton),
                               QStringLiteral("&Aceptar"), this);
    bbAcepta->setObjectName(QStringLiteral("bbAcepta"));
    bbAcepta->setGeometry(kButtonRect);
    bbAcepta->setDefault(true);
    bbAcepta->setFocusPolicy(Qt::StrongFocus);
    connect(bbAcepta, &QPushButton::clicked, this, [this] { bbAceptaClick(); });

    pmMenu = new QMenu(this);
    pmMenu->setObjectName(QStringLiteral("pmMenu"));
    Acercade1 = pmMenu->addAction(QStringLiteral("&Acerca de ..."));
    Acercade1->setObjectName(QStringLiteral("Acercade1"));
    Salir1 = pmMenu->addAction(QStringLiteral("&Salir"));
    Salir1->setObjectName(QStringLiteral("Salir1"));
    connect(Acercade1, &QAction::triggered, this, [this] { Acercade1Click(); });
    connect(Salir1, &QAction::triggered, this, [this] { Salir1Click(); });

    // No tooltip; the right button opens the menu (on the press), a double
    // click opens the about box, a single left click does nothing.
    ctIcon = new QSystemTrayIcon(icon, this);
    ctIcon->setObjectName(QStringLiteral("ctIcon"));
    ctIcon->setContextMenu(pmMenu);
    connect(ctIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick) {
                    Acercade1Click();
                }
            });
}

TFMainWindow::~TFMainWindow() {
    if (log_ != nullptr) {
        log_->OnAppend = nullptr;
    }
}

void TFMainWindow::AttachLog(DebugLog* log) {
    if (log == nullptr || log_ != nullptr) {
        return;
    }
    log_ = log;
    mdebug = new QPlainTextEdit(this);
    mdebug->setObjectName(QStringLiteral("mdebug"));
    mdebug->setGeometry(kLogRect);
    mdebug->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    mdebug->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mdebug->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mdebug->setReadOnly(false);
    // A program meant to run for months keeps only the newest lines.
    mdebug->setMaximumBlockCount(LogMaxLines);
    for (const std::string& line : log->Lines()) {
        mdebug->appendPlainText(QString::fromStdString(line));
    }
    mdebug->raise();  // over the labels
    setTabOrder(bbAcepta, mdebug);
    mdebug->show();
    log->OnAppend = [this](const std::string& line) {
        mdebug->appendPlainText(QString::fromStdString(line));
    };
}

void TFMainWindow::Acercade1Click() {
    ShowMainWindow();
}

void TFMainWindow::bbAceptaClick() {
    HideMainWindow();
}

void TFMainWindow::Salir1Click() {
    HideMainWindow();
    EndProgram();
}

void TFMainWindow::ShowMainWindow() {
    if (!shownBefore_) {
        // Centred the first time; afterwards it comes back where it was.
        shownBefore_ = true;
        QScreen* screen = QGuiApplication::primaryScreen();
        if (screen != nullptr) {
            const QRect area = screen->geometry();
            move(area.center() - QPoint(width() / 2, height() / 2));
        }
        bbAcepta->setFocus();
    }
    if (isMinimized()) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
    }
    show();
    raise();
    activateWindow();
}

void TFMainWindow::HideMainWindow() {
    hide();
}

void TFMainWindow::SetIconVisible(bool visible) {
    ctIcon->setVisible(visible);
}

void TFMainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    EndProgram();
}

void TFMainWindow::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // Minimised by other means (the window has no minimise button): it goes
    // to the tray instead.
    // Deferred: the platform is still carrying out the state change.
    if (event->type() == QEvent::WindowStateChange && isMinimized()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (isMinimized()) {
                    setWindowState(windowState() & ~Qt::WindowMinimized);
                    HideMainWindow();
                    SetIconVisible(true);
                }
            },
            Qt::QueuedConnection);
    }
}

void TFMainWindow::reject() {}

void TFMainWindow::EndProgram() {
    QCoreApplication::exit(0);
}

}  // namespace zel
