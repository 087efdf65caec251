// SPDX-License-Identifier: MIT
// The demo page's behaviour: turns each form into one or two service calls and each reply into a
// sentence a person understands; every raw message goes to the log, PINs masked. The token's status
// follows plugging and unplugging by itself through a watch on the connection, and a service that
// went away is looked for again every second until it is back.

import { connect, DEFAULT_URL, loopbackPermission } from "../tokenbridge.js";

const byId = (id) => document.getElementById(id);
const LOG_LIMIT = 300;
const RECONNECT_MS = 1000;
// The first reply of a site the service does not list waits for the person at the screen: after
// this long without one, the page says where to look.
const DESKTOP_QUESTION_HINT_MS = 1000;

let client = null;
let connecting = null;

// ---- what the person sees

function setState(id, state, text) {
  const el = byId(id);
  el.dataset.state = state;
  el.textContent = text;
}

function logLine(kind, text) {
  const log = byId("log");
  const item = document.createElement("li");
  item.className = kind;
  const arrow = { request: "→ ", reply: "← ", note: "• " }[kind];
  item.textContent = `${new Date().toLocaleTimeString()} ${arrow}${text}`;
  log.append(item);
  while (log.children.length > LOG_LIMIT) log.firstElementChild.remove();
  // Only the log scrolls: the window stays on the result or the status the person is reading.
  log.scrollTop = log.scrollHeight;
}

// Requests that carry PINs, and the members holding them: the log shows a mask instead, so a PIN
// never stays on the screen (or in a screenshot of it).
const PIN_MEMBERS = {
  VerifyUserPin: ["parm2"],
  ChangeUserPin: ["parm1", "parm2"],
  UnblockUserPin: ["parm1", "parm2"],
};
const PIN_MASK = "••••";

function withPinsMasked(text) {
  let request;
  try {
    request = JSON.parse(text);
  } catch {
    return text;
  }
  const members = PIN_MEMBERS[request?.type];
  if (!members) return text;
  for (const name of members) if (name in request) request[name] = PIN_MASK;
  return JSON.stringify(request);
}

// The watch asks for the token's state every second; its messages would bury the others unless asked for.
function isStatusQuestion(text) {
  return /^\{"type": ?"GetDevState"/.test(text);
}

function logTraffic(direction, text) {
  if (isStatusQuestion(text) && !byId("log-polls").checked) return;
  logLine(direction, direction === "request" ? withPinsMasked(text) : text);
}

const PERMISSION_TEXT = {
  granted: ["ok", "allowed"],
  prompt: ["unknown", "not decided (the browser asks when a public site connects)"],
  denied: ["bad", "denied: allow this site to access apps on this computer in the site's settings"],
  unsupported: ["ok", "not asked by this browser"],
};

async function showPermission() {
  const answer = await loopbackPermission();
  setState("permission-state", ...PERMISSION_TEXT[answer]);
  return answer;
}

// ---- the connection

function serviceUrl() {
  return byId("service-url").value.trim() || DEFAULT_URL;
}

// The open client, connecting first when there is none (e.g. after the service was restarted).
async function ensureClient() {
  if (client?.connected && client.url === serviceUrl()) return client;
  if (connecting) return connecting;
  client?.close();
  client = null;
  connecting = openClient(serviceUrl()).finally(() => (connecting = null));
  return connecting;
}

// What the person is told when the connection could not be made or was ended, by the error's kind.
// A decision of the person at this computer is said as such, never as a missing service.
function whyNotConnected(err, url) {
  switch (err.kind) {
    case "blocked":
      return "blocked by the browser: allow this site to access apps on this computer (site settings), or ask your administrator";
    case "denied":
      return "You chose Block for this site on this computer. Reload in a minute to be asked again; an \u201cAlways block\u201d is undone with tokenbridge-agent --forget.";
    case "timeout":
      return "Nobody answered the question on this computer's screen. Reload the page to be asked again.";
    case "busy":
      return "Other sites are waiting for an answer on this computer's screen. Try again in a minute.";
    default:
      return `not reachable at ${url}: is tokenbridged running?`;
  }
}

// A refusal by the person stands until they change it: the page does not ask again by itself.
const PERSON_DECIDED = new Set(["denied", "timeout", "busy"]);
let reconnectTimer = null;

function reconnectSoon() {
  if (reconnectTimer) return;
  reconnectTimer = setTimeout(() => {
    reconnectTimer = null;
    ensureClient().catch(() => {});
  }, RECONNECT_MS);
}

async function openClient(url) {
  const hint = setTimeout(
    () => setState("service-state", "busy", "waiting: this site may need an answer on this computer's screen (a tokenbridge question)"),
    DESKTOP_QUESTION_HINT_MS,
  );
  try {
    const opened = await connect(url, { onTraffic: logTraffic });
    const version = await opened.getLibVersion();
    client = opened;
    setState("service-state", "ok", `reachable (version ${version.data})`);
    opened.watchToken(onTokenStatus);
    opened.closed.then((why) => {
      logLine("note", why.message);
      if (client !== opened) return;
      client = null;
      setState("token-state", "unknown", "unknown");
      if (PERSON_DECIDED.has(why.kind)) {
        setState("service-state", "bad", whyNotConnected(why, url));
        return;
      }
      setState("service-state", "bad", "connection lost: connecting again…");
      reconnectSoon();
    });
    return opened;
  } catch (err) {
    logLine("note", err.message);
    setState("service-state", "bad", whyNotConnected(err, url));
    setState("token-state", "unknown", "unknown");
    byId("serial").textContent = "–";
    // A service that is not running yet (or restarting) is looked for again; a refusal is not.
    if (err.kind === "unreachable" || err.kind === "closed") reconnectSoon();
    throw err;
  } finally {
    clearTimeout(hint);
    showPermission();
  }
}

// The watch's reports: presence changes arrive without a click.
function onTokenStatus({ present }) {
  if (present === null) return; // the connection ended; its own handler says so
  if (present) {
    setState("token-state", "ok", "present");
    readSerial().catch(() => {});
  } else {
    setState("token-state", "bad", "no token: plug it in");
    byId("serial").textContent = "–";
  }
}

async function readSerial() {
  const c = await ensureClient();
  const name = await c.getUserName();
  byId("serial").textContent = name.code === 0 ? name.data : "cannot be read";
  // Reading the serial leaves the token connected; close it so the token is left as found.
  await c.closeDevice();
}

// Asks whether a token is present and reads its serial number; resolves with true when present.
async function checkToken() {
  const c = await ensureClient();
  const state = await c.getDevState();
  if (state.code !== 0) {
    setState("token-state", "bad", "no token: plug it in");
    byId("serial").textContent = "–";
    return false;
  }
  setState("token-state", "ok", "present");
  await readSerial();
  return true;
}

// A refusal that also comes when no token is there: tell the two apart with a presence check.
async function refusal(whenPresent) {
  return (await checkToken()) ? whenPresent : "No token: plug in the token and try again.";
}

function serviceError(reply) {
  return `The service could not handle the request (code ${reply.code}, ${reply.data}).`;
}

// ---- the forms

async function onVerify(pin) {
  const reply = await (await ensureClient()).verifyUserPin(pin);
  if (reply.code === 0) return ["ok", "PIN accepted."];
  if (reply.code !== 1) return ["bad", serviceError(reply)];
  if (reply.data === "-1") return ["bad", "PIN locked: no tries left. Unblock it below with the administrator PIN."];
  return ["bad", await refusal("Wrong PIN. (The token tells how many tries are left only when changing the PIN.)")];
}

// Change and unblock answer "-1" for "done" and for "no token", and the tries left when refused.
// `refused(tries)` says a refusal with tries left.
async function triesOutcome(reply, done, refused, lockedText) {
  if (reply.code === 0) return ["ok", done];
  if (reply.code !== 1) return ["bad", serviceError(reply)];
  const tries = Number(reply.data);
  if (tries < 0) return ["bad", await refusal("The token refused the request.")];
  if (tries === 0) return ["bad", lockedText];
  return ["bad", refused(tries)];
}

async function onChange(oldPin, newPin) {
  const reply = await (await ensureClient()).changeUserPin(oldPin, newPin);
  // The token gives one answer for a wrong current PIN and for a new PIN it does not take.
  return triesOutcome(reply, "PIN changed. Use the new PIN from now on.",
    (tries) => `PIN not changed: wrong current PIN, or a new PIN the token does not accept (tries left: ${tries}).`,
    "PIN not changed: the current PIN is now locked.");
}

async function onUnblock(adminPin, newPin) {
  const reply = await (await ensureClient()).unblockUserPin(adminPin, newPin);
  return triesOutcome(reply, "PIN unblocked and set to the new PIN.",
    (tries) => `Wrong administrator PIN: tries left: ${tries}.`, "Wrong administrator PIN: it is now locked.");
}

async function onDigest(text) {
  const reply = await (await ensureClient()).zpSha1(text);
  if (reply.code === 0) return ["ok", reply.data];
  return ["bad", reply.code === 1 ? await refusal("The token refused the request.") : serviceError(reply)];
}

async function onCipher(hex) {
  const reply = await (await ensureClient()).zpCrypt(hex);
  if (reply.code === 0) return ["ok", reply.data];
  return ["bad", reply.code === 1 ? await refusal("The token refused the request.") : serviceError(reply)];
}

// Runs one form's action with its button disabled and puts the outcome into its result line.
function bindForm(formId, resultId, action, fieldIds) {
  const form = byId(formId);
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const button = form.querySelector("button[type=submit]");
    button.disabled = true;
    setState(resultId, "busy", "working…");
    try {
      const [state, text] = await action(...fieldIds.map((id) => byId(id).value));
      setState(resultId, state, text);
    } catch (err) {
      setState(resultId, "bad", err.kind ? `No answer from the service: ${err.message}` : err.message);
    } finally {
      button.disabled = false;
    }
  });
}

// A link may name the service's address (?service=ws://127.0.0.1:9447), but only one on this
// computer: otherwise a crafted link would send the PINs typed here to another server. The URL parser
// has already turned "127.1" or "0x7f.0.0.1" into 127.0.0.1 and put an IPv6 host in brackets.
function loopbackServiceUrl(text) {
  let url;
  try {
    url = new URL(text);
  } catch {
    return null;
  }
  const loopback = url.hostname === "[::1]" || /^127\.\d+\.\d+\.\d+$/.test(url.hostname);
  const websocket = url.protocol === "ws:" || url.protocol === "wss:";
  return loopback && websocket && !url.username && !url.password ? url.href : null;
}

function start() {
  const fromQuery = new URLSearchParams(location.search).get("service");
  const accepted = fromQuery && loopbackServiceUrl(fromQuery);
  if (fromQuery && !accepted) {
    logLine("note", `ignored the link's service address ${fromQuery}: only one on this computer is used`);
  }
  byId("service-url").value = accepted || DEFAULT_URL;
  byId("address-form").addEventListener("submit", (event) => {
    event.preventDefault();
    checkToken().catch(() => {});
  });
  bindForm("verify-form", "verify-result", onVerify, ["verify-pin"]);
  bindForm("change-form", "change-result", onChange, ["change-old", "change-new"]);
  bindForm("unblock-form", "unblock-result", onUnblock, ["unblock-admin", "unblock-new"]);
  bindForm("digest-form", "digest-result", onDigest, ["digest-text"]);
  bindForm("cipher-form", "cipher-result", onCipher, ["cipher-input"]);
  byId("log-clear").addEventListener("click", () => byId("log").replaceChildren());
  // The watch started with the connection shows the token and its serial.
  showPermission();
  ensureClient().catch(() => {});
}

start();
