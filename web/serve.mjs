// SPDX-License-Identifier: MIT
// Serves the web/ folder on the loopback address so a browser can load the demo page and its module
// (Chromium refuses module scripts from file:// pages). Run: node serve.mjs [port]; prints the page's URL.

import { createServer } from "node:http";
import { readFile } from "node:fs/promises";
import { dirname, extname, join, normalize, sep } from "node:path";
import { fileURLToPath } from "node:url";

const root = dirname(fileURLToPath(import.meta.url));
const contentTypes = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".mjs": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".md": "text/plain; charset=utf-8",
};

// Resolves with {url, close()} once listening; port 0 picks a free one.
export function serveWeb(port = 8080, host = "127.0.0.1") {
  const server = createServer(async (req, res) => {
    let path;
    try {
      path = decodeURIComponent(new URL(req.url, "http://x").pathname);
    } catch {
      // A malformed % escape names no file: answer it, and keep serving the others.
      res.writeHead(400, { "Content-Type": "text/plain" }).end("bad request\n");
      return;
    }
    let file = normalize(join(root, path));
    if (file !== root && !file.startsWith(root + sep)) {
      res.writeHead(403).end();
      return;
    }
    if (path.endsWith("/")) file = join(file, "index.html");
    try {
      const body = await readFile(file);
      res.writeHead(200, { "Content-Type": contentTypes[extname(file)] ?? "application/octet-stream" }).end(body);
    } catch {
      res.writeHead(404, { "Content-Type": "text/plain" }).end("not found\n");
    }
  });
  return new Promise((done, fail) => {
    server.once("error", fail);
    server.listen(port, host, () => {
      const url = `http://${host}:${server.address().port}`;
      done({ url, close: () => new Promise((closed) => server.close(closed)) });
    });
  });
}

if (process.argv[1] && fileURLToPath(import.meta.url) === process.argv[1]) {
  const port = Number(process.argv[2] ?? 8080);
  const { url } = await serveWeb(port);
  console.log(`tokenbridge demo: open ${url}/demo/ in a browser (the service must be running on ws://127.0.0.1:9446)`);
  console.log("Ctrl+C stops this server.");
}
