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

// The site on loopback; resolves when it listens.
function startSite({ testca, bind = "127.0.0.1", caDir, report } = {}) {
  const args = [path.join(ROOT, "browser", "site", "server.js"), "--testca", testca || path.join(buildDir(), "tessaro-testca"),
    "--bind", bind, "--port", "0"];
  if (caDir) args.push("--ca-dir", caDir);
  if (report) args.push("--report", report);
  args.push("--exit-with-stdin");
  const child = spawn(process.execPath, args, { stdio: ["pipe", "pipe", "pipe"] });
  let err = "";
  child.stderr.on("data", (d) => { err += d; });
  return new Promise((resolve, reject) => {
    let out = "";
    const timer = setTimeout(() => { child.kill("SIGKILL"); reject(new Error(`site did not start: ${err}`)); }, 30000);
    child.stdout.on("data", (d) => {
      out += d;
      const m = /listening (http:\/\/\S+)/.exec(out);
      if (m) {
        clearTimeout(timer);
        resolve({
          url: m[1],
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
async function startBrowser({ host, env = {}, headless = true, ownSignals = false } = {}) {
  const { chromium } = require("playwright-core");
  const work = tempDir("browser");
  const profile = path.join(work, "profile");
  const prefix = path.join(work, "prefix");
  fs.mkdirSync(prefix, { recursive: true, mode: 0o700 });
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
    fs.rmSync(work, { recursive: true, force: true });
    throw e;
  }
  return {
    context,
    prefix,
    work,
    stop: async () => {
      await context.close().catch(() => {});
      fs.rmSync(work, { recursive: true, force: true });
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

module.exports = {
  ROOT, EXTENSION_DIR, EXTENSION_ID, HOST_NAME, CHROMIUM, buildDir, tempDir, startSite, startBrowser,
  writeHostManifest, fakeHost, hostProcesses, waitFor, chromiumStarts,
};
