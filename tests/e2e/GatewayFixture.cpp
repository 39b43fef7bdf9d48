#include "GatewayFixture.h"

#include "gateway/Constants.h"
#include "gateway/Framing.h"

namespace zel::e2e {

namespace {

// Centred in 30 columns: 15 - floor(m / 2) spaces when positive, then cut.
std::string Centred(std::string_view text) {
    const int pad = 15 - static_cast<int>(text.size()) / 2;
    std::string line(pad > 0 ? static_cast<std::size_t>(pad) : 0u, ' ');
    line += text;
    return line.substr(0, 30);
}

}  // namespace

const std::vector<Article>& TestArticles() {
    static const std::vector<Article> articles{
        {"7501", "LECHE ENTERA 1L", "89.5", 0, 0},
        {"7502", "PAN BLANCO", "35.5", 0, 0},
        {"7503", "ACEITE 1L", "100", 5, 0},
        {"7504", "ACEITE DE OLIVA 1L", "100", 5, 2},
        {"7505", "ARROZ 25KG", "1234.5", 0, 0},
        {"7506", "Café de olla molido en grano, bolsa 500g", "18.5", 0, 0},
        {"7507", "REFRESCO 2L", "10.3", 0, 0},
        {"7501000111206", "AZUCAR ESTANDAR 1KG", "25", 0, 0},
        // The last 13 digits of a 15-digit read of the sugar's code: a
        // gateway that kept the wrong digits would show this.
        {"100011120699", "CODIGO EQUIVOCADO", "1", 0, 0},
        // The digits of the milk and the bread run together.
        {"75017502", "LECHE Y PAN", "2", 0, 0},
    };
    return articles;
}

const std::vector<std::string>& TestTaxes() {
    static const std::vector<std::string> taxes{"16", "0", "8"};
    return taxes;
}

std::string ExpectedIdleFrame(const GatewayConfig& config) {
    std::string screen(1, SCREEN_OPEN);
    for (const std::string& line : config.IdleLines) {
        screen += line;
        if (config.Tipo != 0) {
            screen += LINE_BREAK;
        }
    }
    return FrameMessage(screen, static_cast<std::uint8_t>(config.Tipo));
}

std::string ExpectedResultFrame(std::string_view description, std::string_view money, int tipo) {
    std::string screen{SCREEN_OPEN, LINE_BREAK};
    if (tipo == 0) {
        if (description.size() <= 30) {
            screen += Centred(description);
        } else {
            screen += description.substr(0, 30);
            screen += Centred(description.substr(30));
        }
        screen += "\r\r\r";
        screen += Centred(money);
    } else {
        screen += description;
        screen += "\r\r\r";
        screen += money.substr(0, 30);
    }
    return FrameMessage(screen, static_cast<std::uint8_t>(tipo));
}

std::string ExpectedMessageFrame(std::string_view text, int tipo) {
    std::string screen{SCREEN_OPEN, LINE_BREAK};
    screen += text;
    screen += LINE_BREAK;
    return FrameMessage(screen, static_cast<std::uint8_t>(tipo));
}

std::string ExpectedNotFoundFrame(int tipo) {
    return ExpectedMessageFrame(NOT_FOUND_MESSAGE, tipo);
}

void GatewayTest::SetUp() {
    ImportCatalogue(dir_, dir_.File("tienda.db"), TestArticles(), TestTaxes());
    server_ = std::make_unique<SrvZel>(dir_, dir_.File("tienda.db"));
}

Gateway& GatewayTest::StartGateway(GatewayConfig config, GatewayRun run) {
    if (config.ServerAddress.empty()) {
        config.ServerAddress = server_->Address();
    }
    gateway_.reset();
    gateway_ = std::make_unique<Gateway>(dir_, std::move(config), std::move(run));
    gateway_->WaitListening();
    return *gateway_;
}

std::unique_ptr<Terminal> GatewayTest::Connect() {
    auto terminal = std::make_unique<Terminal>(gateway_->Port(), gateway_->Config().Tipo);
    const Frame greeting = terminal->ExpectFrame(kPrompt);
    EXPECT_EQ(Hex(greeting.Bytes), Hex(ExpectedIdleFrame(gateway_->Config())));
    return terminal;
}

}  // namespace zel::e2e
