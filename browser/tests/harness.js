// Shared pieces of the browser tests, the benchmark and the demo: the site
// server, Chromium with the extension loaded and a host registered in its own
// profile, and an enrollment prefix, each in a temporary folder removed at stop.
"use strict";
const { spawn, execFileSync } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");

const ROOT = path.resolve(__dirname, "..", "..");
const EXTENSION_DIR = path.join(ROOT, "browser", "extension");
const EXTENSION_ID = "cjeammpeofkbcchcphlnhjkoapomnifi";
const HOST_NAME = "com.tessaro.qirtal";
const CHROMIUM = process.env.TESSARO_CHROMIUM || "/usr/bin/chromium";
const CHROMIUM_FLAGS = [
  "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync",
  "--disable-default-apps", "--no-default-browser-check",
];

function tempDir(tag) {
  return fs.mkdtempSync(path.join(os.tmpdir(), `tessaro-${tag}-`));
}

function buildDir() {
  const b = process.env.TESSARO_BUILD_DIR || path.join(ROOT, "build");
  return path.resolve(b);
}

// The site on loopback; resolves when both listeners listen (url: the
// enrollment page, loginUrl: the HTTPS page that wants a client certificate).
function startSite({ testca, bind = "127.0.0.1", caDir, report, tlsPort = 0, tlsMax, loginReport } = {}) {
  const args = [path.join(ROOT, "browser", "site", "server.js"), "--testca", testca || path.join(buildDir(), "tessaro-testca"),
    "--bind", bind, "--port", "0", "--tls-port", String(tlsPort)];
  if (caDir) args.push("--ca-dir", caDir);
  if (report) args.push("--report", report);
  if (tlsMax) args.push("--tls-max", tlsMax);
  if (loginReport) args.push("--login-report", loginReport);
  args.push("--exit-with-stdin");
  const child = spawn(process.execPath, args, { stdio: ["pipe", "pipe", "pipe"] });
  let err = "";
  child.stderr.on("data", (d) => { err += d; });
  return new Promise((resolve, reject) => {
    let out = "";
    const timer = setTimeout(() => { child.kill("SIGKILL"); reject(new Error(`site did not start: ${err}`)); }, 30000);
    child.stdout.on("data", (d) => {
      out += d;
      const m = /listening (http:\/\/\S+)\nlistening-tls (https:\/\/\S+)\n/.exec(out);
      if (m) {
        clearTimeout(timer);
        resolve({
          url: m[1],
          loginUrl: m[2],
          stop: () => new Promise((r) => {
            if (child.exitCode !== null) return r();
            child.once("exit", () => r());
            child.kill("SIGTERM");
          }),
        });
      }
    });
    child.once("exit", (code) => { clearTimeout(timer); reject(new Error(`site exited ${code}: ${err}`)); });
  });
}

function writeHostManifest(dir, hostPath, extensionId = EXTENSION_ID) {
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, `${HOST_NAME}.json`), JSON.stringify({
    name: HOST_NAME,
    description: "Tessaro certificate enrollment host (test)",
    path: hostPath,
    type: "stdio",
    allowed_origins: [`chrome-extension://${extensionId}/`],
  }, null, 2));
}

// A script that starts `node fake-host.js MODE` (a manifest names one program).
function fakeHost(dir, mode) {
  const p = path.join(dir, `fake-host-${mode}.sh`);
  fs.writeFileSync(p, `#!/bin/sh\nexec "${process.execPath}" "${path.join(__dirname, "fake-host.js")}" ${mode}\n`, { mode: 0o755 });
  return p;
}

// Chromium with the extension; host: path for the manifest (null: none
// registered). env: added to the browser's (and so the host's) environment.
// home: true gives the browser a HOME of its own (work/home), whose NSS
// database Chromium reads for client certificates and trust. workDir: the
// caller's folder for profile, prefix and home, kept at stop (a second start
// finds the same profile and enrolled state).
async function startBrowser({ host, env = {}, headless = true, ownSignals = false, home = false, workDir } = {}) {
  const { chromium } = require("playwright-core");
  const work = workDir || tempDir("browser");
  const removeWork = () => { if (!workDir) fs.rmSync(work, { recursive: true, force: true }); };
  const profile = path.join(work, "profile");
  const prefix = path.join(work, "prefix");
  fs.mkdirSync(prefix, { recursive: true, mode: 0o700 });
  if (home) {
    env = Object.assign({ HOME: path.join(work, "home") }, env);
    fs.mkdirSync(env.HOME, { recursive: true, mode: 0o700 });
  }
  // Without a display, root's Chromium needs no sandbox; with one, only root does.
  const noSandbox = headless || process.getuid() === 0;
  if (host) writeHostManifest(path.join(profile, "NativeMessagingHosts"), host);
  const args = CHROMIUM_FLAGS.filter((f) => (headless || f !== "--headless=new") && (noSandbox || f !== "--no-sandbox")).concat([
    `--load-extension=${EXTENSION_DIR}`, `--disable-extensions-except=${EXTENSION_DIR}`,
  ]);
  let context;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: CHROMIUM,
      headless: false,
      args,
      env: Object.assign({}, process.env, { TESSARO_PREFIX: prefix, LANG: "en_US.UTF-8", LC_ALL: "", LC_MESSAGES: "" }, env),
      timeout: 60000,
      // A caller with its own SIGINT/SIGTERM handling stops the browser itself.
      handleSIGINT: !ownSignals,
      handleSIGTERM: !ownSignals,
      viewport: headless ? { width: 1200, height: 900 } : null,
    });
  } catch (e) {
    removeWork();
    throw e;
  }
  return {
    context,
    prefix,
    work,
    home: env.HOME,
    stop: async () => {
      await context.close().catch(() => {});
      removeWork();
    },
  };
}

// Host processes started for this prefix (by their environment).
function hostProcesses(prefix) {
  const out = [];
  for (const pid of fs.readdirSync("/proc")) {
    if (!/^\d+$/.test(pid)) continue;
    try {
      const env = fs.readFileSync(`/proc/${pid}/environ`, "utf8");
      const exe = fs.readlinkSync(`/proc/${pid}/exe`);
      if (/TessaroHost/.test(exe) && env.split("\0").includes(`TESSARO_PREFIX=${prefix}`)) out.push(Number(pid));
    } catch (e) { /* gone or not ours */ }
  }
  return out;
}

async function waitFor(fn, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

// Chromium can start at all here? (The tests are skipped, loudly, if not.)
function chromiumStarts() {
  const dir = tempDir("probe");
  try {
    execFileSync(CHROMIUM, ["--headless=new", "--no-sandbox", "--disable-gpu", `--user-data-dir=${dir}`,
      "--dump-dom", "about:blank"], { timeout: 60000, stdio: ["ignore", "pipe", "pipe"] });
    return true;
  } catch (e) {
    return false;
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

// A quiet Firefox profile: unsigned add-ons allowed, nothing fetched.
const FIREFOX_PREFS = {
  "xpinstall.signatures.required": false,
  "extensions.autoDisableScopes": 0,
  "extensions.enabledScopes": 15,
  "extensions.update.enabled": false,
  "app.update.enabled": false,
  "browser.shell.checkDefaultBrowser": false,
  "browser.startup.homepage_override.mstone": "ignore",
  "datareporting.policy.dataSubmissionEnabled": false,
  "toolkit.telemetry.reportingpolicy.firstRun": false,
  "browser.safebrowsing.malware.enabled": false,
  "browser.safebrowsing.phishing.enabled": false,
  "network.captive-portal-service.enabled": false,
  "network.connectivity-service.enabled": false,
  "browser.newtabpage.enabled": false,
  "extensions.getAddons.cache.enabled": false,
};

// A Firefox run's own folders below work (home, profile with the packaged
// add-on, prefix), the host registered for that home by tessaro-register,
// and the environment to start Firefox with. prefs(more) writes user.js.
function firefoxProfile(work, host) {
  const home = path.join(work, "home");
  const profile = path.join(work, "profile");
  const prefix = path.join(work, "prefix");
  for (const d of [home, path.join(profile, "extensions"), prefix]) fs.mkdirSync(d, { recursive: true, mode: 0o700 });
  const env = Object.assign({}, process.env, { HOME: home, TESSARO_PREFIX: prefix, MOZ_HEADLESS: "1", LANG: "en_US.UTF-8" });
  delete env.DISPLAY;
  execFileSync(path.join(buildDir(), "tessaro-register"), ["install", "--host", host], { env, stdio: "pipe" });
  execFileSync(path.join(ROOT, "browser", "extension-firefox", "package.sh"),
    [path.join(profile, "extensions", "enroll@tessaro.example.xpi")], { stdio: "pipe" });
  const prefs = (more = {}) => fs.writeFileSync(path.join(profile, "user.js"),
    Object.entries(Object.assign({}, FIREFOX_PREFS, more))
      .map(([k, v]) => `user_pref(${JSON.stringify(k)}, ${JSON.stringify(v)});\n`).join(""));
  return { home, profile, prefix, env, prefs };
}

// --- Logging in with a client certificate -------------------------------

const MODULE_NAME = "Tessaro Certificates";
const POLICY_DIR = process.env.TESSARO_CHROMIUM_POLICY_DIR || "/etc/chromium/policies/managed";

function haveProgram(name) {
  return (process.env.PATH || "").split(":").some((d) => {
    try { fs.accessSync(path.join(d || ".", name), fs.constants.X_OK); return true; } catch (e) { return false; }
  });
}

function nssTool(tool, args, input) {
  return execFileSync(tool, args, { input: input === undefined ? "" : input, stdio: ["pipe", "pipe", "pipe"], timeout: 60000 }).toString();
}

// An empty NSS database (no password) in dir, made if missing.
function nssCreate(dir) {
  fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  if (!fs.existsSync(path.join(dir, "cert9.db"))) nssTool("certutil", ["-N", "-d", `sql:${dir}`, "--empty-password"]);
}

// The test CA's root, trusted to identify web servers.
function nssTrustCa(dir, caDir) {
  nssTool("certutil", ["-A", "-d", `sql:${dir}`, "-n", "Tessaro Test RSA Root CA", "-t", "C,,", "-i",
    path.join(caDir, "rsa-root.cert.pem")]);
}

// The PKCS#11 module loaded by the database, as NSS's own tool does it.
function nssAddModule(dir, lib) {
  nssTool("modutil", ["-dbdir", `sql:${dir}`, "-add", MODULE_NAME, "-libfile", lib, "-force"]);
  const list = nssTool("modutil", ["-dbdir", `sql:${dir}`, "-list", MODULE_NAME, "-force"]);
  if (!/Tessaro Certificates/.test(list)) throw new Error(`modutil lists no ${MODULE_NAME}: ${list}`);
}

// Where Chromium reads its NSS database under a HOME. Chromium 156 takes
// ~/.pki/nssdb when that folder exists, else $XDG_DATA_HOME/pki/nssdb
// (~/.local/share/pki/nssdb), which it makes; made before the browser
// starts, ~/.pki/nssdb is the one read.
function chromiumNssDir(home) {
  return path.join(home, ".pki", "nssdb");
}

// A client certificate and key of the test CA for subject, made outside the
// agent (OpenSSL), as PKCS#12 with an empty password: the reference a
// browser reads from NSS's own database.
function makeClientP12(dir, caDir, subject, testca = path.join(buildDir(), "tessaro-testca")) {
  const key = path.join(dir, "client.key.pem");
  const csr = path.join(dir, "client.csr.der");
  const p12 = path.join(dir, "client.p12");
  // OpenSSL's -subj lists the most significant attribute first.
  const subj = "/" + subject.split(",").reverse().join("/");
  execFileSync("openssl", ["req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-subj", subj,
    "-outform", "DER", "-out", csr], { stdio: "pipe", timeout: 60000 });
  const b64 = execFileSync(testca, ["issue", caDir, "--in", "-"], { input: fs.readFileSync(csr).toString("base64"), timeout: 60000 })
    .toString().trim();
  const certPem = `-----BEGIN CERTIFICATE-----\n${b64.match(/.{1,64}/g).join("\n")}\n-----END CERTIFICATE-----\n`;
  fs.writeFileSync(path.join(dir, "client.cert.pem"), certPem);
  // The certificate and key alone, as the module offers them: no issuing CA.
  execFileSync("openssl", ["pkcs12", "-export", "-inkey", key, "-in", path.join(dir, "client.cert.pem"),
    "-name", "reference", "-passout", "pass:", "-out", p12],
  { stdio: "pipe", timeout: 60000 });
  return { p12, certB64: b64 };
}

function nssImportP12(dir, p12) {
  nssTool("pk12util", ["-i", p12, "-d", `sql:${dir}`, "-W", ""]);
}

// Written policy files, removed on every way out of the process: at exit, on
// signals, and by a watcher outside our process tree for a kill that leaves
// no handler running (a runner's timeout).
// file -> the folders made for it (deepest first), removed when empty.
const policies = new Map();
function removePolicy(file) {
  try { fs.unlinkSync(file); } catch (e) { /* gone */ }
  for (const d of policies.get(file) || []) {
    try { fs.rmdirSync(d); } catch (e) { /* not empty: another's policy */ }
  }
  policies.delete(file);
}
function removePolicies() {
  for (const f of Array.from(policies.keys())) removePolicy(f);
}
let policyHooks = false;
function hookPolicyCleanup() {
  if (policyHooks) return;
  policyHooks = true;
  process.on("exit", removePolicies);
  for (const sig of ["SIGINT", "SIGTERM", "SIGHUP"]) {
    process.on(sig, () => {
      removePolicies();
      // A caller with a handler of its own ends the process its way.
      if (process.listenerCount(sig) === 1) process.exit(128 + os.constants.signals[sig]);
    });
  }
}
function watchPolicy(file, made) {
  const script = `(trap '' HUP INT TERM; while kill -0 ${process.pid} 2>/dev/null; do sleep 1; done; rm -f -- "$1"; ` +
    `shift; for d in "$@"; do rmdir -- "$d" || break; done) </dev/null >/dev/null 2>&1 &`;
  spawn("/bin/sh", ["-c", script, "sh", file, ...made], { stdio: "ignore" }).unref();
}

// Chromium's managed policy that picks a client certificate, without asking,
// for one origin only. Returns {file, remove}, or {skip: reason} where it
// cannot be written (not root, no policy folder).
function writeCertificatePolicy(origin, tag) {
  if (process.getuid() !== 0) return { skip: `not root: cannot write Chromium's managed policy in ${POLICY_DIR}` };
  const made = [];
  for (let d = POLICY_DIR; !fs.existsSync(d); d = path.dirname(d)) made.push(d);
  try {
    fs.mkdirSync(POLICY_DIR, { recursive: true, mode: 0o755 });
  } catch (e) {
    return { skip: `cannot make ${POLICY_DIR}: ${e.message}` };
  }
  hookPolicyCleanup();
  const file = path.join(POLICY_DIR, `tessaro-login-${tag}.json`);
  policies.set(file, made);
  watchPolicy(file, made);
  fs.writeFileSync(file, JSON.stringify({
    AutoSelectCertificateForUrls: [JSON.stringify({ pattern: origin, filter: {} })],
  }) + "\n", { mode: 0o644 });
  return { file, remove: () => removePolicy(file) };
}

// Navigates to the login page with a hard timeout: a certificate the browser
// cannot find or use shows up as a dialog that never closes, not as an error.
async function loginPage(page, url, ms = 30000) {
  let timer;
  const t0 = Date.now();
  try {
    const response = await Promise.race([
      page.goto(url, { timeout: ms, waitUntil: "domcontentloaded" }),
      new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`no answer from ${url} within ${ms} ms (a certificate dialog?)`)), ms + 1000); }),
    ]);
    const welcome = await page.$("#welcome");
    return {
      ms: Date.now() - t0,
      status: response.status(),
      greeting: welcome ? await welcome.textContent() : null,
      subject: welcome ? await welcome.getAttribute("data-subject") : null,
      protocol: (await response.securityDetails() || {}).protocol || null,
      text: await page.innerText("body"),
    };
  } finally {
    clearTimeout(timer);
  }
}

module.exports = {
  ROOT, EXTENSION_DIR, EXTENSION_ID, HOST_NAME, CHROMIUM, CHROMIUM_FLAGS, buildDir, tempDir, startSite, startBrowser,
  writeHostManifest, fakeHost, hostProcesses, waitFor, chromiumStarts, FIREFOX_PREFS, firefoxProfile,
  MODULE_NAME, POLICY_DIR, haveProgram, nssCreate, nssTrustCa, nssAddModule, chromiumNssDir, makeClientP12, nssImportP12,
  writeCertificatePolicy, loginPage,
};
