// SPDX-License-Identifier: MIT
// A page written against the installed package, compiled by the package test: if the type declarations
// drift from what the module offers or accepts, this stops compiling.

import { BridgeError, connect, loopbackPermission, type Client, type Reply, type TokenStatus } from "tokenbridge";

export async function signIn(pin: string, show: (text: string) => void): Promise<void> {
  const permission = await loopbackPermission();
  if (permission === "denied") show("Allow this site to reach the token service in the browser's site settings.");

  let token: Client;
  try {
    token = await connect(undefined, { timeoutMs: 5000, onTraffic: (direction, text) => console.log(direction, text) });
  } catch (err) {
    if (err instanceof BridgeError && err.kind === "blocked") show("The browser blocked the token service.");
    else show("The token service is not running.");
    return;
  }

  const stop = token.watchToken((status: TokenStatus) => {
    if (status.present === null) show(`watch ended: ${status.error.kind}`);
    else show(status.present ? "token plugged in" : "token removed");
  }, { intervalMs: 500 });

  const verdict: Reply<"VerifyUserPin"> = await token.verifyUserPin(pin);
  const code: number = verdict.code;
  show(code === 0 ? "PIN accepted" : verdict.data === "-1" ? "PIN locked" : "wrong PIN");
  const digest: string = (await token.zpSha1("fifteen bytes..")).data;
  const other: Reply = await token.call("GetLibVersion", { parm1: "x", parm2: 0 });
  show(`${digest} ${other.type} ${token.pending} ${token.connected} ${token.url}`);
  stop();
  token.close();
  const why: BridgeError = await token.closed;
  show(why.kind);
}

// Mistakes the declarations must refuse.
export async function misuse(token: Client): Promise<void> {
  // @ts-expect-error the PIN is text
  await token.verifyUserPin(12345678);
  // @ts-expect-error changing needs the old and the new PIN
  await token.changeUserPin("12345678");
  // @ts-expect-error no such method
  await token.verifyPin("12345678");
  // @ts-expect-error only parm1..parm5 are sent
  await token.call("GetLibVersion", { parm6: "x" });
  // @ts-expect-error the option is timeoutMs
  await connect(undefined, { timeout: 100 });
  // @ts-expect-error the watch reports {present}, not a boolean
  token.watchToken((present: boolean) => present);
  const kind: "unreachable" | "blocked" | "timeout" | "closed" | "not-connected" | "mismatch" | "bad-reply" | "denied" | "busy" =
    new BridgeError("closed", "m").kind;
  // @ts-expect-error not one of the kinds
  const wrong: BridgeError["kind"] = "refused";
  console.log(kind, wrong);
}
