// SPDX-License-Identifier: MIT
// The page's side of the tokenbridge service: one WebSocket, one JSON request per call. Replies carry
// no request id, so each connection keeps its calls in a queue and gives every reply to the oldest one.

export const DEFAULT_URL = "ws://127.0.0.1:9446";

// What the service answers when it could not read a request at all; it still answers the oldest call.
const UNREADABLE_TYPE = "VQUnSupport";

// The names under which browsers ask the user before a page may reach this computer's own services;
// the first one the browser knows is asked (the second is the older name of the same permission).
const PERMISSION_NAMES = ["loopback-network", "local-network-access"];

// Every failure of this module is a BridgeError; `kind` tells which one:
//   "unreachable"   connect() found no service at the address
//   "blocked"       the browser did not let the page reach the address (the user or a policy denied it)
//   "timeout"       a call (or connect()) got no answer within the time limit; the connection is then closed
//   "not-connected" a call was made after the connection had ended
//   "closed"        the connection ended before the call's reply came
//   "mismatch"      a reply named another request type than the oldest call (the connection is then closed)
//   "bad-reply"     a reply was not the {type, code, data} object the service sends
//   "denied"        the person at this computer said no to this site (the service closed with 4403)
//   "busy"          too many sites wait for the person at this computer already (close 4429); later
// A "timeout" may also come from the service (close 4408): nobody at this computer answered in time.
export class BridgeError extends Error {
  constructor(kind, message, details = {}) {
    super(message);
    this.name = "BridgeError";
    this.kind = kind;
    Object.assign(this, details);
  }
}

// The browser's answer on whether this page may reach services on this computer: "granted",
// "prompt" (the browser will ask the user), "denied", or "unsupported" when the browser has no such
// permission (then nothing stands in the way). Never rejects.
export async function loopbackPermission() {
  const permissions = globalThis.navigator?.permissions;
  if (typeof permissions?.query !== "function") return "unsupported";
  for (const name of PERMISSION_NAMES) {
    try {
      const { state } = await permissions.query({ name });
      if (state === "granted" || state === "prompt" || state === "denied") return state;
    } catch {
      // A browser that does not know this name rejects the query; try the next one.
    }
  }
  return "unsupported";
}

// Opens a connection. Resolves with a Client once the service has accepted it, or rejects with a
// BridgeError of kind "unreachable", "blocked" or "timeout". Options: `WebSocket`, the implementation
// to use (default: the page's own); `onTraffic(direction, text)`, called with "request" or "reply" and
// each raw message; `timeoutMs`, the time limit of the connection and of every call (default: none).
export function connect(url = DEFAULT_URL, options = {}) {
  const Impl = options.WebSocket ?? globalThis.WebSocket;
  if (typeof Impl !== "function") {
    return Promise.reject(new TypeError("tokenbridge: this environment has no WebSocket"));
  }
  let timeoutMs;
  try {
    timeoutMs = timeLimit(options.timeoutMs);
  } catch (err) {
    return Promise.reject(err);
  }
  return new Promise((resolve, reject) => {
    let socket;
    try {
      socket = new Impl(url);
    } catch (err) {
      reject(new BridgeError("unreachable", `cannot connect to ${url}: ${err.message}`, { url }));
      return;
    }
    socket.binaryType = "arraybuffer";
    let timer = null;
    const settle = () => {
      clearTimeout(timer);
      socket.onopen = socket.onerror = socket.onclose = null;
    };
    socket.onopen = () => {
      settle();
      resolve(new Client(socket, url, options.onTraffic, timeoutMs));
    };
    // Browsers follow a refused connection's "error" with "close"; some implementations fire only "error".
    // A connection the browser blocked fails the same way, so only the permission tells the two apart.
    const refused = async () => {
      settle();
      reject(await refusalError(url));
    };
    socket.onerror = refused;
    socket.onclose = refused;
    if (timeoutMs !== undefined) {
      // A service that accepts the TCP connection but never answers the upgrade.
      timer = setTimeout(() => {
        settle();
        socket.close();
        reject(new BridgeError("timeout", `no answer from ${url} within ${timeoutMs} ms`, { url }));
      }, timeoutMs);
    }
  });
}

async function refusalError(url) {
  if ((await loopbackPermission()) === "denied") {
    return new BridgeError(
      "blocked",
      `the browser blocked this page from reaching ${url}: allow this site to access devices and apps on ` +
        "this computer (the site's permission settings, next to its address), or ask the administrator " +
        "to allow it by policy",
      { url },
    );
  }
  return new BridgeError("unreachable", `no token service answers at ${url}`, { url });
}

export class Client {
  constructor(socket, url, onTraffic, timeoutMs) {
    this.url = url;
    this.socket_ = socket;
    this.onTraffic_ = typeof onTraffic === "function" ? onTraffic : () => {};
    this.timeoutMs_ = timeoutMs;
    this.queue_ = []; // calls waiting for their reply, oldest first: {type, resolve, reject, timer}
    this.ended_ = null; // the BridgeError that ended the connection, once it has ended
    this.closed = new Promise((resolve) => (this.resolveClosed_ = resolve));
    socket.onmessage = (event) => this.onReply_(textOf(event.data));
    socket.onclose = (event) => this.end_(closeError(event, url));
    socket.onerror = () => {}; // always followed by "close", which does the work
  }

  get connected() {
    return this.ended_ === null;
  }

  // Number of calls still waiting for their reply.
  get pending() {
    return this.queue_.length;
  }

  getLibVersion() { return this.request_("GetLibVersion", () => ({})); }
  startMonitor() { return this.request_("StartMonitor", () => ({})); }
  getDevState() { return this.request_("GetDevState", () => ({})); }
  openDevice() { return this.request_("OpenDevice", () => ({})); }
  getUserName() { return this.request_("GetUserName", () => ({})); }
  closeDevice() { return this.request_("CloseDevice", () => ({})); }
  verifyUserPin(pin) { return this.request_("VerifyUserPin", () => ({ parm2: text("pin", pin) })); }
  changeUserPin(oldPin, newPin) {
    return this.request_("ChangeUserPin", () => ({ parm1: text("oldPin", oldPin), parm2: text("newPin", newPin) }));
  }
  unblockUserPin(adminPin, newPin) {
    return this.request_("UnblockUserPin", () => ({ parm1: text("adminPin", adminPin), parm2: text("newPin", newPin) }));
  }
  zpSha1(input) { return this.request_("ZPSHA1", () => ({ parm1: text("text", input) })); }
  // parm2, parm3 and parm5 are read by the service as integers and change nothing; they are sent as 0.
  zpCrypt(hex48) { return this.request_("ZPCrypt", () => ({ parm2: 0, parm3: 0, parm4: hexBlock(hex48), parm5: 0 })); }

  // Sends any request type with the given members ("parm1".."parm5"), for types not named above.
  call(type, members = {}) {
    return this.request_(type, () => {
      if (typeof type !== "string") throw new TypeError("tokenbridge: the request type must be a string");
      if (members === null || typeof members !== "object") throw new TypeError("tokenbridge: members must be an object");
      return members;
    });
  }

  // Asks the service every `intervalMs` whether a token is present and calls onChange({present}) with
  // the first answer and every change. The questions queue behind the page's own calls like any call.
  // When the connection ends (or a question fails) the watch stops and calls onChange({present: null,
  // error}) once. Returns a function that stops the watch; nothing is reported after it was called.
  watchToken(onChange, { intervalMs = 1000 } = {}) {
    if (typeof onChange !== "function") throw new TypeError("tokenbridge: onChange must be a function");
    if (!Number.isFinite(intervalMs) || intervalMs <= 0) {
      throw new RangeError("tokenbridge: intervalMs must be a positive number");
    }
    let stopped = false;
    let timer = null;
    let present = null;
    const stop = () => {
      stopped = true;
      clearTimeout(timer);
    };
    const end = (error) => {
      if (stopped) return;
      stop();
      onChange({ present: null, error });
    };
    const ask = async () => {
      timer = null;
      let reply;
      try {
        reply = await this.getDevState();
      } catch (err) {
        end(err);
        return;
      }
      if (stopped) return;
      const now = reply.code === 0;
      if (now !== present) {
        present = now;
        onChange({ present });
      }
      if (!stopped) timer = setTimeout(ask, intervalMs);
    };
    // Between two questions nothing else would notice the end of the connection.
    this.closed.then(end);
    ask();
    return stop;
  }

  // Ends the connection; every call still waiting is rejected with kind "closed".
  close() {
    this.end_(new BridgeError("closed", `the page closed the connection to ${this.url}`, { url: this.url }));
  }

  request_(type, makeMembers) {
    let message;
    try {
      // "type" first for readable logs; members cannot replace it.
      message = JSON.stringify(Object.assign({ type }, makeMembers(), { type }));
    } catch (err) {
      return Promise.reject(err);
    }
    if (this.ended_) {
      return Promise.reject(new BridgeError("not-connected", `${type}: not connected (${this.ended_.message})`, { url: this.url }));
    }
    return new Promise((resolve, reject) => {
      const call = { type, resolve, reject, timer: null };
      if (this.timeoutMs_ !== undefined) call.timer = setTimeout(() => this.timedOut_(call), this.timeoutMs_);
      this.queue_.push(call);
      this.onTraffic_("request", message);
      this.socket_.send(message);
    });
  }

  // Replies are matched by position only: once a call's reply is overdue, the next reply to come could be
  // that late one or the next call's, so none can be trusted and the connection is closed.
  timedOut_(call) {
    const at = this.queue_.indexOf(call);
    if (at < 0) return;
    this.queue_.splice(at, 1);
    call.reject(new BridgeError("timeout", `${call.type}: no reply within ${this.timeoutMs_} ms`, { url: this.url }));
    this.end_(new BridgeError("closed", `closed after a ${call.type} call got no reply within ${this.timeoutMs_} ms`, { url: this.url }));
  }

  onReply_(message) {
    if (this.ended_) return;
    this.onTraffic_("reply", message);
    const call = this.queue_.shift();
    clearTimeout(call?.timer);
    if (!call) {
      this.end_(new BridgeError("mismatch", `a reply came while no call was waiting: ${message}`, { reply: message }));
      return;
    }
    const reply = parseReply(message);
    if (!reply) {
      call.reject(new BridgeError("bad-reply", `${call.type}: the reply is not a {type, code, data} object: ${message}`, { reply: message }));
      return;
    }
    if (reply.type !== call.type && reply.type !== UNREADABLE_TYPE) {
      // Replies are matched by position only; after one that is not ours, no later one can be trusted.
      const err = new BridgeError("mismatch", `${call.type}: the reply is for "${reply.type}" instead`, { reply: message });
      call.reject(err);
      this.end_(new BridgeError("mismatch", `closed after a reply for "${reply.type}" came to a ${call.type} call`, { reply: message }));
      return;
    }
    call.resolve(reply);
  }

  end_(error) {
    if (this.ended_) return;
    this.ended_ = error;
    const waiting = this.queue_.splice(0);
    for (const call of waiting) {
      clearTimeout(call.timer);
      call.reject(new BridgeError(error.kind, `${call.type}: no reply: ${error.message}`, { url: this.url }));
    }
    this.socket_.onclose = this.socket_.onmessage = null;
    if (this.socket_.readyState <= 1) this.socket_.close();
    this.resolveClosed_(error);
  }
}

// Close statuses that carry the answer of the person at this computer about this site: 4403 they
// said no, 4408 nobody answered in time, 4429 the question could not even be queued. Any other
// close is the connection ending.
function closeError(event, url) {
  if (event.code === 4403) {
    return new BridgeError("denied", `the person at this computer said no to this site (${event.reason})`, { url });
  }
  if (event.code === 4408) {
    return new BridgeError("timeout", `nobody at this computer said whether this site may use the token (${event.reason})`, { url });
  }
  if (event.code === 4429) {
    return new BridgeError("busy", `too many sites are waiting for the person at this computer (${event.reason})`, { url });
  }
  return new BridgeError("closed", `the connection to ${url} closed (code ${event.code})`, { url });
}

// The service sends text frames; a binary frame would be UTF-8 text too.
function textOf(data) {
  return typeof data === "string" ? data : new TextDecoder().decode(data);
}

// The reply as {type, code, data} with the code as a number, or null when it is not one.
function parseReply(message) {
  let value;
  try {
    value = JSON.parse(message);
  } catch {
    return null;
  }
  if (value === null || typeof value !== "object") return null;
  const { type, code, data } = value;
  if (typeof type !== "string" || typeof data !== "string" || typeof code !== "string" || !/^-?\d+$/.test(code)) {
    return null;
  }
  return { type, code: Number(code), data };
}

// The service reads text members only up to a NUL character, so a NUL would cut the value silently.
function text(name, value) {
  if (typeof value !== "string") throw new TypeError(`tokenbridge: ${name} must be a string`);
  if (value.includes("\0")) throw new RangeError(`tokenbridge: ${name} must not contain a NUL character`);
  return value;
}

// A time limit in milliseconds, or undefined for none.
function timeLimit(value) {
  if (value === undefined || value === null) return undefined;
  if (!Number.isFinite(value) || value <= 0) throw new RangeError("tokenbridge: timeoutMs must be a positive number");
  return value;
}

function hexBlock(value) {
  if (typeof value !== "string" || !/^[0-9A-Fa-f]{48}$/.test(value)) {
    throw new RangeError("tokenbridge: the cipher input must be 48 hexadecimal characters (24 bytes)");
  }
  return value;
}
