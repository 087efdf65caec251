// SPDX-License-Identifier: MIT
// The demo page in headless Chromium against the real daemon on a software token, checked by what a
// person sees on a phone-sized window: also the token's status following plug and unplug by itself,
// a page the browser blocks from reaching the service, links naming another service address, and the
// page server facing a malformed request. Leaves one screenshot in the artifact folder.

import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { mkdir } from "node:fs/promises";
import { join } from "node:path";
import { chromium } from "playwright-core";
import { serveWeb } from "../serve.mjs";
import { CHROMIUM_FLAGS, findChromium } from "./chromium.mjs";
import { artifactDir, startService } from "./daemon.mjs";
import { expectedCipher, expectedDigest } from "./expected.mjs";

const SERIAL = "TB-DEMO-20240001";
const PHONE = { width: 390, height: 844 };

let service;
let web;
let browser;
let page;
const pageErrors = [];

before(async () => {
  const executablePath = findChromium();
  service = await startService(["--serial", SERIAL]);
  web = await serveWeb(0);
  browser = await chromium.launch({ executablePath, headless: true, args: CHROMIUM_FLAGS });
  page = await browser.newPage({ viewport: PHONE });
  page.on("pageerror", (err) => pageErrors.push(err.message));
  await page.goto(`${web.url}/demo/`);
});

// The run's one screenshot: taken by the last test while the page still shows a working service,
// or at the end if a test failed before.
let screenshotTaken = false;
async function screenshot() {
  await mkdir(artifactDir, { recursive: true });
  await page.screenshot({ path: join(artifactDir, "demo-page.png"), fullPage: true });
  screenshotTaken = true;
}

after(async () => {
  if (page && !screenshotTaken) await screenshot();
  await browser?.close();
  await web?.close();
  await service?.stop();
});

// Waits until the element's visible text matches, then returns it; fails with the text last seen.
async function shows(selector, pattern, timeoutMs = 5000, on = page) {
  const element = on.locator(selector);
  const deadline = Date.now() + timeoutMs;
  let text = "";
  for (;;) {
    text = (await element.isVisible()) ? await element.innerText() : "(not visible)";
    if (pattern.test(text) || Date.now() > deadline) break;
    await new Promise((done) => setTimeout(done, 50));
  }
  assert.match(text, pattern, `${selector} shows "${text}"`);
  return text;
}

async function submit(formSelector, fields, buttonName) {
  const form = page.locator(formSelector);
  for (const [label, value] of Object.entries(fields)) {
    await form.getByLabel(label, { exact: true }).fill(value);
  }
  await form.getByRole("button", { name: buttonName }).click();
}

test("on opening, the page shows the service reachable and the token present with its serial", async () => {
  await shows("#service-state", /^reachable \(version 1\.0\.220104\)$/);
  await shows("#token-state", /^present$/);
  await shows("#serial", new RegExp(`^${SERIAL}$`));
  // Its messages went to the log meanwhile; the window still shows the top, where the status is.
  assert.equal(await page.evaluate(() => window.scrollY), 0, "the page opened scrolled away from its top");
});

test("the page server answers 400 to a malformed escape and goes on serving", async () => {
  for (const path of ["/%E0%A4%A", "/demo/%", "/%ZZ"]) {
    const reply = await fetch(`${web.url}${path}`);
    assert.equal(reply.status, 400, path);
    assert.equal((await fetch(`${web.url}/demo/`)).status, 200, `after ${path}`);
  }
});

test("the page fits a phone-sized window without sideways scrolling", async () => {
  const widths = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
  assert.ok(widths[0] <= widths[1], `page is ${widths[0]} px wide in a ${widths[1]} px window`);
});

test("a wrong current PIN in the change form shows the tries left", async () => {
  await submit("#change-form", { "Current PIN": "99999999", "New PIN": "11112222" }, "Change PIN");
  await shows("#change-result", /tries left: 5\b/);
  // The token's answer is the same for a new PIN it does not take: the page claims neither.
  await shows("#change-result", /^PIN not changed: wrong current PIN, or a new PIN the token does not accept \(tries left: 5\)\.$/);
});

test("after a button the window stays where the person looks; only the log scrolls", async () => {
  const form = page.locator("#digest-form");
  await form.scrollIntoViewIfNeeded();
  const before = await page.evaluate(() => window.scrollY);
  await submit("#digest-form", { Text: "stay here" }, "Compute digest");
  await shows("#digest-result", /^[0-9A-F]{40}$/);
  assert.equal(await page.evaluate(() => window.scrollY), before, "the window moved after the button");
  const log = await page.evaluate(() => {
    const element = document.getElementById("log");
    return { top: element.scrollTop, height: element.scrollHeight, visible: element.clientHeight };
  });
  assert.ok(log.height > log.visible, `the log does not overflow yet (${JSON.stringify(log)})`);
  assert.ok(log.top + log.visible >= log.height - 1, `the log's newest line is not in view (${JSON.stringify(log)})`);
});

test("a wrong PIN in the verify form is refused, the right one accepted", async () => {
  await submit("#verify-form", { PIN: "00000000" }, "Verify PIN");
  await shows("#verify-result", /^Wrong PIN\b/);
  await submit("#verify-form", { PIN: "12345678" }, "Verify PIN");
  await shows("#verify-result", /^PIN accepted\.$/);
});

test("wrong PINs lock the PIN, and the administrator PIN unblocks it", async () => {
  // The right PIN above gave all six tries back.
  for (let attempt = 1; attempt <= 6; attempt++) {
    await submit("#verify-form", { PIN: "00000000" }, "Verify PIN");
    await shows("#verify-result", attempt < 6 ? /^Wrong PIN\b/ : /^PIN locked\b/);
  }
  await submit("#verify-form", { PIN: "12345678" }, "Verify PIN");
  await shows("#verify-result", /^PIN locked\b/);
  await submit("#unblock-form", { "Administrator PIN": "admin00000", "New PIN": "24681357" }, "Unblock PIN");
  await shows("#unblock-result", /administrator PIN: tries left: 9\b/);
  await submit("#unblock-form", { "Administrator PIN": "admin12345", "New PIN": "24681357" }, "Unblock PIN");
  await shows("#unblock-result", /^PIN unblocked\b/);
  await submit("#verify-form", { PIN: "24681357" }, "Verify PIN");
  await shows("#verify-result", /^PIN accepted\.$/);
});

test("the digest of a known text is the SHA-1 of its first 15 bytes", async () => {
  const text = "The quick brown fox jumps over the lazy dog";
  await submit("#digest-form", { Text: text }, "Compute digest");
  await shows("#digest-result", new RegExp(`^${expectedDigest(text)}$`));
});

test("the cipher form enciphers its 24 bytes under the token's key", async () => {
  const block = await page.locator("#cipher-input").inputValue();
  await page.locator("#cipher-form").getByRole("button", { name: "Encipher" }).click();
  await shows("#cipher-result", new RegExp(`^${expectedCipher(SERIAL, block)}$`));
});

test("the log shows the raw requests and replies, with every PIN masked", async () => {
  const log = await page.locator("#log").innerText();
  assert.ok(log.includes('→ {"type":"VerifyUserPin","parm2":"••••"}'), log);
  assert.ok(log.includes('→ {"type":"ChangeUserPin","parm1":"••••","parm2":"••••"}'), log);
  assert.ok(log.includes('→ {"type":"UnblockUserPin","parm1":"••••","parm2":"••••"}'), log);
  assert.ok(log.includes('← {"type":"VerifyUserPin", "code":"0", "data":"1"}'), log);
  assert.ok(log.includes('→ {"type":"ZPSHA1","parm1":"The quick brown fox jumps over the lazy dog"}'), log);
  // Every PIN the tests above typed.
  for (const pin of ["12345678", "00000000", "99999999", "11112222", "admin00000", "admin12345", "24681357"]) {
    assert.ok(!log.includes(pin), `the log shows the PIN ${pin}`);
  }
});

test("the token's status follows unplug and plug within about a second, without a click", async () => {
  await service.softtoken("unplug");
  await shows("#token-state", /^no token\b/, 2500);
  await shows("#serial", /^–$/);
  await service.softtoken("plug");
  await shows("#token-state", /^present$/, 2500);
  await shows("#serial", new RegExp(`^${SERIAL}$`));
});

test("a page the browser treats as public is blocked unless the site is allowed", async () => {
  // Chromium takes the page's server for a public address, so its connection to the loopback service
  // needs the site's permission; headless, nobody answers the prompt, which leaves it denied.
  const port = new URL(web.url).port;
  const executablePath = findChromium();
  const publicBrowser = await chromium.launch({
    executablePath,
    headless: true,
    args: [...CHROMIUM_FLAGS, `--ip-address-space-overrides=127.0.0.1:${port}=public`],
  });
  const rows = [
    { name: "not allowed", grant: [], service: /^blocked by the browser\b/, permission: /^denied\b/ },
    { name: "allowed", grant: ["local-network-access"], service: /^reachable\b/, permission: /^allowed$/ },
  ];
  try {
    for (const { name, grant, service: serviceText, permission } of rows) {
      const context = await publicBrowser.newContext({ viewport: PHONE });
      await context.grantPermissions(grant);
      const publicPage = await context.newPage();
      await publicPage.goto(`${web.url}/demo/`);
      const named = (err) => {
        err.message = `${name}: ${err.message}`;
        throw err;
      };
      await shows("#service-state", serviceText, 5000, publicPage).catch(named);
      await shows("#permission-state", permission, 5000, publicPage).catch(named);
      await context.close();
    }
  } finally {
    await publicBrowser.close();
  }
});

test("a link's ?service= address is used only when it is on this computer", async () => {
  const rows = [
    { link: "ws://192.0.2.7:9446", used: "ws://127.0.0.1:9446" },
    { link: "ws://tokens.example:9446", used: "ws://127.0.0.1:9446" },
    { link: "ws://127.0.0.1.tokens.example:9446", used: "ws://127.0.0.1:9446" },
    { link: "ws://127.0.0.1@tokens.example:9446", used: "ws://127.0.0.1:9446" },
    { link: "http://127.0.0.1:9446", used: "ws://127.0.0.1:9446" },
    // The service also listens on the IPv6 loopback.
    { link: "ws://[::1]:9446", used: "ws://[::1]:9446/" },
    { link: "ws://127.1:9446", used: "ws://127.0.0.1:9446/" },
  ];
  for (const { link, used } of rows) {
    const linked = await browser.newPage({ viewport: PHONE });
    const opened = [];
    linked.on("websocket", (socket) => opened.push(socket.url()));
    await linked.goto(`${web.url}/demo/?service=${encodeURIComponent(link)}`);
    try {
      await shows("#service-state", /^reachable\b/, 5000, linked);
      assert.equal(await linked.locator("#service-url").inputValue(), used, link);
      assert.deepEqual([...new Set(opened)], [used.endsWith("/") ? used : `${used}/`], link);
    } finally {
      await linked.close();
    }
  }
});

test("a restarted service is found again within a few seconds, without a click", async () => {
  await service.stop();
  await shows("#service-state", /^(connection lost|not reachable)\b/, 3000);
  service = await startService(["--serial", SERIAL]);
  await shows("#service-state", /^reachable\b/, 4000);
  await shows("#token-state", /^present$/, 3000);
  await shows("#serial", new RegExp(`^${SERIAL}$`), 3000);
});

test("after the token is unplugged, the next check shows no token", async () => {
  await service.softtoken("unplug");
  await page.getByRole("button", { name: "Check token" }).click();
  await shows("#token-state", /^no token\b/);
  await shows("#serial", /^–$/);
  await submit("#digest-form", { Text: "anything" }, "Compute digest");
  await shows("#digest-result", /^No token\b/);
});

test("after the service stops, the page says it is not reachable", async () => {
  await screenshot();
  await service.stop();
  service = null;
  await page.getByRole("button", { name: "Check token" }).click();
  await shows("#service-state", /^not reachable at ws:\/\/127\.0\.0\.1:9446\b/);
  // This page is on the same computer as the service, so the browser stands aside.
  await shows("#permission-state", /^(allowed|not decided|not asked by this browser)/);
  assert.deepEqual(pageErrors, [], "script errors on the page");
});
