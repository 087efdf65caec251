// SPDX-License-Identifier: MIT
// A page in headless Chromium whose site nobody listed, while its user runs an agent: the test is
// that agent (it speaks the agent protocol on the daemon's agent socket), and the page's first call
// waits for its answer. Block reaches the page as kind "denied"; Allow lets the call through.

import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { createConnection } from "node:net";
import { join } from "node:path";
import { chromium } from "playwright-core";
import { serveWeb } from "../serve.mjs";
import { CHROMIUM_FLAGS, findChromium } from "./chromium.mjs";
import { startService } from "./daemon.mjs";

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
        answer: (id, decision) => socket.write(`${JSON.stringify({ answer: id, decision, remember: false })}\n`),
        close: () => socket.destroy(),
      }),
    );
  });
}

before(async () => {
  service = await startService([], (dir) =>
    `listen = 127.0.0.1\nconsent-timeout = 30\nconsent-dir = ${join(dir, "consent")}\n` +
    `agent-socket = ${join(dir, "agent.sock")}\n`);
  agent = await connectAgent(join(service.workDir, "agent.sock"));
  sites = [await serveWeb(0), await serveWeb(0)];  // two origins: the ports differ
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
  // After a Block the site is not asked about again for a while: its next page is refused at once,
  // which a page cannot tell from no service at all.
  assert.equal(await pageCall(sites[1]), "error unreachable");
});
