#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/ApplicationException.h"
#include "net/SocketError.h"

namespace zel {
namespace {

TEST(WithFullStop, AddsAStopOnlyAfterBytesThatSortAfterIt) {
    struct Case {
        std::string message, shown;
    };
    const Case cases[] = {
        {"", ""},
        {"Asynchronous socket error 104", "Asynchronous socket error 104."},
        {"Windows socket error: x (98), on API 'bind'",
         "Windows socket error: x (98), on API 'bind'"},
        {"Already stopped.", "Already stopped."},
        {"closing bracket)", "closing bracket)"},  // ')' sorts before '.'
        {"dash-", "dash-"},
        {"comma,", "comma,"},
        {"slash/", "slash/."},  // '/' is the first byte after '.'
        {"Can't create new socket", "Can't create new socket."},
        {"No se encontro Srv_Zel.exe en ejecución", "No se encontro Srv_Zel.exe en ejecución."},
        {"question?", "question?."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WithFullStop(c.message), c.shown) << "message: " << c.message;
}

TEST(SocketErrorText, NamesTheSystemTextNumberAndCall) {
    EXPECT_EQ(SocketErrorMessage(EADDRINUSE, "bind"),
              "Windows socket error: Address already in use (" + std::to_string(EADDRINUSE) +
                  "), on API 'bind'");
    EXPECT_EQ(SocketErrorMessage(ECONNRESET, "recv"),
              "Windows socket error: Connection reset by peer (" + std::to_string(ECONNRESET) +
                  "), on API 'recv'");
    EXPECT_EQ(AsyncSocketErrorMessage(104), "Asynchronous socket error 104");
    EXPECT_TRUE(WouldBlock(EAGAIN));
    EXPECT_TRUE(WouldBlock(EWOULDBLOCK));
    EXPECT_FALSE(WouldBlock(ECONNRESET));
    EXPECT_THROW(RaiseSocketError(EPIPE, "send"), ESocketError);
}

class ApplicationHandler : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = SetApplicationExceptionHandler(
            [this](const std::exception& error) { shown.push_back(error.what()); });
    }
    void TearDown() override { SetApplicationExceptionHandler(previous_); }
    std::vector<std::string> shown;

private:
    ApplicationExceptionHandler previous_;
};

TEST_F(ApplicationHandler, AThrowingHandlerDoesNotEscape) {
    SetApplicationExceptionHandler([](const std::exception&) { throw std::logic_error("box"); });
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(HandleApplicationException(std::runtime_error("lost socket")));
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("lost socket."), std::string::npos) << printed;
}

TEST_F(ApplicationHandler, ReceivesEveryExceptionButAbortAndEmptyMeansStderr) {
    HandleApplicationException(std::runtime_error("one"));
    HandleApplicationException(ESocketError("two"));
    HandleApplicationException(EAbort());
    EXPECT_EQ(shown, (std::vector<std::string>{"one", "two"}));
    auto mine = SetApplicationExceptionHandler(nullptr);
    ASSERT_TRUE(mine);
    testing::internal::CaptureStderr();
    HandleApplicationException(std::runtime_error("Asynchronous socket error 104"));
    HandleApplicationException(EAbort());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Asynchronous socket error 104.\n");
    SetApplicationExceptionHandler(mine);
    HandleApplicationException(std::runtime_error("back"));
    EXPECT_EQ(shown.back(), "back");
}

}  // namespace
}  // namespace zel
