// SPDX-License-Identifier: MIT
// How the browser tests find Chromium, on a fixture folder of fake executables: the environment first,
// then PATH, and a message that says what to do when there is none.

import { test } from "node:test";
import assert from "node:assert/strict";
import { chmod, mkdir, mkdtemp, rm, writeFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { findChromium } from "./chromium.mjs";

test("Chromium is found from CHROMIUM_PATH, CHROMIUM, or PATH, else a clear error", async (t) => {
  const root = await mkdtemp(join(tmpdir(), "tokenbridge-chromium-"));
  t.after(() => rm(root, { recursive: true, force: true }));
  const dirs = { empty: join(root, "empty"), bin: join(root, "bin"), other: join(root, "other") };
  for (const dir of Object.values(dirs)) await mkdir(dir);
  const browser = join(dirs.bin, "chromium-browser");
  const named = join(dirs.other, "my-chromium");
  const notExecutable = join(dirs.other, "chromium");
  for (const file of [browser, named, notExecutable]) await writeFile(file, "#!/bin/sh\n");
  await chmod(browser, 0o755);
  await chmod(named, 0o755);

  const rows = [
    { name: "CHROMIUM_PATH first", env: { CHROMIUM_PATH: named, CHROMIUM: browser, PATH: dirs.bin }, want: named },
    { name: "CHROMIUM when CHROMIUM_PATH is unset", env: { CHROMIUM: named, PATH: dirs.bin }, want: named },
    { name: "PATH in order, skipping a non-executable file", env: { PATH: [dirs.empty, dirs.other, dirs.bin].join(":") }, want: browser },
    { name: "a named file that is not executable", env: { CHROMIUM_PATH: notExecutable, PATH: dirs.bin }, error: /CHROMIUM_PATH=.*not an executable/ },
    { name: "nothing on PATH", env: { PATH: dirs.empty }, error: /no Chromium.*CHROMIUM_PATH/ },
    { name: "no PATH at all", env: {}, error: /no Chromium/ },
  ];
  for (const { name, env, want, error } of rows) {
    if (error) assert.throws(() => findChromium(env), error, name);
    else assert.equal(findChromium(env), want, name);
  }
});
