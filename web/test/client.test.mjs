// SPDX-License-Identifier: MIT
// tokenbridge.js against the real daemon on a software token: the members each method sends,
// replies matched in order, rejection when the connection ends, and replies that cannot be matched.
// Runs under `node --experimental-websocket --test`, so the module uses Node's browser-like WebSocket.

import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { createServer } from "node:net";
import { BridgeError, connect } from "../tokenbridge.js";
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
