#!/usr/bin/env node
// Browser-side pieces without a browser: the extension's origin list, the page
// client against a simulated extension, and the site's API against a stand-in
// CA. Run: node --test unit.js
"use strict";
const test = require("node:test");
const assert = require("assert/strict");
const fs = require("fs");
const os = require("os");
const path = require("path");
const http = require("http");

const ROOT = path.resolve(__dirname, "..", "..");
const { TESSARO_ALLOWED_ORIGINS, tessaroOriginAllowed, tessaroOriginServed, tessaroReadManaged } = require(path.join(ROOT, "browser/extension/origins.js"));
const { TessaroClient } = require(path.join(ROOT, "browser/client/tessaro-client.js"));
const { createServer } = require(path.join(ROOT, "browser/site/server.js"));

test("origin list: loopback on any port, nothing else", () => {
  const yes = ["http://127.0.0.1:8080", "http://127.0.0.1", "http://localhost:1", "http://LOCALHOST:65535",
    "http://[::1]:5000"];
  const no = ["http://127.0.0.2:8080", "https://127.0.0.1:8080", "http://127.0.0.1.evil.example:80",
    "http://evil.example", "null", "", "file://", "http://localhost.evil.example:1", "chrome-extension://abc",
    "http://[::2]:80", undefined];
  for (const o of yes) assert.equal(tessaroOriginAllowed(o, TESSARO_ALLOWED_ORIGINS), true, o);
  for (const o of no) assert.equal(tessaroOriginAllowed(o, TESSARO_ALLOWED_ORIGINS), false, String(o));
  const bank = ["https://bank.example", "http://intranet.example:8443"];
  assert.equal(tessaroOriginAllowed("https://bank.example", bank), true);
  assert.equal(tessaroOriginAllowed("https://bank.example:443", bank), true);
  assert.equal(tessaroOriginAllowed("https://bank.example:8443", bank), false);
  assert.equal(tessaroOriginAllowed("http://bank.example", bank), false);
  assert.equal(tessaroOriginAllowed("http://intranet.example:8443", bank), true);
  assert.equal(tessaroOriginAllowed("http://intranet.example", bank), false);
});

test("managed origins only narrow the built list; an empty one serves nothing", async () => {
  const built = ["https://bank.example", "http://127.0.0.1:*"];
  assert.equal(tessaroOriginServed("https://bank.example", built, null), true);
  assert.equal(tessaroOriginServed("https://bank.example", built, ["https://bank.example"]), true);
  assert.equal(tessaroOriginServed("http://127.0.0.1:8080", built, ["https://bank.example"]), false);
  assert.equal(tessaroOriginServed("http://127.0.0.1:8080", built, ["http://127.0.0.1:8080"]), true);
  assert.equal(tessaroOriginServed("http://127.0.0.1:9", built, ["http://127.0.0.1:8080"]), false);
  // A managed origin outside the built list stays unserved.
  assert.equal(tessaroOriginServed("https://evil.example", built, ["https://evil.example"]), false);
  assert.equal(tessaroOriginServed("https://bank.example", built, []), false);
  assert.equal(tessaroOriginServed("https://bank.example", built, [7, "https://bank.example"]), true);
  const managed = (get) => ({ storage: { managed: { get } } });
  assert.deepEqual(await tessaroReadManaged(managed(async () => ({ allowedOrigins: [] }))), []);
  assert.equal(await tessaroReadManaged(managed(async () => ({}))), null);
  assert.equal(await tessaroReadManaged(managed(() => Promise.reject(new Error("no manifest")))), null);
  assert.equal(await tessaroReadManaged({}), null);
  // An unanswered read gives way to the built list; its late answer is passed on.
  let answerLate;
  const late = [];
  const read = tessaroReadManaged(managed(() => new Promise((r) => { answerLate = r; })), 20, (v) => late.push(v));
  assert.equal(await read, undefined);
  answerLate({ allowedOrigins: ["https://bank.example"] });
  await new Promise((r) => setImmediate(r));
  assert.deepEqual(late, [["https://bank.example"]]);
});

// A page window whose extension is simulated by `answer(message)`.
function fakeWindow(answer) {
  const listeners = new Set();
  const win = {
    location: { origin: "http://127.0.0.1:9" },
    sent: [],
    addEventListener: (t, f) => listeners.add(f),
    removeEventListener: (t, f) => listeners.delete(f),
    deliver(data, origin = "http://127.0.0.1:9", source = win) {
      for (const f of Array.from(listeners)) f({ source, origin, data });
    },
    postMessage(data, origin) {
      assert.equal(origin, "http://127.0.0.1:9");
      if (data.channel !== "tessaro-page") return;  // our own answers come back here too
      win.sent.push(data);
      setImmediate(() => answer && answer(data, win));
    },
  };
  return win;
}

const reply = (win, message) => win.deliver({ channel: "tessaro-extension", type: "response", message });

test("client: answers by randomId, failures described by GetLastErrorDesc", async () => {
  let last = 0;
  const win = fakeWindow((d, w) => {
    if (d.type === "ping") return w.deliver({ channel: "tessaro-extension", type: "pong", version: "1.0.0" });
    const m = d.message;
    if (m.function === "KEVO_SetKeyAlgorithm") {
      last = -1610144767;
      return reply(w, { function: m.function, errorcode: last, result: false, randomId: m.randomId });
    }
    if (m.function === "GetLastErrorDesc") {
      return reply(w, { function: "KEVO_GetLastErrorDesc", errorcode: 0, result: "Invalid key algorithm.\n(0xa0072401)", randomId: m.randomId });
    }
    // A stray answer with an unknown id first, then the real one: only the id counts.
    reply(w, { function: m.function, errorcode: 0, result: "stray", randomId: "not-ours" });
    reply(w, { function: m.function, errorcode: 0, result: m.function === "KEVO_SetCSPInfo" ? true : "3.2.0.2", randomId: m.randomId });
  });
  const c = new TessaroClient({ window: win, timeoutMs: 2000 });
  assert.equal(await c.ready(), "1.0.0");
  assert.equal(await c.getVersion(), "3.2.0.2");
  assert.equal(await c.setCSPInfo(2048, "P"), true);
  await assert.rejects(c.setKeyAlgorithm("DSA"), (e) => {
    assert.equal(e.name, "TessaroError");
    assert.equal(e.code, -1610144767);
    assert.equal(e.description, "Invalid key algorithm.\n(0xa0072401)");
    assert.equal(e.function, "KEVO_SetKeyAlgorithm");
    return true;
  });
  const requests = win.sent.filter((d) => d.type === "request").map((d) => d.message);
  assert.deepEqual(requests.map((m) => [m.function, m.params]), [
    ["KEVO_GetVersion", []], ["KEVO_SetCSPInfo", [2048, "P"]], ["KEVO_SetKeyAlgorithm", ["DSA"]], ["GetLastErrorDesc", []],
  ]);
  const ids = requests.map((m) => m.randomId);
  assert.equal(new Set(ids).size, ids.length);
  for (const id of ids) assert.match(id, /^[0-9a-f]{16}$/);
  c.close();
});

test("client: wrong argument types never leave the page", async () => {
  const win = fakeWindow(null);
  const c = new TessaroClient({ window: win, timeoutMs: 500 });
  const cases = [
    [() => c.setCSPInfo("2048", "P"), "keyLength must be a 32-bit integer"],
    [() => c.setCSPInfo(2048.5, "P"), "keyLength must be a 32-bit integer"],
    [() => c.setCSPInfo(2 ** 31, "P"), "keyLength must be a 32-bit integer"],
    [() => c.setCSPInfo(2048, null), "cspName must be a string"],
    [() => c.pkcs10CertRequisition("CN=x", "2"), "certType must be a 32-bit integer"],
    [() => c.importEncryptCert("e", "c", 5), "containerName must be a string"],
    [() => c.getAllCertInfo(undefined), "cspName must be a string"],
  ];
  for (const [call, text] of cases) {
    await assert.rejects(call(), (e) => e.code === "BAD_ARGUMENT" && e.description === text, text);
  }
  assert.deepEqual(win.sent.filter((d) => d.type === "request"), []);
  c.close();
});

test("client: the host's unaddressed fallback answer goes to the oldest call", async () => {
  const win = fakeWindow((d, w) => {
    if (d.type !== "request") return;
    const m = d.message;
    if (m.function === "GetLastErrorDesc") return reply(w, { function: "KEVO_GetLastErrorDesc", errorcode: 0, result: "desc", randomId: m.randomId });
    reply(w, { function: "", errorcode: -2146893779, result: false });
  });
  const c = new TessaroClient({ window: win, timeoutMs: 1000 });
  await assert.rejects(c.getContainer(), (e) =>
    e.code === -2146893779 && e.description === "The host could not read the request.");
  // No description was asked for: the agent never saw the request.
  assert.equal(win.sent.filter((d) => d.type === "request").length, 1);
  c.close();
});

test("client: missing extension, silent host and lost host end in clear rejections", async () => {
  const silent = fakeWindow(null);
  const c1 = new TessaroClient({ window: silent, timeoutMs: 200, readyTimeoutMs: 100 });
  await assert.rejects(c1.ready(), (e) => e.code === "EXTENSION_MISSING");
  await assert.rejects(c1.getVersion(), (e) => e.code === "TIMEOUT" &&
    /extension is not installed or does not serve this site/.test(e.description));
  c1.close();

  const lost = fakeWindow((d, w) => {
    if (d.type === "ping") return w.deliver({ channel: "tessaro-extension", type: "pong", version: "1" });
    w.deliver({ channel: "tessaro-extension", type: "disconnected", reason: "Native host has exited." });
  });
  const c2 = new TessaroClient({ window: lost, timeoutMs: 5000 });
  await c2.ready();
  const t0 = Date.now();
  await assert.rejects(c2.getCSPInfo(), (e) => e.code === "DISCONNECTED" &&
    e.description === "The enrollment host is not available: Native host has exited.");
  assert.ok(Date.now() - t0 < 2000);
  c2.close();

  // Messages from another window or origin are ignored.
  const w3 = fakeWindow((d, w) => {
    if (d.type !== "request") return;
    w.deliver({ channel: "tessaro-extension", type: "response", message: { errorcode: 0, result: "x", randomId: d.message.randomId } }, "http://evil.example");
    w.deliver({ channel: "tessaro-extension", type: "response", message: { errorcode: 0, result: "x", randomId: d.message.randomId } }, undefined, {});
  });
  const c3 = new TessaroClient({ window: w3, timeoutMs: 300 });
  await assert.rejects(c3.getVersion(), (e) => e.code === "TIMEOUT");
  c3.close();
});

// The site's API with a stand-in CA program.
test("site: pages, API refusals, and the CA's private key never served", async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-site-unit-"));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const ca = path.join(dir, "ca.sh");
  fs.writeFileSync(ca, `#!/bin/sh
in=$(cat)
[ "$in" = "REFUSE" ] && { echo "signature does not verify" >&2; exit 3; }
case "$1" in
  check) echo '{"algorithm":"RSA","keyBits":2048}';;
  issue) printf 'MIIB\\r\\nAAAA\\n';;
  envelope) echo '{"algorithm":"RSA","keyBits":2048,"certificate":"CERT","envelope":"ENV","privateKeyPem":"SECRET"}';;
esac
`, { mode: 0o755 });
  const server = createServer({ testca: ca, caDir: dir });
  await new Promise((r) => server.listen(0, "127.0.0.1", r));
  t.after(() => server.close());
  const base = `http://127.0.0.1:${server.address().port}`;
  const req = (method, p, body) => new Promise((resolve, reject) => {
    const r = http.request(base + p, { method }, (res) => {
      let data = "";
      res.on("data", (d) => { data += d; });
      res.on("end", () => resolve({ status: res.statusCode, type: res.headers["content-type"], body: data }));
    });
    r.on("error", reject);
    if (body !== undefined) r.write(body);
    r.end();
  });
  const page = await req("GET", "/");
  assert.equal(page.status, 200);
  assert.match(page.body, /<script src="\/tessaro-client.js">/);
  assert.equal((await req("GET", "/tessaro-client.js")).status, 200);
  assert.equal((await req("GET", "/../server.js")).status, 404);
  assert.equal((await req("GET", "/server.js")).status, 404);

  const post = async (p, obj) => {
    const r = await req("POST", p, typeof obj === "string" ? obj : JSON.stringify(obj));
    return [r.status, JSON.parse(r.body)];
  };
  assert.deepEqual(await post("/api/issue", { request: "MIIB\r\nAAAA" }), [200, { certificate: "MIIBAAAA" }]);
  assert.deepEqual(await post("/api/check", { request: "MIIB" }), [200, { algorithm: "RSA", keyBits: 2048 }]);
  assert.deepEqual(await post("/api/envelope", { request: "MIIB" }),
    [200, { certificate: "CERT", envelope: "ENV", algorithm: "RSA", keyBits: 2048 }]);
  assert.deepEqual(await post("/api/issue", { request: "REFUSE" }), [422, { error: "signature does not verify" }]);
  assert.deepEqual(await post("/api/issue", "{not json"), [400, { error: "body is not JSON" }]);
  assert.deepEqual(await post("/api/issue", { request: "" }), [400, { error: "request must be a non-empty string" }]);
  assert.deepEqual(await post("/api/issue", { request: 5 }), [400, { error: "request must be a non-empty string" }]);
  assert.deepEqual(await post("/api/issue", { request: "MIIB; rm -rf /" }), [400, { error: "request is not Base64 text" }]);
  assert.deepEqual(await post("/api/issue", { request: "A".repeat(50000) }), [400, { error: "request is too long" }]);
  assert.deepEqual(await post("/api/nothing", { request: "MIIB" }), [404, { error: "no such API" }]);
  assert.deepEqual(await post("/api/report", { request: "MIIB" }), [404, { error: "no such API" }]);
  const big = await req("POST", "/api/issue", "x".repeat(70000)).catch((e) => ({ status: "reset" }));
  assert.ok(big.status === 413 || big.status === "reset", String(big.status));
  // A request target that is no URL is refused, and the site goes on serving.
  const raw = await new Promise((resolve, reject) => {
    const sock = require("net").connect(server.address().port, "127.0.0.1", () => sock.end("GET http://[ HTTP/1.1\r\nHost: x\r\n\r\n"));
    let data = "";
    sock.on("data", (d) => { data += d; });
    sock.on("end", () => resolve(data));
    sock.on("error", reject);
  });
  assert.match(raw, /^HTTP\/1\.1 400 /);
  assert.equal((await req("GET", "/")).status, 200);
});
