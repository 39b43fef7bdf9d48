// The technician's page in a real browser (headless Chromium): one row per
// terminal with its counts and last result, kept up to date without a
// reload, the application server's failure, and every text shown as text.
#include <algorithm>
#include <cstdlib>

#include "Browser.h"
#include "GatewayFixture.h"

namespace zel::e2e {
namespace {

// A description a back office could hold, markup and quotes included.
constexpr std::string_view kMarkupCode = "7666";
constexpr std::string_view kMarkupText = "<script>alert(1)</script>\"'<b>";

// The text of one cell of a terminal's row.
std::string CellOf(const Terminal& terminal, const std::string& cell) {
    return "document.querySelector('tr[data-terminal=\"127.0.0.1:" +
           std::to_string(terminal.LocalPort()) + "\"] ." + cell + "').textContent";
}

TEST_F(GatewayTest, ThePageShowsEachTerminalLiveAndEveryTextAsText) {
    std::vector<Article> articles = TestArticles();
    articles.push_back({std::string(kMarkupCode), std::string(kMarkupText), "10.00", 0, 0});
    ImportCatalogue(dir_, dir_.File("pagina.db"), articles, TestTaxes());
    SrvZel server(dir_, dir_.File("pagina.db"));
    GatewayConfig config;
    config.ServerAddress = server.Address();
    config.Espera = 0;
    config.SinServicio = "SIN SERVICIO";
    config.Monitor = "127.0.0.1:0";
    Gateway& gateway = StartGateway(config);
    auto first = Connect();
    auto second = Connect();
    for (const auto& [terminal, code] :
         {std::pair{first.get(), kMilk}, {first.get(), kMissing}, {second.get(), kMarkupCode}}) {
        terminal->Scan(code);
        terminal->ExpectFrame(kPrompt);
        terminal->ReadFor(std::chrono::milliseconds(300));  // the idle screen after a result
    }

    Browser browser;
    browser.Open("http://" + gateway.MonitorAddress() + "/");
    browser.WaitFor("document.querySelectorAll('#terminals tr').length === 2");
    const struct {
        const Terminal* terminal;
        const char* found;
        const char* notFound;
        const char* failed;
        std::string code;
        std::string result;
    } rows[] = {
        {first.get(), "1", "1", "0", std::string(kMissing), "no encontrado"},
        {second.get(), "1", "0", "0", std::string(kMarkupCode),
         std::string(kMarkupText) + " $10.00"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(browser.Eval(CellOf(*row.terminal, "c-found")), row.found);
        EXPECT_EQ(browser.Eval(CellOf(*row.terminal, "c-not-found")), row.notFound);
        EXPECT_EQ(browser.Eval(CellOf(*row.terminal, "c-failed")), row.failed);
        EXPECT_EQ(browser.Eval(CellOf(*row.terminal, "c-code")), row.code);
        EXPECT_EQ(browser.Eval(CellOf(*row.terminal, "c-result")), row.result);
        EXPECT_EQ(browser.Eval(CellOf(*row.terminal, "c-state")), "en espera");
    }
    // The markup stayed text: no element was made of it.
    EXPECT_EQ(browser.Eval("document.querySelectorAll('script, #terminals b').length"), 1);
    EXPECT_EQ(browser.Eval("document.getElementById('srv-state').textContent"), "responde");
    EXPECT_EQ(browser.Eval("document.getElementById('port').textContent"),
              std::to_string(gateway.Port()));

    // A new scan shows within a refresh, the page not loaded again.
    second->Scan(kMilk);
    second->ExpectFrame(kPrompt);
    browser.WaitFor(CellOf(*second, "c-found") + " === '2'");
    EXPECT_EQ(browser.Eval(CellOf(*second, "c-code")), std::string(kMilk));
    EXPECT_EQ(browser.Eval(CellOf(*second, "c-result")), std::string(kMilkText) + " $89.50");
    const std::string shot = dir_.File("monitor.png");
    browser.Screenshot(shot);
    if (const char* folder = std::getenv("ZEL_SCREENSHOT_DIR")) {
        browser.Screenshot(std::string(folder) + "/monitor.png");
    }

    // The application server stops: the page says so, and the terminal's failure.
    server.Kill();
    first->Scan(kBread);
    first->ExpectFrame(kPrompt);  // the out-of-service screen
    browser.WaitFor("document.getElementById('srv-state').textContent === 'sin respuesta'");
    browser.WaitFor(CellOf(*first, "c-failed") + " === '1'");
    EXPECT_EQ(browser.Eval(CellOf(*first, "c-result") + ".startsWith('falla: ')"), true);
    EXPECT_NE(browser.Eval("document.getElementById('srv-error').textContent")
                  .get<std::string>()
                  .find("refused"),
              std::string::npos);

    const nlohmann::json events = browser.Events();
    EXPECT_EQ(events["dialogs"].size(), 0u) << events.dump();
    EXPECT_EQ(events["foreignRequests"].size(), 0u) << events.dump();
    EXPECT_EQ(events["pageErrors"].size(), 0u) << events.dump();
    EXPECT_EQ(events["loads"], 1) << events.dump();
}

// A shop of 20 named terminals: a named terminal, one that leaves and shows
// in the list of those gone (and is one row again when it comes back), a
// code not found counted across two terminals, the CSV of the codes through
// the page's own origin, and the chart of the last hour.
TEST_F(GatewayTest, ThePageNamesTerminalsListsThoseGoneAndTheCodesNotFound) {
    static const char* const kNames[] = {
        "Panaderia", "Caja 1",         "Caja 2",     "Caja 3",   "Caja 4",
        "Caja 5",    "Caja 6",         "Caja 7",     "Caja 8",   "Lacteos",
        "Carnes",    "Salchichoneria", "Vinos",      "Limpieza", "Farmacia",
        "Mascotas",  "Bebes",          "Ferreteria", "Entrada",  "Frutas y verduras"};
    const auto address = [](std::size_t i) { return "127.0.0." + std::to_string(21 + i); };
    GatewayConfig config;
    config.Espera = 0;
    config.Monitor = "127.0.0.1:0";
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        config.Terminales.emplace_back(address(i), kNames[i]);
    }
    Gateway& gateway = StartGateway(config);
    const auto from = [&](const std::string& own) {
        auto terminal = std::make_unique<Terminal>(gateway.Port(), 0, kPrompt, own);
        terminal->ExpectFrame(kPrompt);  // the greeting
        return terminal;
    };
    std::vector<std::unique_ptr<Terminal>> shop;
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        shop.push_back(from(address(i)));
    }
    Terminal& bakery = *shop[0];
    // Codes the catalogue lacks, kMissing three times from two terminals;
    // found articles besides.
    const struct {
        std::size_t terminal;
        std::string_view code;
        bool found;
    } scans[] = {{0, kMissing, false},
                 {2, kMissing, false},
                 {0, kMissing, false},
                 {0, kMilk, true},
                 {3, "7501055300846", false},
                 {5, "7501055300846", false},
                 {4, "750100011", false},
                 {6, kBread, true},
                 {7, kSugar, true},
                 {8, "7509999000011", false},
                 {9, kSoda, true},
                 {19, kRice, true}};
    int missing = 0;
    for (const auto& scan : scans) {
        shop[scan.terminal]->Scan(scan.code);
        shop[scan.terminal]->ExpectFrame(kPrompt);  // type 0: not found is the idle screen alone
        if (scan.found) {
            shop[scan.terminal]->ExpectFrame(kPrompt);  // the idle screen after the result
        }
        missing += scan.found ? 0 : 1;
    }
    shop[2]->Reset();  // Caja 2 gone at once
    shop[19]->Close();

    Browser browser;
    browser.Open("http://" + gateway.MonitorAddress() + "/");
    const std::string tillGone =
        "document.querySelectorAll('#left tr[data-address=\"" + address(2) + "\"]')";
    browser.WaitFor("document.querySelectorAll('#left tr').length === 2");
    EXPECT_EQ(browser.Eval("document.getElementById('count').textContent"), "18");
    const std::string connected = "document.querySelector('tr[data-terminal=\"" + address(0) + ":" +
                                  std::to_string(bakery.LocalPort()) + "\"] .c-name').textContent";
    EXPECT_EQ(browser.Eval(connected), "Panaderia");
    EXPECT_EQ(browser.Eval(tillGone + "[0].querySelector('.c-name').textContent"), "Caja 2");
    EXPECT_EQ(browser.Eval(tillGone + "[0].querySelector('.c-how').textContent"),
              "conexión cortada");
    const std::string code =
        "document.querySelector('#codes tr[data-code=\"" + std::string(kMissing) + "\"] .";
    EXPECT_EQ(browser.Eval(code + "c-count').textContent"), "3");
    EXPECT_EQ(browser.Eval(code + "c-terminals').textContent"), "Panaderia, Caja 2");
    EXPECT_EQ(browser.Eval("document.querySelectorAll('#codes tr').length"), 4);
    EXPECT_EQ(browser.Eval("document.getElementById('hour-not-found').textContent"),
              std::to_string(missing));
    EXPECT_GE(browser.Eval("document.querySelectorAll('#chart rect.bar').length").get<int>(), 1);
    EXPECT_EQ(browser.Eval("document.getElementById('srv-prices').offsetParent"), nullptr)
        << "no time from the server: no \"Precios al\"";

    if (const char* folder = std::getenv("ZEL_SCREENSHOT_DIR")) {
        browser.Screenshot(std::string(folder) + "/monitor-shop.png");
        // A phone's width; the top of the page, down to the connected terminals.
        browser.Resize(390, 1750);
        browser.Screenshot(std::string(folder) + "/monitor-shop-phone.png", true);
        browser.Resize(1100, 640);
    }

    // The CSV the page links to, as the back office downloads it.
    const std::string csv =
        browser.Eval("fetch(document.querySelector('a[download]').href).then((r) => r.text())")
            .get<std::string>();
    const std::string header = "codigo,veces,primera,ultima,terminales\r\n";
    ASSERT_EQ(csv.substr(0, header.size()), header) << csv;
    EXPECT_EQ(csv.substr(header.size(), 7), std::string(kMissing) + ",3,") << csv;
    EXPECT_NE(csv.find(",\"Panaderia (127.0.0.21); Caja 2 (127.0.0.23)\"\r\n"), std::string::npos)
        << csv;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 5) << csv;
    // The series by terminal, by its name, and by code.
    const std::string metrics =
        browser.Eval("fetch('/metrics').then((r) => r.text())").get<std::string>();
    for (const std::string& sample : std::vector<std::string>{
             std::string("zel_terminal_connected{address=\"127.0.0.21\",terminal=\"Panaderia\"} 1"),
             "zel_terminal_connected{address=\"127.0.0.23\",terminal=\"Caja 2\"} 0",
             "zel_not_found_code_scans{code=\"" + std::string(kMissing) + "\"} 3"}) {
        EXPECT_NE(metrics.find("\n" + sample + "\n"), std::string::npos) << sample << "\n"
                                                                         << metrics;
    }
    // Back from the same address: connected again, and no longer gone.
    shop[2] = from(address(2));
    browser.WaitFor(tillGone + ".length === 0");
    EXPECT_EQ(browser.Eval("document.querySelectorAll('#terminals tr').length"), 19);
    const nlohmann::json events = browser.Events();
    EXPECT_EQ(events["foreignRequests"].size(), 0u) << events.dump();
    EXPECT_EQ(events["pageErrors"].size(), 0u) << events.dump();
}

}  // namespace
}  // namespace zel::e2e
