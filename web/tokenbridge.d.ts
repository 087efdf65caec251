// SPDX-License-Identifier: MIT
// Types of tokenbridge.js, the page's client of the local tokenbridge service.

/** The service's own address on this computer. */
export const DEFAULT_URL: "ws://127.0.0.1:9446";

/** What went wrong; see BridgeError. */
export type BridgeErrorKind =
  | "unreachable"
  | "blocked"
  | "timeout"
  | "closed"
  | "not-connected"
  | "mismatch"
  | "bad-reply"
  /** The person at this computer said no to this site (the service closed with 4403). */
  | "denied"
  /** Too many sites wait for the person at this computer already (the service closed with 4429): try later. */
  | "busy";

/** Every failure of the module (arguments it cannot send reject with TypeError or RangeError instead). */
export class BridgeError extends Error {
  constructor(kind: BridgeErrorKind, message: string, details?: { url?: string; reply?: string });
  readonly name: "BridgeError";
  readonly kind: BridgeErrorKind;
  /** The service address, when the failure concerns the connection. */
  readonly url?: string;
  /** The raw reply, for "mismatch" and "bad-reply". */
  readonly reply?: string;
}

/** The service's reply as it gave it, with the code as a number: 0 done, 1 refused or no token, -1 unknown request. */
export interface Reply<T extends string = string> {
  type: T;
  code: number;
  data: string;
}

export interface ConnectOptions {
  /** The WebSocket implementation to use; default: the page's own. */
  WebSocket?: new (url: string) => WebSocket;
  /** Called with every raw message sent ("request") and received ("reply"). */
  onTraffic?: (direction: "request" | "reply", text: string) => void;
  /** Time limit in ms for the connection and for every call; default: none. */
  timeoutMs?: number;
}

export type PermissionAnswer = "granted" | "prompt" | "denied" | "unsupported";

/** Whether the browser lets this page reach services on this computer; never rejects. */
export function loopbackPermission(): Promise<PermissionAnswer>;

/** Opens a connection; rejects with a BridgeError of kind "unreachable", "blocked" or "timeout". */
export function connect(url?: string, options?: ConnectOptions): Promise<Client>;

/** What watchToken reports: a token's presence, or the end of the watch with its cause. */
export type TokenStatus = { present: boolean } | { present: null; error: BridgeError };

export interface WatchOptions {
  /** Time between two questions, in ms; default 1000. */
  intervalMs?: number;
}

export class Client {
  private constructor();
  readonly url: string;
  /** False once the connection has ended. */
  readonly connected: boolean;
  /** Calls still waiting for their reply. */
  readonly pending: number;
  /** Resolves with the BridgeError that ended the connection. */
  readonly closed: Promise<BridgeError>;

  getLibVersion(): Promise<Reply<"GetLibVersion">>;
  startMonitor(): Promise<Reply<"StartMonitor">>;
  getDevState(): Promise<Reply<"GetDevState">>;
  openDevice(): Promise<Reply<"OpenDevice">>;
  getUserName(): Promise<Reply<"GetUserName">>;
  closeDevice(): Promise<Reply<"CloseDevice">>;
  verifyUserPin(pin: string): Promise<Reply<"VerifyUserPin">>;
  changeUserPin(oldPin: string, newPin: string): Promise<Reply<"ChangeUserPin">>;
  unblockUserPin(adminPin: string, newPin: string): Promise<Reply<"UnblockUserPin">>;
  zpSha1(text: string): Promise<Reply<"ZPSHA1">>;
  /** hex48: exactly 48 hexadecimal digits (24 bytes). */
  zpCrypt(hex48: string): Promise<Reply<"ZPCrypt">>;
  /** Any request type, with the members parm1..parm5 as given. */
  call(type: string, members?: Partial<Record<"parm1" | "parm2" | "parm3" | "parm4" | "parm5", string | number>>): Promise<Reply>;

  /** Reports the token's presence at once and on every change; returns a function that stops the watch. */
  watchToken(onChange: (status: TokenStatus) => void, options?: WatchOptions): () => void;
  /** Ends the connection; waiting calls reject with kind "closed". */
  close(): void;
}
