// A headless Chromium for the end-to-end tests, driven line by line: each
// line on stdin is one JSON command, each answer one JSON line on stdout.
//   {"do": "open", "url": U}                 loads the page
//   {"do": "wait", "js": E, "ms": N}         until the expression E is true in the page
//   {"do": "eval", "js": E}                  E's value
//   {"do": "screenshot", "path": P}          the whole page as PNG ("window":
//                                            true: what the window shows)
//   {"do": "resize", "width": W, "height": H} the window's size, as a phone's
//   {"do": "events"}                         what the page did beside showing:
//       dialogs opened, requests other than GET or away from its own origin,
//       page errors, and how many times it was loaded
// An answer is {"ok": true, "value": ...} or {"ok": false, "error": "..."}.
"use strict";
const readline = require("readline");
const { chromium } = require("playwright-core");

async function main() {
  const browser = await chromium.launch({
    executablePath: process.env.ZEL_CHROMIUM || "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run"],
  });
  const context = await browser.newContext({ viewport: { width: 1100, height: 640 } });
  const page = await context.newPage();
  const events = { dialogs: [], foreignRequests: [], pageErrors: [], loads: 0 };
  let origin = null;
  page.on("dialog", (dialog) => {
    events.dialogs.push(dialog.message());
    dialog.dismiss().catch(() => {});
  });
  page.on("pageerror", (error) => events.pageErrors.push(String(error)));
  page.on("load", () => events.loads++);
  page.on("request", (request) => {
    const url = new URL(request.url());
    if (request.method() !== "GET" || (origin && url.origin !== origin)) {
      events.foreignRequests.push(request.method() + " " + request.url());
    }
  });

  const commands = {
    open: async (c) => {
      origin = new URL(c.url).origin;
      await page.goto(c.url);
    },
    // Polled from here: the page's own policy forbids it to evaluate strings.
    wait: async (c) => {
      const deadline = Date.now() + (c.ms || 10000);
      for (;;) {
        let last;
        try {
          if (await page.evaluate(c.js)) return;
        } catch (error) {
          last = error;
        }
        if (Date.now() >= deadline) {
          throw new Error("not true within " + (c.ms || 10000) + " ms" + (last ? ": " + last.message : ""));
        }
        await new Promise((resolve) => setTimeout(resolve, 100));
      }
    },
    eval: async (c) => page.evaluate(c.js),
    screenshot: async (c) => {
      await page.screenshot({ path: c.path, fullPage: !c.window });
    },
    resize: async (c) => page.setViewportSize({ width: c.width, height: c.height }),
    events: async () => events,
  };

  const lines = readline.createInterface({ input: process.stdin });
  for await (const line of lines) {
    let answer;
    try {
      const command = JSON.parse(line);
      const run = commands[command.do];
      if (!run) throw new Error("unknown command " + command.do);
      const value = await run(command);
      answer = { ok: true, value: value === undefined ? null : value };
    } catch (error) {
      answer = { ok: false, error: String(error && error.message ? error.message : error) };
    }
    process.stdout.write(JSON.stringify(answer) + "\n");
  }
  await browser.close();
}

main().catch((error) => {
  process.stderr.write("driver: " + (error && error.stack ? error.stack : error) + "\n");
  process.exit(1);
});
