// The about box and the tray icon: their face, the debug log, showing and
// hiding, and the ways the program ends.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include "UiTestSupport.h"
#include "gateway/DebugLog.h"
#include "ui/TFMainWindow.h"

namespace zel {
namespace {

using test::ExecAfter;

QStringList LogLines(const QPlainTextEdit& edit) {
    return edit.toPlainText().split(QLatin1Char('\n'));
}

int VisibleMainWindows() {
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (dynamic_cast<TFMainWindow*>(widget) != nullptr && widget->isVisible()) {
            ++count;
        }
    }
    return count;
}

// The widget drawn at the centre of `control`: what the user sees there.
bool SeenAt(const TFMainWindow& window, const QWidget& control, const QWidget& expected) {
    const QWidget* seen = window.childAt(control.geometry().center());
    return seen == &expected || expected.isAncestorOf(seen);
}

TEST(MainWindow, FrameIsTheFixedAboutBox) {
    TFMainWindow window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("RV7300-ZEL"));
    EXPECT_EQ(window.size(), QSize(230, 159));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    const Qt::WindowFlags flags = window.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowContextHelpButtonHint));
    EXPECT_EQ(window.font().pointSize(), 8);
    EXPECT_EQ(window.backgroundRole(), QPalette::Button);
    EXPECT_TRUE(window.isHidden());
    EXPECT_FALSE(window.ctIcon->isVisible());
}

TEST(MainWindow, ControlsKeepTheirNamesTextsAndPlaces) {
    TFMainWindow window;
    struct Row {
        const char* name;
        const char* text;
        QRect place;
    };
    const Row rows[] = {
        {"Label1", "Conexión RV7300-ZEL Ver. 3.0", {30, 8, 152, 13}},
        {"Label2", "Desarrollado por:", {70, 25, 80, 13}},
        {"Label3", "Orvane S.A. de C.V.", {67, 41, 86, 13}},
        {"Label4", "Ciudad de México, 2026", {66, 58, 88, 13}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto* label = window.findChild<QLabel*>(QString::fromLatin1(row.name));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), QString::fromUtf8(row.text));
        // The top is kept; a font that draws wider grows the box about its centre.
        EXPECT_EQ(label->y(), row.place.y());
        EXPECT_LE(std::abs(label->geometry().center().x() - row.place.center().x()), 1);
        EXPECT_GE(label->width(), std::max(row.place.width(), label->sizeHint().width()));
        EXPECT_TRUE(window.rect().contains(label->geometry()));
    }
    auto* button = window.findChild<QPushButton*>(QStringLiteral("bbAcepta"));
    ASSERT_EQ(button, window.bbAcepta);
    EXPECT_EQ(button->text(), QStringLiteral("&Aceptar"));
    EXPECT_EQ(button->geometry(), QRect(72, 118, 75, 25));
    EXPECT_TRUE(button->isDefault());
    EXPECT_FALSE(button->icon().isNull());
}

TEST(MainWindow, WithoutDebugTheLabelsShowAndThereIsNoLog) {
    TFMainWindow window;
    window.AttachLog(nullptr);
    window.ShowMainWindow();
    EXPECT_EQ(window.mdebug, nullptr);
    EXPECT_EQ(window.findChild<QPlainTextEdit*>(), nullptr);
    for (QLabel* label : {window.Label1, window.Label2, window.Label3, window.Label4}) {
        EXPECT_TRUE(label->isVisible());
        EXPECT_TRUE(SeenAt(window, *label, *label)) << label->objectName().toStdString();
    }
    EXPECT_EQ(window.focusWidget(), window.bbAcepta);
}

TEST(MainWindow, WithDebugTheLogCoversTheLabels) {
    DebugLog log(nullptr);
    TFMainWindow window;
    window.AttachLog(&log);
    window.ShowMainWindow();
    ASSERT_NE(window.mdebug, nullptr);
    EXPECT_EQ(window.mdebug->geometry(), QRect(16, 8, 201, 105));
    EXPECT_EQ(window.mdebug->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(window.mdebug->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(window.mdebug->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_FALSE(window.mdebug->isReadOnly());
    EXPECT_EQ(window.mdebug->maximumBlockCount(), 5000);
    for (QLabel* label : {window.Label1, window.Label2, window.Label3, window.Label4}) {
        EXPECT_TRUE(SeenAt(window, *label, *window.mdebug)) << label->objectName().toStdString();
    }
    EXPECT_TRUE(SeenAt(window, *window.bbAcepta, *window.bbAcepta));
    EXPECT_EQ(window.bbAcepta->nextInFocusChain(), window.mdebug);
    EXPECT_EQ(window.focusWidget(), window.bbAcepta);
}

TEST(DebugLog, LongLinesAreCutAndSaySo) {
    DebugLog log(nullptr);
    log.Append(std::string(DebugLog::MaxLineBytes, 'a'));
    log.Append(std::string(65536, 'b'));
    log.Append(std::string(DebugLog::MaxLineBytes - 1, 'c') + "\xC3\xB1");  // no half character
    ASSERT_EQ(log.Lines().size(), 3u);
    EXPECT_EQ(log.Lines()[0], std::string(DebugLog::MaxLineBytes, 'a'));
    EXPECT_EQ(log.Lines()[1], std::string(DebugLog::MaxLineBytes, 'b') +
                                  " ... (line cut at 2000 bytes, 63536 more not kept)");
    EXPECT_EQ(log.Lines()[2], std::string(DebugLog::MaxLineBytes - 1, 'c') +
                                  " ... (line cut at 1999 bytes, 2 more not kept)");
}

TEST(MainWindow, LinesWrittenWhileHiddenAreThereWhenShown) {
    DebugLog log(nullptr);
    log.Append("before the window");
    TFMainWindow window;
    window.AttachLog(&log);
    log.Append("2 55 48 3 ");
    log.Append("línea con acento");
    EXPECT_TRUE(window.isHidden());
    window.ShowMainWindow();
    log.Append("while shown");
    window.HideMainWindow();
    log.Append("hidden again");
    window.ShowMainWindow();
    EXPECT_EQ(LogLines(*window.mdebug),
              QStringList({"before the window", "2 55 48 3 ", QString::fromUtf8("línea con acento"),
                           "while shown", "hidden again"}));
}

TEST(MainWindow, LogKeepsTheNewestLinesOnly) {
    DebugLog log(nullptr);
    TFMainWindow window;
    window.AttachLog(&log);
    for (int i = 0; i < TFMainWindow::LogMaxLines + 3; ++i) {
        log.Append(std::to_string(i));
    }
    EXPECT_EQ(window.mdebug->blockCount(), 5000);
    EXPECT_EQ(window.mdebug->document()->firstBlock().text(), QStringLiteral("3"));
    EXPECT_EQ(window.mdebug->document()->lastBlock().text(), QStringLiteral("5002"));
}

TEST(MainWindow, WindowGoneLogWritesOnAlone) {
    DebugLog log(nullptr);
    {
        TFMainWindow window;
        window.AttachLog(&log);
    }
    log.Append("after the window");  // must not reach a destroyed window
    EXPECT_EQ(log.Lines().back(), "after the window");
}

TEST(MainWindow, AceptarHidesAndTheProgramGoesOn) {
    struct Way {
        const char* name;
        std::function<void(TFMainWindow&)> press;
    };
    const Way ways[] = {
        {"click", [](TFMainWindow& w) { QTest::mouseClick(w.bbAcepta, Qt::LeftButton); }},
        {"Enter", [](TFMainWindow& w) { QTest::keyClick(w.bbAcepta, Qt::Key_Enter); }},
        {"Return", [](TFMainWindow& w) { QTest::keyClick(w.bbAcepta, Qt::Key_Return); }},
        {"Space", [](TFMainWindow& w) { QTest::keyClick(w.bbAcepta, Qt::Key_Space); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        TFMainWindow window;
        window.ShowMainWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        const int status = ExecAfter([&] {
            way.press(window);
            QTimer::singleShot(50, [] { QCoreApplication::exit(7); });
        });
        EXPECT_EQ(status, 7) << "the loop must go on";
        EXPECT_TRUE(window.isHidden());
        EXPECT_FALSE(window.ctIcon->isVisible());  // hiding leaves the icon as it was
    }
}

TEST(MainWindow, KeysThatDoNotHide) {
    DebugLog log(nullptr);
    TFMainWindow window;
    window.AttachLog(&log);
    window.ShowMainWindow();
    window.mdebug->setFocus();
    QTest::keyClick(window.mdebug, Qt::Key_Return);  // a new line in the log
    QTest::keyClick(window.mdebug, Qt::Key_Escape);  // no cancel button: nothing
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.mdebug->blockCount(), 2);
}

TEST(MainWindow, ShowingTwiceLeavesOneWindowWhereItWas) {
    TFMainWindow window;
    window.ShowMainWindow();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_LE((window.frameGeometry().center() - screen.center()).manhattanLength(), 40);
    window.move(12, 34);
    window.Acercade1Click();
    window.ShowMainWindow();
    EXPECT_EQ(VisibleMainWindows(), 1);
    EXPECT_EQ(window.pos(), QPoint(12, 34));
    window.HideMainWindow();
    window.ShowMainWindow();
    EXPECT_EQ(window.pos(), QPoint(12, 34)) << "shown again where it was, not centred";
}

TEST(MainWindow, MenuHasItsTwoItemsInOrderAndNoDefault) {
    TFMainWindow window;
    EXPECT_EQ(window.ctIcon->contextMenu(), window.pmMenu);
    const QList<QAction*> items = window.pmMenu->actions();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0], window.Acercade1);
    EXPECT_EQ(items[0]->text(), QStringLiteral("&Acerca de ..."));
    EXPECT_EQ(items[1], window.Salir1);
    EXPECT_EQ(items[1]->text(), QStringLiteral("&Salir"));
    EXPECT_EQ(window.pmMenu->defaultAction(), nullptr);
    EXPECT_TRUE(window.ctIcon->toolTip().isEmpty());
    EXPECT_TRUE(window.ctIcon->icon().availableSizes().contains(QSize(32, 32)));
    window.Acercade1->trigger();
    EXPECT_TRUE(window.isVisible());
}

TEST(MainWindow, OnlyADoubleClickOnTheIconOpensTheAboutBox) {
    const std::pair<QSystemTrayIcon::ActivationReason, bool> rows[] = {
        {QSystemTrayIcon::DoubleClick, true},
        {QSystemTrayIcon::Trigger, false},
        {QSystemTrayIcon::Context, false},
        {QSystemTrayIcon::MiddleClick, false},
    };
    for (const auto& [reason, shows] : rows) {
        SCOPED_TRACE(reason);
        TFMainWindow window;
        emit window.ctIcon->activated(reason);
        EXPECT_EQ(window.isVisible(), shows);
    }
}

TEST(MainWindow, MinimisedGoesToTheTray) {
    TFMainWindow window;
    window.ShowMainWindow();
    window.setWindowState(Qt::WindowMinimized);  // as a window manager does
    EXPECT_TRUE(test::WaitUntil([&] { return window.isHidden(); }));
    EXPECT_TRUE(window.ctIcon->isVisible());
    window.ShowMainWindow();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
}

TEST(MainWindow, SalirAndTheCloseBoxEndTheLoop) {
    struct Way {
        const char* name;
        bool shownFirst;
        std::function<void(TFMainWindow&)> end;
    };
    const Way ways[] = {
        {"Salir, never shown", false, [](TFMainWindow& w) { w.Salir1->trigger(); }},
        {"Salir, shown", true, [](TFMainWindow& w) { w.Salir1Click(); }},
        {"close box", true, [](TFMainWindow& w) { w.close(); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        TFMainWindow window;
        if (way.shownFirst) {
            window.ShowMainWindow();
        }
        EXPECT_EQ(ExecAfter([&] { way.end(window); }), 0);
        EXPECT_TRUE(window.isHidden());
    }
}

}  // namespace
}  // namespace zel
