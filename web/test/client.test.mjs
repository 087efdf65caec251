// SPDX-License-Identifier: MIT
// tokenbridge.js against the real daemon on a software token: the members each method sends,
// replies matched in order, rejection when the connection ends, replies that cannot be matched, the
// token watch, time limits (also against small servers that never answer) and the browser's permission.
// Runs under `node --experimental-websocket --test`, so the module uses Node's browser-like WebSocket.

import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { createHash } from "node:crypto";
import { createServer as createHttpServer } from "node:http";
import { createServer } from "node:net";
import { BridgeError, connect, loopbackPermission } from "../tokenbridge.js";
import { SERVICE_URL, startService } from "./daemon.mjs";
import { expectedCipher, expectedDigest } from "./expected.mjs";

const SERIAL = "TB-CLIENT-000042";
const USER_PIN = "12345678";
const ADMIN_PIN = "admin12345";

let service;

before(async () => {
  service = await startService(["--serial", SERIAL, "--user-retries", "3"]);
});

after(async () => {
  await service?.stop();
});

function assertBridgeError(err, kind) {
  assert.ok(err instanceof BridgeError, `expected a BridgeError, got ${err}`);
  assert.equal(err.kind, kind, err.message);
  return true;
}

test("each method sends the members the service reads and resolves with its reply", async () => {
  const client = await connect(SERVICE_URL);
  const block = "00112233445566778899aabbccddeeff0011223344556677";
  // One PIN story, in order: each row depends on the token state the rows above left.
  const rows = [
    { name: "version", call: (c) => c.getLibVersion(), want: ["GetLibVersion", 0, "1.0.220104"] },
    { name: "monitor", call: (c) => c.startMonitor(), want: ["StartMonitor", 0, "true"] },
    { name: "token present", call: (c) => c.getDevState(), want: ["GetDevState", 0, "1"] },
    { name: "open", call: (c) => c.openDevice(), want: ["OpenDevice", 0, "TRUE"] },
    { name: "serial", call: (c) => c.getUserName(), want: ["GetUserName", 0, SERIAL] },
    { name: "close", call: (c) => c.closeDevice(), want: ["CloseDevice", 0, ""] },
    { name: "right PIN", call: (c) => c.verifyUserPin(USER_PIN), want: ["VerifyUserPin", 0, "1"] },
    { name: "wrong PIN", call: (c) => c.verifyUserPin("00000000"), want: ["VerifyUserPin", 1, "0"] },
    { name: "change, wrong old PIN", call: (c) => c.changeUserPin("99999999", "11112222"), want: ["ChangeUserPin", 1, "1"] },
    { name: "change", call: (c) => c.changeUserPin(USER_PIN, "11112222"), want: ["ChangeUserPin", 0, "-1"] },
    { name: "old PIN gone", call: (c) => c.verifyUserPin(USER_PIN), want: ["VerifyUserPin", 1, "0"] },
    { name: "new PIN works", call: (c) => c.verifyUserPin("11112222"), want: ["VerifyUserPin", 0, "1"] },
    { name: "wrong 1 of 3", call: (c) => c.verifyUserPin("00000000"), want: ["VerifyUserPin", 1, "0"] },
    { name: "wrong 2 of 3", call: (c) => c.verifyUserPin("00000000"), want: ["VerifyUserPin", 1, "0"] },
    { name: "wrong 3 of 3 locks", call: (c) => c.verifyUserPin("00000000"), want: ["VerifyUserPin", 1, "-1"] },
    { name: "locked refuses the right PIN", call: (c) => c.verifyUserPin("11112222"), want: ["VerifyUserPin", 1, "-1"] },
    { name: "unblock, wrong admin PIN", call: (c) => c.unblockUserPin("wrong-admin", "33334444"), want: ["UnblockUserPin", 1, "9"] },
    { name: "unblock", call: (c) => c.unblockUserPin(ADMIN_PIN, "33334444"), want: ["UnblockUserPin", 0, "-1"] },
    { name: "unblocked PIN works", call: (c) => c.verifyUserPin("33334444"), want: ["VerifyUserPin", 0, "1"] },
    { name: "digest", call: (c) => c.zpSha1("known text of 30 bytes, or so"), want: ["ZPSHA1", 0, expectedDigest("known text of 30 bytes, or so")] },
    { name: "cipher", call: (c) => c.zpCrypt(block), want: ["ZPCrypt", 0, expectedCipher(SERIAL, block)] },
    { name: "unknown type", call: (c) => c.call("NoSuchRequest"), want: ["NoSuchRequest", -1, "-1097"] },
  ];
  try {
    for (const { name, call, want } of rows) {
      const [type, code, data] = want;
      assert.deepEqual(await call(client), { type, code, data }, name);
    }
  } finally {
    client.close();
  }
});

test("many calls in flight each get their own reply, in order", async () => {
  const client = await connect(SERVICE_URL);
  try {
    // Digests of distinct texts tell the replies of one type apart; other types are mixed in between.
    const texts = Array.from({ length: 40 }, (_, i) => `in-flight text number ${i}`.slice(-15));
    const calls = texts.flatMap((text, i) => [
      client.zpSha1(text).then((reply) => ({ reply, want: { type: "ZPSHA1", code: 0, data: expectedDigest(text) } })),
      (i % 2 ? client.getDevState() : client.getLibVersion()).then((reply) => ({
        reply,
        want: i % 2 ? { type: "GetDevState", code: 0, data: "1" } : { type: "GetLibVersion", code: 0, data: "1.0.220104" },
      })),
    ]);
    assert.equal(client.pending, calls.length, "all calls were sent before any reply was taken");
    for (const [i, { reply, want }] of (await Promise.all(calls)).entries()) {
      assert.deepEqual(reply, want, `call ${i}`);
    }
    assert.equal(client.pending, 0);
  } finally {
    client.close();
  }
});

test("arguments the service cannot take are refused before anything is sent", async () => {
  const client = await connect(SERVICE_URL);
  const rows = [
    { name: "PIN not a string", call: (c) => c.verifyUserPin(12345678), error: TypeError },
    { name: "PIN with a NUL", call: (c) => c.verifyUserPin("1234\u00005678"), error: RangeError },
    { name: "missing new PIN", call: (c) => c.changeUserPin(USER_PIN), error: TypeError },
    { name: "short cipher block", call: (c) => c.zpCrypt("0011"), error: RangeError },
    { name: "cipher block not hex", call: (c) => c.zpCrypt("g".repeat(48)), error: RangeError },
    { name: "members not an object", call: (c) => c.call("GetLibVersion", "parm1"), error: TypeError },
  ];
  try {
    for (const { name, call, error } of rows) {
      await assert.rejects(call(client), error, name);
      assert.equal(client.pending, 0, name);
    }
    // Had any of them reached the service, its reply would now be taken for this call's.
    assert.deepEqual(await client.getLibVersion(), { type: "GetLibVersion", code: 0, data: "1.0.220104" });
  } finally {
    client.close();
  }
});

test("closing rejects every waiting call, and later calls at once", async () => {
  const client = await connect(SERVICE_URL);
  const calls = Array.from({ length: 30 }, () => client.getLibVersion());
  client.close();
  assert.equal(client.pending, 0);
  assert.equal(client.connected, false);
  const outcomes = await Promise.allSettled(calls);
  for (const outcome of outcomes) {
    assert.equal(outcome.status, "rejected");
    assertBridgeError(outcome.reason, "closed");
  }
  assertBridgeError(await client.closed, "closed");
  await assert.rejects(client.getDevState(), (err) => assertBridgeError(err, "not-connected"));
});

test("a reply that is not a {type, code, data} object rejects only its own call", async () => {
  const client = await connect(SERVICE_URL);
  try {
    // The service echoes an unknown type unescaped, so a quote in it breaks the reply's JSON.
    await assert.rejects(client.call('Get"Broken'), (err) => assertBridgeError(err, "bad-reply"));
    assert.deepEqual(await client.getDevState(), { type: "GetDevState", code: 0, data: "1" });
  } finally {
    client.close();
  }
});

test("a reply for another request type rejects its call and every later one", async () => {
  const client = await connect(SERVICE_URL);
  // The service reads a type only up to a NUL, so it answers this call as plain "GetLibVersion".
  const odd = client.call("GetLibVersion\u0000tail");
  const behind = client.getDevState();
  await assert.rejects(odd, (err) => assertBridgeError(err, "mismatch"));
  await assert.rejects(behind, (err) => assertBridgeError(err, "mismatch"));
  assertBridgeError(await client.closed, "mismatch");
  await assert.rejects(client.getLibVersion(), (err) => assertBridgeError(err, "not-connected"));
});

test("connecting where no service listens rejects with unreachable", async () => {
  // A port that was free a moment ago: bound, noted, released.
  const probe = createServer();
  await new Promise((done) => probe.listen(0, "127.0.0.1", done));
  const { port } = probe.address();
  await new Promise((done) => probe.close(done));
  await assert.rejects(connect(`ws://127.0.0.1:${port}`), (err) => assertBridgeError(err, "unreachable"));
});

// Collects what a watch reports; next() gives the reports one by one, waiting for one not yet taken.
function watchRecorder() {
  const seen = [];
  let taken = 0;
  return {
    seen,
    onChange: (status) => seen.push(status),
    async next(timeoutMs = 3000) {
      const deadline = Date.now() + timeoutMs;
      while (seen.length === taken && Date.now() < deadline) await new Promise((done) => setTimeout(done, 20));
      assert.ok(seen.length > taken, `no new report within ${timeoutMs} ms; reports so far: ${JSON.stringify(seen)}`);
      return seen[taken++];
    },
  };
}

test("watchToken reports presence at once and each unplug and plug, among the page's own calls", async () => {
  const requests = [];
  const client = await connect(SERVICE_URL, { onTraffic: (dir, text) => dir === "request" && requests.push(text) });
  const watch = watchRecorder();
  try {
    const stop = client.watchToken(watch.onChange, { intervalMs: 100 });
    assert.deepEqual(await watch.next(), { present: true });
    // The watch's questions share the queue: the page's calls in between still get their own replies.
    const texts = Array.from({ length: 20 }, (_, i) => `watched text ${i}`);
    const digests = await Promise.all(texts.map((t) => client.zpSha1(t)));
    assert.deepEqual(digests.map((r) => r.data), texts.map(expectedDigest));

    await service.softtoken("unplug");
    assert.deepEqual(await watch.next(), { present: false });
    await service.softtoken("plug");
    assert.deepEqual(await watch.next(), { present: true });
    assert.equal(watch.seen.length, 3, "a report without a change");

    stop();
    await new Promise((done) => setTimeout(done, 150)); // a question in flight may still be answered
    const asked = requests.length;
    await new Promise((done) => setTimeout(done, 350));
    assert.equal(requests.length, asked, "the watch asked again after it was stopped");
    assert.equal(watch.seen.length, 3, "the watch reported after it was stopped");
  } finally {
    await service.softtoken("plug");
    client.close();
  }
});

test("watchToken stops and reports the end when the connection ends", async () => {
  const client = await connect(SERVICE_URL);
  const watch = watchRecorder();
  client.watchToken(watch.onChange, { intervalMs: 60000 });
  assert.deepEqual(await watch.next(), { present: true });
  client.close(); // between two questions: only the end of the connection can tell the watch
  const end = await watch.next();
  assert.equal(end.present, null);
  assertBridgeError(end.error, "closed");
  await new Promise((done) => setTimeout(done, 100));
  assert.equal(watch.seen.length, 2, "reports after the end");
});

// Small servers that misbehave on purpose: one never answers the upgrade, one upgrades and then
// never answers a message. Each resolves with {url, close()}.
async function silentServer(kind) {
  const sockets = new Set();
  const server =
    kind === "no-upgrade"
      ? createServer(() => {})
      : createHttpServer().on("upgrade", (req, socket) => {
          const accept = createHash("sha1")
            .update(req.headers["sec-websocket-key"] + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")
            .digest("base64");
          socket.write(`HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
          socket.on("data", () => {}); // read everything, answer nothing
        });
  server.on("connection", (socket) => sockets.add(socket));
  await new Promise((done) => server.listen(0, "127.0.0.1", done));
  return {
    url: `ws://127.0.0.1:${server.address().port}`,
    close: () => {
      for (const socket of sockets) socket.destroy();
      return new Promise((done) => server.close(done));
    },
  };
}

// A server that upgrades, then answers the first message by closing with this status and reason,
// as the service does once the person at the computer has answered (or not).
async function closingServer(status, reason) {
  const server = createHttpServer().on("upgrade", (req, socket) => {
    const accept = createHash("sha1")
      .update(req.headers["sec-websocket-key"] + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")
      .digest("base64");
    socket.write(`HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
    socket.once("data", () => {
      const payload = Buffer.concat([Buffer.from([status >> 8, status & 0xff]), Buffer.from(reason)]);
      socket.end(Buffer.concat([Buffer.from([0x88, payload.length]), payload]));
    });
    socket.on("error", () => {});
  });
  await new Promise((done) => server.listen(0, "127.0.0.1", done));
  return { url: `ws://127.0.0.1:${server.address().port}`, close: () => new Promise((done) => server.close(done)) };
}

test("the service's answers from the person at the computer: 4403 is denied, 4408 timeout, 4429 busy, others closed", async () => {
  const rows = [
    [4403, "blocked by the user", "denied"],
    [4408, "no answer", "timeout"],
    [4429, "too many sites waiting", "busy"],
    [1011, "internal error", "closed"],
  ];
  for (const [status, reason, kind] of rows) {
    const server = await closingServer(status, reason);
    try {
      const client = await connect(server.url);
      const first = client.getLibVersion();
      const behind = client.getDevState();
      await assert.rejects(first, (err) => assertBridgeError(err, kind));
      await assert.rejects(behind, (err) => assertBridgeError(err, kind));
      const end = await client.closed;
      assertBridgeError(end, kind);
      if (kind !== "closed") assert.ok(end.message.includes(reason), end.message);
    } finally {
      await server.close();
    }
  }
});

test("time limits: connect and calls reject with timeout; without a limit nothing is rejected", async () => {
  const noUpgrade = await silentServer("no-upgrade");
  const mute = await silentServer("mute");
  try {
    const started = Date.now();
    await assert.rejects(connect(noUpgrade.url, { timeoutMs: 200 }), (err) => assertBridgeError(err, "timeout"));
    assert.ok(Date.now() - started < 2000, "connect waited far beyond its limit");

    const client = await connect(mute.url, { timeoutMs: 200 });
    const first = client.getLibVersion();
    const behind = [client.getDevState(), client.zpSha1("queued behind")];
    await assert.rejects(first, (err) => assertBridgeError(err, "timeout"));
    for (const outcome of await Promise.allSettled(behind)) {
      assert.equal(outcome.status, "rejected");
      assertBridgeError(outcome.reason, "closed");
    }
    assertBridgeError(await client.closed, "closed");
    await assert.rejects(client.getLibVersion(), (err) => assertBridgeError(err, "not-connected"));

    // The default stays as before: no limit.
    const patient = await connect(mute.url);
    const waiting = patient.getLibVersion();
    await new Promise((done) => setTimeout(done, 400));
    assert.equal(patient.pending, 1);
    patient.close();
    await assert.rejects(waiting, (err) => assertBridgeError(err, "closed"));

    for (const timeoutMs of [0, -5, Number.NaN, "100"]) {
      await assert.rejects(connect(mute.url, { timeoutMs }), RangeError, `timeoutMs ${String(timeoutMs)}`);
    }
  } finally {
    await noUpgrade.close();
    await mute.close();
  }
});

test("after a call times out, no late reply is given to a later call", async () => {
  const client = await connect(SERVICE_URL, { timeoutMs: 300 });
  assert.equal((await client.getLibVersion()).code, 0);
  // Frozen, the service takes the requests and answers them all once it runs again: too late.
  service.signal("SIGSTOP");
  let late;
  try {
    const overdue = client.zpSha1("answered late");
    const behind = client.getDevState();
    await assert.rejects(overdue, (err) => assertBridgeError(err, "timeout"));
    await assert.rejects(behind, (err) => assertBridgeError(err, "closed"));
    late = client.getLibVersion();
  } finally {
    service.signal("SIGCONT");
  }
  await assert.rejects(late, (err) => assertBridgeError(err, "not-connected"));
  // A new connection is answered in order again.
  const fresh = await connect(SERVICE_URL, { timeoutMs: 2000 });
  try {
    assert.deepEqual(await fresh.zpSha1("fresh"), { type: "ZPSHA1", code: 0, data: expectedDigest("fresh") });
    assert.deepEqual(await fresh.getDevState(), { type: "GetDevState", code: 0, data: "1" });
  } finally {
    fresh.close();
  }
});

test("a failed connection is 'blocked' only when the browser's permission is denied", async (t) => {
  const probe = createServer();
  await new Promise((done) => probe.listen(0, "127.0.0.1", done));
  const deadUrl = `ws://127.0.0.1:${probe.address().port}`;
  await new Promise((done) => probe.close(done));

  // What navigator.permissions.query answers per name: a state, or "throws" for a name it does not know.
  const rows = [
    { name: "current name denied", answers: { "loopback-network": "denied" }, state: "denied", kind: "blocked" },
    { name: "older name denied", answers: { "loopback-network": "throws", "local-network-access": "denied" }, state: "denied", kind: "blocked" },
    { name: "granted", answers: { "loopback-network": "granted" }, state: "granted", kind: "unreachable" },
    { name: "would prompt", answers: { "loopback-network": "prompt" }, state: "prompt", kind: "unreachable" },
    { name: "neither name known", answers: { "loopback-network": "throws", "local-network-access": "throws" }, state: "unsupported", kind: "unreachable" },
    { name: "no permissions API", answers: null, state: "unsupported", kind: "unreachable" },
  ];
  const saved = Object.getOwnPropertyDescriptor(globalThis, "navigator");
  t.after(() => (saved ? Object.defineProperty(globalThis, "navigator", saved) : delete globalThis.navigator));
  for (const { name, answers, state, kind } of rows) {
    const permissions = answers && {
      query: async ({ name: asked }) => {
        const answer = answers[asked] ?? "throws";
        if (answer === "throws") throw new TypeError(`unknown permission ${asked}`);
        return { state: answer };
      },
    };
    Object.defineProperty(globalThis, "navigator", { value: { permissions }, configurable: true, writable: true });
    assert.equal(await loopbackPermission(), state, name);
    await assert.rejects(connect(deadUrl), (err) => {
      assertBridgeError(err, kind);
      if (kind === "blocked") assert.match(err.message, /allow this site/, name);
      return true;
    }, name);
  }
});

// Last: it ends the daemon this file started.
test("the service going away rejects the calls still waiting", async () => {
  const client = await connect(SERVICE_URL);
  assert.equal((await client.getLibVersion()).code, 0);
  service.signal("SIGSTOP"); // frozen: it accepts the bytes but answers nothing
  const calls = [client.getDevState(), client.zpSha1("never answered"), client.getLibVersion()];
  await new Promise((done) => setTimeout(done, 100));
  assert.equal(client.pending, calls.length, "a frozen service answered");
  service.signal("SIGKILL");
  for (const outcome of await Promise.allSettled(calls)) {
    assert.equal(outcome.status, "rejected");
    assertBridgeError(outcome.reason, "closed");
  }
  assertBridgeError(await client.closed, "closed");
});
