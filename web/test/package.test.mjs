// SPDX-License-Identifier: MIT
// The package as a page project receives it: `npm pack` ships only what a page needs, and the packed
// tarball installs into a fresh project where a typed example compiles against its declarations.
// No service is needed.

import { test } from "node:test";
import assert from "node:assert/strict";
import { execFile } from "node:child_process";
import { copyFile, mkdtemp, readFile, rm, writeFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { promisify } from "node:util";

const run = promisify(execFile);
const webDir = resolve(dirname(fileURLToPath(import.meta.url)), "..");
const exampleDir = join(webDir, "test/page-project");
const tsc = join(webDir, "node_modules/typescript/bin/tsc");
const npm = process.env.NPM ?? "npm";

const npmQuiet = ["--no-audit", "--no-fund", "--loglevel=error"];

test("npm pack lists only the module, its declarations, the readme and the licence", async () => {
  const { stdout } = await run(npm, ["pack", "--dry-run", "--json", ...npmQuiet], { cwd: webDir });
  const [packed] = JSON.parse(stdout);
  const files = packed.files.map((f) => f.path).sort();
  assert.deepEqual(files, ["LICENSE", "README.md", "package.json", "tokenbridge.d.ts", "tokenbridge.js"]);
});

test("the packed tarball installs into a fresh page project, imports, and type-checks a typed page", async () => {
  const work = await mkdtemp(join(tmpdir(), "tokenbridge-pack-"));
  try {
    const { stdout } = await run(npm, ["pack", "--json", "--pack-destination", work, ...npmQuiet], { cwd: webDir });
    const tarball = join(work, JSON.parse(stdout)[0].filename);
    const project = join(work, "page");
    await run("mkdir", [project]);
    await writeFile(join(project, "package.json"), JSON.stringify({ name: "page", private: true, type: "module" }));
    // The package has no dependencies, so installing its tarball needs no registry.
    await run(npm, ["install", "--offline", ...npmQuiet, tarball], { cwd: project });

    // The installed module loads through the package's exports and offers what the declarations name.
    const probe = `const m = await import("tokenbridge");
      const client = new m.Client({}, "ws://unused");
      const names = [...Object.keys(client), ...Object.getOwnPropertyNames(m.Client.prototype)];
      const members = names.filter((n) => n !== "constructor" && !n.endsWith("_"));
      console.log(JSON.stringify({ exports: Object.keys(m).sort(), members: members.sort() }));`;
    const { stdout: found } = await run(process.execPath, ["--input-type=module", "-e", probe], { cwd: project });
    const { exports, members } = JSON.parse(found);
    assert.deepEqual(exports, ["BridgeError", "Client", "DEFAULT_URL", "connect", "loopbackPermission"]);
    // Every public member of the client is declared (a member added to the code alone fails here).
    const declarations = await readFile(join(webDir, "tokenbridge.d.ts"), "utf8");
    const clientBody = declarations.slice(declarations.indexOf("export class Client"));
    const declared = [...clientBody.matchAll(/^ {2}(?:readonly )?(\w+)[(:<]/gm)].map((m) => m[1]).sort();
    assert.deepEqual(declared, members);

    for (const file of ["example.ts", "tsconfig.json"]) await copyFile(join(exampleDir, file), join(project, file));
    const compiled = await run(process.execPath, [tsc, "-p", project]).catch((err) => err);
    assert.equal(compiled.code ?? 0, 0, `the typed example does not compile:\n${compiled.stdout}${compiled.stderr}`);
  } finally {
    await rm(work, { recursive: true, force: true });
  }
});
