#!/usr/bin/env node
// The demonstration enrollment site: serves the enrollment page and stands a
// test certification authority (tessaro-testca) behind a small JSON API.
//
//   node server.js --testca BUILD/tessaro-testca [--ca-dir DIR] [--port N]
//                  [--tls-port N] [--tls-max 1.2|1.3] [--login-report FILE]
//                  [--bind 127.0.0.1] [--report FILE] [--exit-with-stdin]
//
// Port 0 (the default) takes a free port. When listening it prints two lines
// on standard output, "listening http://HOST:PORT/" and then
// "listening-tls https://HOST:PORT/". Without --ca-dir a CA is made in a
// temporary folder and removed on exit.
//
// The HTTPS listener is the "log in with your certificate" page: its server
// certificate is issued by the test CA for HOST, 127.0.0.1 and localhost at
// every start; it asks for a client certificate and greets the subject of one
// the test CA issued (RSA hierarchy), and answers 401 to anyone else.
// --tls-max caps the TLS version it speaks (default 1.3; TLS 1.2 at least).
// With --login-report, the page opened as /?report=1 posts what it shows (and
// the server what it saw) to /report, written to FILE: browsers driven
// without an automation protocol.
//
// API (POST, JSON in and out, 64 KiB at most):
//   /api/check     {request}  -> what the CA reads in the request
//   /api/issue     {request}  -> {certificate}          signing certificate
//   /api/envelope  {request}  -> {certificate, envelope} encryption certificate
//                                and its private key wrapped for the
//                                request's temporary exchange key
//   /api/report    anything  -> written to the --report FILE (only with
//                                that option: unattended runs of ?auto=)
//   GET /api/site              -> {login}: the HTTPS page's address
// Failures answer {error} with status 400 (bad input) or 422 (CA refused).
"use strict";

const http = require("http");
const https = require("https");
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
  const o = { port: 0, tlsPort: 0, tlsMax: "1.3", loginReport: "", bind: "127.0.0.1", testca: "", caDir: "", report: "", stdinLifetime: false };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const v = () => {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      return argv[++i];
    };
    if (a === "--port") o.port = Number(v());
    else if (a === "--tls-port") o.tlsPort = Number(v());
    else if (a === "--tls-max") o.tlsMax = v();
    else if (a === "--login-report") o.loginReport = v();
    else if (a === "--bind") o.bind = v();
    else if (a === "--testca") o.testca = v();
    else if (a === "--ca-dir") o.caDir = v();
    else if (a === "--report") o.report = v();
    else if (a === "--exit-with-stdin") o.stdinLifetime = true;
    else throw new Error(`unknown argument ${a}`);
  }
  if (!o.testca) throw new Error("--testca PATH is required");
  if (!Number.isInteger(o.port) || o.port < 0 || o.port > 65535) throw new Error("bad --port");
  if (!Number.isInteger(o.tlsPort) || o.tlsPort < 0 || o.tlsPort > 65535) throw new Error("bad --tls-port");
  if (o.tlsMax !== "1.2" && o.tlsMax !== "1.3") throw new Error("--tls-max is 1.2 or 1.3");
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

// The request's target as a URL; a target that is none (e.g. "http://[")
// is answered 400 here and gives null.
function requestUrl(req, res) {
  try {
    return new URL(req.url, "http://x");
  } catch (e) {
    res.writeHead(400, { "Content-Type": "text/plain", Connection: "close" });
    res.end("bad request target");
    return null;
  }
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
    const url = requestUrl(req, res);
    if (!url) return;
    const send = (status, type, data) => {
      res.writeHead(status, {
        "Content-Type": type,
        "Cache-Control": "no-store",
        "X-Content-Type-Options": "nosniff",
      });
      res.end(data);
    };
    const json = (status, obj) => send(status, "application/json; charset=utf-8", JSON.stringify(obj));

    if (req.method === "GET" && url.pathname === "/api/site") {
      json(200, { login: opts.loginUrl || null });
      return;
    }
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

function escapeHtml(s) {
  return String(s).replace(/[&<>"']/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" })[c]);
}

// RFC 4514 form: most specific name first. Node gives one attribute a line
// (escaped as RFC 2253 says), in the order of the encoding.
function nameText(multiline) {
  return multiline.split("\n").filter(Boolean).reverse().join(",");
}

// Posts what the page shows to /report when opened as /?report=1.
const REPORT_SCRIPT = `<script>
if (new URLSearchParams(location.search).get("report") === "1") {
  const w = document.getElementById("welcome"), n = document.getElementById("needed");
  fetch("/report", { method: "POST", body: JSON.stringify({ title: document.title,
    greeting: w ? w.textContent : null, needed: n ? n.textContent : null }) });
}
</script>`;

// The style inline: one connection, so one handshake, for each visit.
let styleText = null;
function page(title, body) {
  if (styleText === null) styleText = fs.readFileSync(path.join(HERE, "style.css"), "utf8");
  return `<!doctype html>\n<html lang="en"><head><meta charset="utf-8"><link rel="icon" href="data:,">` +
    `<title>${escapeHtml(title)}</title><style>\n${styleText}</style></head>\n<body>\n` +
    `<header><h1>${escapeHtml(title)}</h1></header>\n${body}\n${REPORT_SCRIPT}\n</body></html>\n`;
}

// The HTTPS page that logs in by client certificate. tls: {key, cert, ca}
// (PEM); ca is what a client certificate must chain to. No session is
// resumed and every answer closes its connection, so each visit is a full
// handshake in which the browser signs with the certificate's key.
function createLoginServer(tls, { tlsMax = "1.3", report = "" } = {}) {
  return https.createServer({
    key: tls.key, cert: tls.cert, ca: tls.ca,
    requestCert: true, rejectUnauthorized: false,
    minVersion: "TLSv1.2", maxVersion: tlsMax === "1.2" ? "TLSv1.2" : "TLSv1.3",
    secureOptions: require("crypto").constants.SSL_OP_NO_TICKET,
  }, (req, res) => {
    const url = requestUrl(req, res);
    if (!url) return;
    const send = (status, type, data) => {
      res.writeHead(status, { "Content-Type": type, "Cache-Control": "no-store", "X-Content-Type-Options": "nosniff",
        Connection: "close" });
      res.end(req.method === "HEAD" ? undefined : data);
    };
    const sock = req.socket;
    const seen = () => {
      const peer = sock.authorized ? sock.getPeerX509Certificate() : null;
      return { authorized: sock.authorized, protocol: sock.getProtocol(), resumed: sock.isSessionReused(),
        subject: peer ? nameText(peer.subject) : null, serial: peer ? peer.serialNumber : null };
    };
    if (report && req.method === "POST" && url.pathname === "/report") {
      let body = "";
      req.setEncoding("utf8");
      req.on("data", (d) => { body += d; if (body.length > 8192) req.destroy(); });
      req.on("end", () => {
        let shown;
        try { shown = JSON.parse(body); } catch (e) { return send(400, "text/plain", "body is not JSON"); }
        try {
          fs.writeFileSync(report + ".part", JSON.stringify({ shown, seen: seen() }));
          fs.renameSync(report + ".part", report);
        } catch (e) {
          return send(500, "text/plain", `cannot write the report: ${e.message}`);
        }
        send(200, "text/plain", "ok");
      });
      return;
    }
    if (req.method !== "GET" && req.method !== "HEAD") return send(405, "text/plain", "method not allowed");
    if (url.pathname !== "/") return send(404, "text/plain", "not found");
    const html = "text/html; charset=utf-8";
    const protocol = sock.getProtocol();
    if (!sock.authorized) {
      const peer = sock.getPeerX509Certificate();
      const why = peer ? `The certificate you sent (${escapeHtml(nameText(peer.subject))}) was refused: ${escapeHtml(sock.authorizationError)}.`
        : "Your browser sent no certificate.";
      send(401, html, page("Certificate needed",
        `<p id="needed" class="error">A certificate issued by the Tessaro test CA is needed to log in here.</p>\n` +
        `<p id="reason">${why}</p>\n<p class="muted">Enroll one on the enrollment page, then come back.</p>`));
      return;
    }
    const peer = sock.getPeerX509Certificate();
    const subject = nameText(peer.subject);
    const cipher = sock.getCipher();
    send(200, html, page("Logged in",
      `<p id="welcome" data-subject="${escapeHtml(subject)}">Welcome, ${escapeHtml(subject)}</p>\n<dl>\n` +
      `<dt>Issuer</dt><dd id="issuer">${escapeHtml(nameText(peer.issuer))}</dd>\n` +
      `<dt>Serial number</dt><dd id="serial">${escapeHtml(peer.serialNumber)}</dd>\n` +
      `<dt>Valid to</dt><dd>${escapeHtml(peer.validTo)}</dd>\n` +
      `<dt>Connection</dt><dd id="protocol">${escapeHtml(protocol)}, ${escapeHtml(cipher && cipher.standardName || "")}, ` +
      `${sock.isSessionReused() ? "resumed session" : "new session"}</dd>\n</dl>`));
  });
}

// A fresh server key and certificate by the test CA for the names.
async function makeServerCertificate(testca, caDir, dir, names) {
  const certFile = path.join(dir, "tls-server.cert.pem");
  const keyFile = path.join(dir, "tls-server.key.pem");
  const args = ["server", caDir, "--cert-out", certFile, "--key-out", keyFile];
  for (const n of names) args.push("--name", n);
  const r = await run(testca, args);
  if (r.code !== 0) throw new Error(`tessaro-testca server failed: ${r.stderr.trim()}`);
  return {
    key: fs.readFileSync(keyFile),
    cert: fs.readFileSync(certFile),
    ca: [fs.readFileSync(path.join(caDir, "rsa-ca.cert.pem")), fs.readFileSync(path.join(caDir, "rsa-root.cert.pem"))],
  };
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
  let tlsFiles;
  try {
    const names = Array.from(new Set([opts.bind.replace(/^\[|\]$/g, ""), "127.0.0.1", "localhost"]));
    // In our temporary folder when the CA is ours, else next to the caller's CA.
    tlsFiles = await makeServerCertificate(opts.testca, opts.caDir, tempDir || opts.caDir, names);
  } catch (e) {
    process.stderr.write(`server: ${e.message}\n`);
    if (tempDir) fs.rmSync(tempDir, { recursive: true, force: true });
    process.exit(1);
  }
  const server = createServer(opts);
  const login = createLoginServer(tlsFiles, { tlsMax: opts.tlsMax, report: opts.loginReport });
  const stop = () => {
    server.close();
    login.close();
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
  const listen = (srv, port) => new Promise((resolve, reject) => {
    srv.once("error", reject);
    srv.listen(port, opts.bind, () => {
      const a = srv.address();
      resolve(`${a.family === "IPv6" ? `[${a.address}]` : a.address}:${a.port}`);
    });
  });
  try {
    const plain = await listen(server, opts.port);
    const secure = await listen(login, opts.tlsPort);
    opts.loginUrl = `https://${secure}/`;
    process.stdout.write(`listening http://${plain}/\nlistening-tls ${opts.loginUrl}\n`);
  } catch (e) {
    process.stderr.write(`server: cannot listen: ${e.message}\n`);
    if (tempDir) fs.rmSync(tempDir, { recursive: true, force: true });
    process.exit(1);
  }
}

if (require.main === module) main();
module.exports = { createServer, createLoginServer, checkRequestText };
