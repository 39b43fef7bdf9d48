// A headless Chromium for the tests of the monitor's page, driven through
// tests/e2e/browser/driver.js (playwright-core) one JSON command at a time.
// The browser ends with the object.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

namespace zel::e2e {

class Browser {
public:
    // Starts node with the driver; throws naming what is missing when it cannot.
    Browser();
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    void Open(const std::string& url);
    // Waits until `expression` is true in the page; throws after `limit`.
    void WaitFor(const std::string& expression,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));
    nlohmann::json Eval(const std::string& expression);
    // The whole page as PNG, or only what the window shows.
    void Screenshot(const std::string& path, bool windowOnly = false);
    // The window's size in CSS pixels (1100 x 640 at start).
    void Resize(int width, int height);
    // Dialogs, requests other than GETs to the page's origin, page errors, loads.
    nlohmann::json Events();

private:
    nlohmann::json Do(nlohmann::json command, std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int toDriver_ = -1;
    int fromDriver_ = -1;
    std::string pending_;  // read beyond the last answer
};

}  // namespace zel::e2e
