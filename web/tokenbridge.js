// SPDX-License-Identifier: MIT
// The page's side of the tokenbridge service: one WebSocket, one JSON request per call. Replies carry
// no request id, so each connection keeps its calls in a queue and gives every reply to the oldest one.

export const DEFAULT_URL = "ws://127.0.0.1:9446";

// What the service answers when it could not read a request at all; it still answers the oldest call.
const UNREADABLE_TYPE = "VQUnSupport";

// Every failure of this module is a BridgeError; `kind` tells which one:
//   "unreachable"   connect() found no service at the address
//   "not-connected" a call was made after the connection had ended
//   "closed"        the connection ended before the call's reply came
//   "mismatch"      a reply named another request type than the oldest call (the connection is then closed)
//   "bad-reply"     a reply was not the {type, code, data} object the service sends
export class BridgeError extends Error {
  constructor(kind, message, details = {}) {
    super(message);
    this.name = "BridgeError";
    this.kind = kind;
    Object.assign(this, details);
  }
}

// Opens a connection. Resolves with a Client once the service has accepted it, or rejects with a
// BridgeError of kind "unreachable". Options: `WebSocket`, the implementation to use (default: the
// page's own); `onTraffic(direction, text)`, called with "request" or "reply" and each raw message.
export function connect(url = DEFAULT_URL, options = {}) {
  const Impl = options.WebSocket ?? globalThis.WebSocket;
  if (typeof Impl !== "function") {
    return Promise.reject(new TypeError("tokenbridge: this environment has no WebSocket"));
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
    socket.onopen = () => resolve(new Client(socket, url, options.onTraffic));
    // Browsers follow a refused connection's "error" with "close"; some implementations fire only "error".
    const refused = () => {
      socket.onerror = socket.onclose = null;
      reject(new BridgeError("unreachable", `no token service answers at ${url}`, { url }));
    };
    socket.onerror = refused;
    socket.onclose = refused;
  });
}

export class Client {
  constructor(socket, url, onTraffic) {
    this.url = url;
    this.socket_ = socket;
    this.onTraffic_ = typeof onTraffic === "function" ? onTraffic : () => {};
    this.queue_ = []; // calls waiting for their reply, oldest first: {type, resolve, reject}
    this.ended_ = null; // the BridgeError that ended the connection, once it has ended
    this.closed = new Promise((resolve) => (this.resolveClosed_ = resolve));
    socket.onmessage = (event) => this.onReply_(textOf(event.data));
    socket.onclose = (event) =>
      this.end_(new BridgeError("closed", `the connection to ${url} closed (code ${event.code})`, { url }));
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
      this.queue_.push({ type, resolve, reject });
      this.onTraffic_("request", message);
      this.socket_.send(message);
    });
  }

  onReply_(message) {
    if (this.ended_) return;
    this.onTraffic_("reply", message);
    const call = this.queue_.shift();
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
      call.reject(new BridgeError(error.kind, `${call.type}: no reply: ${error.message}`, { url: this.url }));
    }
    this.socket_.onclose = this.socket_.onmessage = null;
    if (this.socket_.readyState <= 1) this.socket_.close();
    this.resolveClosed_(error);
  }
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

function hexBlock(value) {
  if (typeof value !== "string" || !/^[0-9A-Fa-f]{48}$/.test(value)) {
    throw new RangeError("tokenbridge: the cipher input must be 48 hexadecimal characters (24 bytes)");
  }
  return value;
}
