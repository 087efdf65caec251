// SPDX-License-Identifier: MIT
// Starts the real tokenbridged on a fresh software token for one test file, and stops it again.
// The daemon detaches, so it is found by its listening port and checked to be ours before any signal.

import { spawn } from "node:child_process";
import { mkdtemp, open, readFile, readdir, readlink, rm, writeFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";

export const SERVICE_PORT = 9446;
export const SERVICE_URL = `ws://127.0.0.1:${SERVICE_PORT}`;

// CTest passes the built executables; by hand, the default build folder of the repository is used.
const repoRoot = resolve(dirname(fileURLToPath(import.meta.url)), "../..");
const tokenbridged = process.env.TOKENBRIDGED ?? join(repoRoot, "build/service/tokenbridged");
const softtokenCmd = process.env.SOFTTOKEN ?? join(repoRoot, "build/softtoken/softtoken");

// Where tests keep what CI should archive (screenshots).
export const artifactDir = process.env.TOKENBRIDGE_WEB_ARTIFACTS ?? join(repoRoot, "web/test-results");

// Runs a program to its end with the given environment; resolves with its output, rejects on a non-zero exit.
// Output goes through a file: a daemon's starter may leave children holding a pipe open long after it exits.
async function run(program, args, env, workDir) {
  const logPath = join(workDir, `run-${Date.now()}-${Math.random().toString(36).slice(2)}.log`);
  const log = await open(logPath, "w");
  try {
    const child = spawn(program, args, { env, stdio: ["ignore", log.fd, log.fd] });
    const code = await new Promise((done, fail) => {
      child.on("error", fail);
      child.on("exit", (exitCode, signal) => done(signal ? `signal ${signal}` : exitCode));
    });
    const output = await readFile(logPath, "utf8");
    if (code !== 0) throw new Error(`${program} ${args.join(" ")} ended with ${code}: ${output.trim()}`);
    return output;
  } finally {
    await log.close();
  }
}

// The pid of the process with a listening TCP socket on the port, or 0 when there is none.
export async function pidListeningOn(port) {
  const inodes = new Set();
  for (const table of ["/proc/net/tcp", "/proc/net/tcp6"]) {
    const lines = (await readFile(table, "utf8").catch(() => "")).split("\n").slice(1);
    for (const line of lines) {
      const fields = line.trim().split(/\s+/);
      // fields: sl, local address:port (hex), remote, state (0A = listen), ..., inode at index 9
      if (fields.length < 10 || fields[3] !== "0A") continue;
      if (parseInt(fields[1].split(":")[1], 16) === port) inodes.add(`socket:[${fields[9]}]`);
    }
  }
  if (inodes.size === 0) return 0;
  for (const entry of await readdir("/proc")) {
    if (!/^\d+$/.test(entry)) continue;
    const fds = await readdir(`/proc/${entry}/fd`).catch(() => []);
    for (const fd of fds) {
      const target = await readlink(`/proc/${entry}/fd/${fd}`).catch(() => "");
      if (inodes.has(target)) return Number(entry);
    }
  }
  return 0;
}

async function isRunning(pid) {
  const stat = await readFile(`/proc/${pid}/stat`, "utf8").catch(() => "");
  // A zombie no longer serves; the state letter follows the parenthesised command name.
  return stat !== "" && !/\)\s+Z/.test(stat);
}

const pause = (ms) => new Promise((done) => setTimeout(done, ms));

// Starts the service on a new software token made with `softtoken init` and the given init options
// (e.g. ["--serial", "TB-1"]). `settings(workDir)`, when given, is the text of the daemon's settings
// file (workDir is the run's own folder, for paths). Resolves with
// {pid, workDir, stateFile, softtoken(...args), signal(name), stop()}.
export async function startService(initArgs = [], settings = undefined) {
  const workDir = await mkdtemp(join(tmpdir(), "tokenbridge-web-"));
  const stateFile = join(workDir, "softtoken.json");
  const env = { ...process.env, SOFTTOKEN_STATE: stateFile };
  const softtoken = (...args) => run(softtokenCmd, args, env, workDir);
  try {
    const args = [];
    if (settings) {
      const file = join(workDir, "tokenbridged.conf");
      await writeFile(file, settings(workDir));
      args.push("--config", file);
    }
    return await launch({ initArgs, args, workDir, stateFile, env, softtoken });
  } catch (err) {
    await rm(workDir, { recursive: true, force: true });
    throw err;
  }
}

// Starts the daemon once nothing serves the port, and checks that the process now serving it is ours.
async function launch({ initArgs, args, workDir, stateFile, env, softtoken }) {
  // Another run on this machine may hold the port for a while; never touch its process, only wait.
  let holder = await pidListeningOn(SERVICE_PORT);
  for (let waited = 0; holder && waited < 30000; waited += 200) {
    await pause(200);
    holder = await pidListeningOn(SERVICE_PORT);
  }
  if (holder) throw new Error(`port ${SERVICE_PORT} is still served by pid ${holder}, which this test did not start`);
  await softtoken("init", ...initArgs);
  // The starter exits 0 only once the daemon listens.
  await run(tokenbridged, args, env, workDir);

  const pid = await pidListeningOn(SERVICE_PORT);
  if (!pid) throw new Error(`tokenbridged reported success but nothing listens on port ${SERVICE_PORT}`);
  const environ = (await readFile(`/proc/${pid}/environ`, "utf8")).split("\0");
  if (!environ.includes(`SOFTTOKEN_STATE=${stateFile}`)) {
    throw new Error(`pid ${pid} on port ${SERVICE_PORT} is not the daemon this test started`);
  }

  async function stop() {
    if (await isRunning(pid)) {
      process.kill(pid, "SIGTERM");
      process.kill(pid, "SIGCONT"); // a test may have frozen it
      for (let waited = 0; waited < 5000 && (await isRunning(pid)); waited += 20) await pause(20);
      if (await isRunning(pid)) process.kill(pid, "SIGKILL");
    }
    for (let waited = 0; waited < 5000 && (await pidListeningOn(SERVICE_PORT)) === pid; waited += 20) await pause(20);
    await rm(workDir, { recursive: true, force: true });
  }

  return { pid, workDir, stateFile, softtoken, signal: (name) => process.kill(pid, name), stop };
}
