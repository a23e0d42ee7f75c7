#!/usr/bin/env node
// The demonstration enrollment site: serves the enrollment page and stands a
// test certification authority (tessaro-testca) behind a small JSON API.
//
//   node server.js --testca BUILD/tessaro-testca [--ca-dir DIR] [--port N]
//                  [--bind 127.0.0.1] [--report FILE] [--exit-with-stdin]
//
// Port 0 (the default) takes a free port. When listening it prints one line
// "listening http://HOST:PORT/" on standard output. Without --ca-dir a CA is
// made in a temporary folder and removed on exit.
//
// API (POST, JSON in and out, 64 KiB at most):
//   /api/check     {request}  -> what the CA reads in the request
//   /api/issue     {request}  -> {certificate}          signing certificate
//   /api/envelope  {request}  -> {certificate, envelope} encryption certificate
//                                and its private key wrapped for the
//                                request's temporary exchange key
//   /api/report    anything  -> written to the --report FILE (only with
//                                that option: unattended runs of ?auto=)
// Failures answer {error} with status 400 (bad input) or 422 (CA refused).
"use strict";

const http = require("http");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { execFile } = require("child_process");

const MAX_BODY = 64 * 1024;
const HERE = __dirname;
const FILES = {
  "/": [path.join(HERE, "index.html"), "text/html; charset=utf-8"],
  "/index.html": [path.join(HERE, "index.html"), "text/html; charset=utf-8"],
  "/app.js": [path.join(HERE, "app.js"), "text/javascript; charset=utf-8"],
  "/style.css": [path.join(HERE, "style.css"), "text/css; charset=utf-8"],
  "/tessaro-client.js": [path.join(HERE, "..", "client", "tessaro-client.js"), "text/javascript; charset=utf-8"],
};

function parseArgs(argv) {
  const o = { port: 0, bind: "127.0.0.1", testca: "", caDir: "", report: "", stdinLifetime: false };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const v = () => {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      return argv[++i];
    };
    if (a === "--port") o.port = Number(v());
    else if (a === "--bind") o.bind = v();
    else if (a === "--testca") o.testca = v();
    else if (a === "--ca-dir") o.caDir = v();
    else if (a === "--report") o.report = v();
    else if (a === "--exit-with-stdin") o.stdinLifetime = true;
    else throw new Error(`unknown argument ${a}`);
  }
  if (!o.testca) throw new Error("--testca PATH is required");
  if (!Number.isInteger(o.port) || o.port < 0 || o.port > 65535) throw new Error("bad --port");
  return o;
}

function run(file, args, input) {
  return new Promise((resolve) => {
    const child = execFile(file, args, { timeout: 60000, maxBuffer: 4 * 1024 * 1024 }, (err, stdout, stderr) => {
      resolve({ code: err ? (typeof err.code === "number" ? err.code : -1) : 0, stdout, stderr });
    });
    if (input !== undefined) child.stdin.end(input);
  });
}

// A Base64 request as the agent makes it: Base64 characters in lines.
function checkRequestText(r) {
  if (typeof r !== "string" || r.length === 0) return "request must be a non-empty string";
  if (r.length > 48 * 1024) return "request is too long";
  if (!/^[A-Za-z0-9+/=\r\n]+$/.test(r)) return "request is not Base64 text";
  return null;
}

function createServer(opts) {
  const testca = opts.testca;
  const caDir = opts.caDir;

  async function api(route, body) {
    if (route === "/api/report" && opts.report) {
      fs.writeFileSync(opts.report + ".part", JSON.stringify(body));
      fs.renameSync(opts.report + ".part", opts.report);
      return [200, {}];
    }
    const bad = checkRequestText(body && body.request);
    if (bad) return [400, { error: bad }];
    if (route === "/api/check") {
      const r = await run(testca, ["check", "--in", "-"], body.request);
      if (r.code !== 0) return [422, { error: r.stderr.trim() || "the CA could not read the request" }];
      return [200, JSON.parse(r.stdout)];
    }
    if (route === "/api/issue") {
      const r = await run(testca, ["issue", caDir, "--in", "-", "--usage", "sign"], body.request);
      if (r.code !== 0) return [422, { error: r.stderr.trim() || "the CA refused the request" }];
      return [200, { certificate: r.stdout.replace(/\s+/g, "") }];
    }
    if (route === "/api/envelope") {
      const r = await run(testca, ["envelope", caDir, "--in", "-"], body.request);
      if (r.code !== 0) return [422, { error: r.stderr.trim() || "the CA refused the request" }];
      const j = JSON.parse(r.stdout);
      // The CA's copy of the private key stays here.
      return [200, { certificate: j.certificate, envelope: j.envelope, algorithm: j.algorithm, keyBits: j.keyBits }];
    }
    return [404, { error: "no such API" }];
  }

  return http.createServer((req, res) => {
    const url = new URL(req.url, "http://x");
    const send = (status, type, data) => {
      res.writeHead(status, {
        "Content-Type": type,
        "Cache-Control": "no-store",
        "X-Content-Type-Options": "nosniff",
      });
      res.end(data);
    };
    const json = (status, obj) => send(status, "application/json; charset=utf-8", JSON.stringify(obj));

    if (req.method === "GET" && FILES[url.pathname]) {
      const [file, type] = FILES[url.pathname];
      fs.readFile(file, (err, data) => (err ? send(500, "text/plain", "cannot read page") : send(200, type, data)));
      return;
    }
    if (req.method !== "POST" || !url.pathname.startsWith("/api/")) {
      send(404, "text/plain", "not found");
      return;
    }
    let size = 0;
    const chunks = [];
    let refused = false;
    req.on("data", (c) => {
      size += c.length;
      if (size > MAX_BODY) {
        if (!refused) json(413, { error: "request body too large" });
        refused = true;
        req.destroy();
        return;
      }
      chunks.push(c);
    });
    req.on("end", async () => {
      if (refused) return;
      let body;
      try {
        body = JSON.parse(Buffer.concat(chunks).toString("utf8"));
      } catch (e) {
        json(400, { error: "body is not JSON" });
        return;
      }
      try {
        const [status, obj] = await api(url.pathname, body);
        json(status, obj);
      } catch (e) {
        json(500, { error: String(e && e.message || e) });
      }
    });
  });
}

async function main() {
  let opts;
  try {
    opts = parseArgs(process.argv.slice(2));
  } catch (e) {
    process.stderr.write(`server: ${e.message}\n`);
    process.exit(2);
  }
  let tempDir = null;
  if (!opts.caDir) {
    tempDir = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-site-"));
    opts.caDir = path.join(tempDir, "ca");
  }
  if (!fs.existsSync(path.join(opts.caDir, "rsa-ca.cert.pem"))) {
    const r = await run(opts.testca, ["init", opts.caDir]);
    if (r.code !== 0) {
      process.stderr.write(`server: tessaro-testca init failed: ${r.stderr}\n`);
      process.exit(1);
    }
  }
  const server = createServer(opts);
  const stop = () => {
    server.close();
    if (tempDir) fs.rmSync(tempDir, { recursive: true, force: true });
    process.exit(0);
  };
  process.on("SIGTERM", stop);
  process.on("SIGINT", stop);
  if (opts.stdinLifetime) {
    // Started by a program that may die without stopping us: go when it goes.
    process.stdin.on("end", stop);
    process.stdin.on("error", stop);
    process.stdin.resume();
  }
  server.listen(opts.port, opts.bind, () => {
    const a = server.address();
    const host = a.family === "IPv6" ? `[${a.address}]` : a.address;
    process.stdout.write(`listening http://${host}:${a.port}/\n`);
  });
}

if (require.main === module) main();
module.exports = { createServer, checkRequestText };
