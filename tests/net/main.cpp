// The listener's tests run inside a Qt application: its event loop is the
// one that carries socket readiness.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>

#include "net/Readiness.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    zel::UseQtLoop();  // the gateway's own loop
    QCoreApplication app(argc, argv);
    const int result = RUN_ALL_TESTS();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
