// The window's tests run in a QApplication on the offscreen platform: real
// widgets and a real event loop, no display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>

namespace {

// The offscreen platform says so for every window that asks it to do what
// only a window manager does; nothing the tests look at.
void QuietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("This plugin does not support")) ||
        message.contains(QLatin1String("systemTrayWindowChanged"))) {
        return;
    }
    qt_message_output(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(QuietHandler);
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const int result = RUN_ALL_TESTS();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
