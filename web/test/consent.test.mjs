// SPDX-License-Identifier: MIT
// A page in headless Chromium whose site nobody listed, while its user runs an agent: the test is
// that agent (it speaks the agent protocol on the daemon's agent socket), and the page's first call
// waits for its answer. Block reaches the page as kind "denied"; Allow lets the call through.

import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { mkdir } from "node:fs/promises";
import { createConnection } from "node:net";
import { join } from "node:path";
import { chromium } from "playwright-core";
import { serveWeb } from "../serve.mjs";
import { CHROMIUM_FLAGS, findChromium } from "./chromium.mjs";
import { artifactDir, startService } from "./daemon.mjs";

let service;
let sites;
let browser;
let agent;
// The agent's side of the socket: lines in, one JSON object each.
function connectAgent(path) {
  const socket = createConnection(path);
  const lines = [];
  const waiting = [];
  let buffered = "";
  socket.setEncoding("utf8");
  socket.on("data", (chunk) => {
    buffered += chunk;
    for (let end = buffered.indexOf("\n"); end >= 0; end = buffered.indexOf("\n")) {
      const line = JSON.parse(buffered.slice(0, end));
      buffered = buffered.slice(end + 1);
      if (waiting.length > 0) waiting.shift()(line);
      else lines.push(line);
    }
  });
  return new Promise((ready, fail) => {
    socket.once("error", fail);
    socket.once("connect", () =>
      ready({
        next: () => (lines.length > 0 ? Promise.resolve(lines.shift()) : new Promise((got) => waiting.push(got))),
        answer: (id, decision, remember = false) => socket.write(`${JSON.stringify({ answer: id, decision, remember })}\n`),
        close: () => socket.destroy(),
      }),
    );
  });
}

// The service asking its agent, with `timeout` seconds for an answer.
async function startAsking(timeout) {
  service = await startService([], (dir) =>
    `listen = 127.0.0.1\nconsent-timeout = ${timeout}\nconsent-dir = ${join(dir, "consent")}\n` +
    `agent-socket = ${join(dir, "agent.sock")}\n`);
  agent = await connectAgent(join(service.workDir, "agent.sock"));
}

before(async () => {
  await startAsking(30);
  // Origins differ by port: one on screen, four waiting and one more fill a person's queue.
  sites = [];
  for (let i = 0; i < 7; i++) sites.push(await serveWeb(0));
  browser = await chromium.launch({ executablePath: findChromium(), headless: true, args: CHROMIUM_FLAGS });
});

after(async () => {
  agent?.close();
  await browser?.close();
  for (const site of sites ?? []) await site.close();
  await service?.stop();
});

// A page of the site (a plain text page: nothing of its own connects) connects and makes one call;
// resolves with what it saw: the reply's code, or the error's kind.
async function pageCall(site) {
  const page = await browser.newPage();
  try {
    await page.goto(`${site.url}/nothing-here`);
    return await page.evaluate(async () => {
      const { connect } = await import("/tokenbridge.js");
      try {
        const client = await connect();
        const reply = await client.getLibVersion();
        return `reply ${reply.code}`;
      } catch (err) {
        return `error ${err.kind}`;
      }
    });
  } finally {
    await page.close();
  }
}

test("the person's answer reaches the page: Allow as the reply, Block as kind denied", async () => {
  const rows = [
    { site: sites[0], decision: "allow", seen: "reply 0" },
    { site: sites[1], decision: "block", seen: "error denied" },
  ];
  for (const { site, decision, seen } of rows) {
    const call = pageCall(site);
    const asked = await agent.next();
    assert.equal(asked.origin, site.url, "the agent is shown the page's Origin");
    agent.answer(asked.ask, decision);
    assert.equal(await call, seen, decision);
  }
  // After a Block the site is not asked about again for a while, and its next page is told why.
  assert.equal(await pageCall(sites[1]), "error denied");
});

test("a remembered Block and a full queue reach the page as their own kinds, never as a missing service", async () => {
  const blocked = pageCall(sites[2]);
  const asked = await agent.next();
  agent.answer(asked.ask, "block", true);
  assert.equal(await blocked, "error denied");
  assert.equal(await pageCall(sites[2]), "error denied", "remembered Block");

  // One question on screen and four sites waiting: a sixth site is told the queue is full.
  const waiting = [3, 4, 5, 6].map((i) => pageCall(sites[i]));
  const onScreen = await agent.next();
  const more = pageCall(sites[0]);  // allowed once above, so asked again: the fifth origin waiting
  assert.equal(await pageCall(sites[1]), "error denied", "quiet after the Block above, whatever the queue");
  const full = await serveWeb(0);
  try {
    assert.equal(await pageCall(full), "error busy");
  } finally {
    await full.close();
  }
  // Clear the queue: each answer asks the next.
  agent.answer(onScreen.ask, "allow");
  for (let i = 0; i < 4; i++) agent.answer((await agent.next()).ask, "allow");
  assert.deepEqual(await Promise.all([...waiting, more]), Array(5).fill("reply 0"));
});

test("the demo page says it waits for the desktop, then the person's Block in plain words", async () => {
  const site = await serveWeb(0);
  const page = await browser.newPage({ viewport: { width: 390, height: 844 } });
  try {
    await page.goto(`${site.url}/demo/`);
    const asked = await agent.next();
    assert.equal(asked.origin, site.url);
    const status = page.locator("#service-state");
    await page.waitForFunction(() => /^waiting: this site may need an answer on this computer's screen/.test(
      document.getElementById("service-state").textContent), null, { timeout: 3000 });
    agent.answer(asked.ask, "block");
    await page.waitForFunction(() => /^You chose Block for this site on this computer/.test(
      document.getElementById("service-state").textContent), null, { timeout: 3000 });
    assert.equal(await page.evaluate(() => window.scrollY), 0, "the window left the status");
    await mkdir(artifactDir, { recursive: true });
    await page.screenshot({ path: join(artifactDir, "demo-after-block.png") });
    // A refusal by the person is not retried behind their back.
    await new Promise((done) => setTimeout(done, 1500));
    assert.match(await status.innerText(), /^You chose Block\b/);
  } finally {
    await page.close();
    await site.close();
  }
});

test("no answer in time reaches the page as timeout, and so does its next page for a while", async () => {
  agent.close();
  await service.stop();
  await startAsking(2);
  const page = pageCall(sites[0]);
  await agent.next();  // asked, and nobody answers
  assert.equal(await page, "error timeout");
  assert.deepEqual(await agent.next(), { withdraw: "1" });
  assert.equal(await pageCall(sites[0]), "error timeout");
});
