#include "UiTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <cstdlib>
#include <fstream>

#include "money/CodePage.h"
#include "srv_zel/DemoCatalogue.h"
#include "srv_zel/Schema.h"

namespace zel::test {

int ExecAfter(const std::function<void()>& action) {
    QTimer::singleShot(0, action);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    watchdog.start(5000);
    return QCoreApplication::exec();
}

bool WaitUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(5000);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

std::string DemoCatalogue(const TempDir& dir) {
    const std::string path = dir.File("demo.db");
    WriteDemoCatalogue(*OpenCatalogueWriter(path));
    return path;
}

GatewayUnderTest::GatewayUnderTest(const TempDir& dir, const std::string& serverAddress,
                                   int terminalPort) {
    const std::string conf =
        dir.Write("Conf.ini", "[SRV_ZEL]\nIP=" + serverAddress +
                                  "\n[TCP]\nPUERTO=" + std::to_string(terminalPort) +
                                  "\n[GENERAL]\nESPERA=0\n[MONITOR]\nDIRECCION=127.0.0.1:0\n");
    setenv("ZEL_CONF", conf.c_str(), 1);
    gateway_ = std::make_unique<TFMain>(TerminalCodePage());
}

GatewayUnderTest::~GatewayUnderTest() {
    gateway_.reset();
    unsetenv("ZEL_CONF");
}

}  // namespace zel::test
