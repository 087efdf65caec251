// SPDX-License-Identifier: MIT
// Where the browser tests find Chromium: CHROMIUM_PATH (or CHROMIUM) names the executable, otherwise
// the first `chromium` or `chromium-browser` on PATH. Nothing is downloaded.

import { accessSync, constants, statSync } from "node:fs";
import { delimiter, join } from "node:path";

const NAMES = ["chromium", "chromium-browser"];

function isExecutableFile(path) {
  try {
    accessSync(path, constants.X_OK);
    return statSync(path).isFile();
  } catch {
    return false;
  }
}

// The path of the Chromium executable to drive; throws with what to do when there is none.
export function findChromium(env = process.env) {
  for (const variable of ["CHROMIUM_PATH", "CHROMIUM"]) {
    const named = env[variable];
    if (!named) continue;
    if (isExecutableFile(named)) return named;
    throw new Error(`${variable}=${named} is not an executable file: name Chromium's executable there, or unset it to search PATH`);
  }
  for (const dir of (env.PATH ?? "").split(delimiter).filter(Boolean)) {
    for (const name of NAMES) {
      const candidate = join(dir, name);
      if (isExecutableFile(candidate)) return candidate;
    }
  }
  throw new Error(
    `no Chromium for the browser tests: none of ${NAMES.join(", ")} is on PATH. ` +
      "Install it (Debian: apt-get install chromium, or scripts/setup.sh) or set CHROMIUM_PATH to its executable.",
  );
}

// The switches a headless Chromium needs here (as root, in a container, without network chatter).
export const CHROMIUM_FLAGS = [
  "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync",
];
