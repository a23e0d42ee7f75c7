#!/usr/bin/env node
// Logging in with a client certificate in headless Chromium: the time from
// navigation to the greeting on the site's HTTPS page (one full TLS 1.3
// handshake with client authentication each visit), with the certificate
// served by the Tessaro PKCS#11 module (enrolled through the page) beside
// the reference, a certificate and key of the same kind (RSA-2048, same CA)
// imported into NSS's own database. Each repetition starts both browsers
// afresh and measures the first visit and then VISITS more, each visit in a
// new browser context (its own sockets, sessions and certificate choice, so
// no connection is made ahead of the navigation); the kinds take turns.
//
//   node login.js BUILD_DIR [REPS=5] [VISITS=10]
// Needs root (Chromium's managed policy picks the certificate); says so and
// exits 0 otherwise. Without the module built, the reference runs alone.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const build = path.resolve(process.argv[2] || "build");
const REPS = Number(process.argv[3] || 5);
const VISITS = Number(process.argv[4] || 10);
process.env.TESSARO_BUILD_DIR = build;
const h = require(path.join(__dirname, "..", "..", "browser", "tests", "harness.js"));

const MS = "Microsoft Enhanced Cryptographic Provider v1.0";
const VISIT_MS = 30000;

function median(xs) { const s = xs.slice().sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; }

// One visit in a new context: navigation timing from the page (ms since
// navigation start).
async function visit(browser, url, subject) {
  const context = await browser.newContext();
  try {
    return await visitPage(await context.newPage(), url, subject);
  } finally {
    await context.close();
  }
}

async function visitPage(page, url, subject) {
  const r = await h.loginPage(page, url, VISIT_MS);
  if (r.subject !== subject) throw new Error(`greeted ${JSON.stringify(r.subject)}, not ${subject}: ${r.text.slice(0, 300)}`);
  const t = await page.evaluate(() => {
    const e = performance.getEntriesByType("navigation")[0];
    // Before the connection that carries the page: Chromium's first
    // handshake, which ends at the server's certificate request, and the
    // choice of the certificate and its key.
    return { greeting: e.domContentLoadedEventEnd, choice: e.connectStart - e.fetchStart,
      handshake: e.connectEnd - e.secureConnectionStart };
  });
  return t;
}

// Chromium without the extension (logging in needs none): HOME for its NSS
// database, TESSARO_PREFIX for the module's certificates; the caller closes it.
function launch(dir) {
  const { chromium } = require(require.resolve("playwright-core", { paths: [path.join(h.ROOT, "browser", "tests")] }));
  return chromium.launch({
    executablePath: h.CHROMIUM, headless: false, args: h.CHROMIUM_FLAGS, timeout: 60000,
    env: Object.assign({}, process.env, { HOME: path.join(dir, "home"), TESSARO_PREFIX: path.join(dir, "prefix"), LANG: "en_US.UTF-8" }),
  });
}

async function enroll(site, work, subject) {
  const browser = await h.startBrowser({ host: path.join(build, "TessaroHost.QIRTAL.x86"), home: true, workDir: work });
  try {
    const page = await browser.context.newPage();
    await page.goto(site.url);
    const r = await page.evaluate((c) => window.tessaroDemo.enroll(c),
      { provider: MS, algorithm: "RSA", keyLength: 2048, certType: 1, subject });
    if (!r.ok) throw new Error(`enrollment failed at ${r.failedAt}: ${JSON.stringify(r.error)}`);
    return browser.home;
  } finally {
    await browser.stop();
  }
}

async function main() {
  const moduleLib = path.join(build, "libtessaro-pkcs11.so");
  const work = h.tempDir("bench-login");
  const caDir = path.join(work, "ca");
  const site = await h.startSite({ caDir });
  const origin = site.loginUrl.replace(/\/$/, "");
  const policy = h.writeCertificatePolicy(origin, new URL(origin).port);
  try {
    if (policy.skip) {
      console.log(`login benchmark skipped: ${policy.skip}`);
      return;
    }
    const kinds = [];
    if (fs.existsSync(moduleLib)) {
      const dir = path.join(work, "module");
      const subject = "CN=Tessaro Bench Module,OU=Enrollment,O=Tessaro,C=CN";
      const home = await enroll(site, dir, subject);
      const db = h.chromiumNssDir(home);
      h.nssCreate(db);
      h.nssTrustCa(db, caDir);
      h.nssAddModule(db, moduleLib);
      kinds.push({ name: "Tessaro PKCS#11 module", dir, subject, first: [], again: [], choice: [], handshake: [] });
    } else {
      console.log(`${moduleLib} is not built: the reference runs alone`);
    }
    {
      const dir = path.join(work, "reference");
      const subject = "CN=Tessaro Bench Reference,OU=Enrollment,O=Tessaro,C=CN";
      for (const d of ["home", "prefix"]) fs.mkdirSync(path.join(dir, d), { recursive: true, mode: 0o700 });
      const db = h.chromiumNssDir(path.join(dir, "home"));
      h.nssCreate(db);
      h.nssTrustCa(db, caDir);
      h.nssImportP12(db, h.makeClientP12(dir, caDir, subject).p12);
      kinds.push({ name: "NSS database (reference)", dir, subject, first: [], again: [], choice: [], handshake: [] });
    }
    for (let rep = 0; rep < REPS; rep++) {
      for (const k of (rep % 2 ? kinds.slice().reverse() : kinds)) {
        const browser = await launch(k.dir);
        try {
          k.first.push((await visit(browser, site.loginUrl, k.subject)).greeting);
          for (let i = 0; i < VISITS; i++) {
            const t = await visit(browser, site.loginUrl, k.subject);
            k.again.push(t.greeting);
            k.choice.push(t.choice);
            k.handshake.push(t.handshake);
          }
        } finally {
          await browser.close();
        }
      }
    }
    console.log(`login over TLS 1.3 with a client certificate, headless Chromium, ${REPS} repetitions ` +
      `(fresh browser: first visit, then ${VISITS} more); navigation to greeting, ms, median`);
    console.log("certificate from                first visit  later visits  of which: first handshake and choice  last handshake");
    for (const k of kinds) {
      console.log(`${k.name.padEnd(32)}${median(k.first).toFixed(1).padStart(11)}${median(k.again).toFixed(1).padStart(14)}` +
        `${median(k.choice).toFixed(1).padStart(38)}${median(k.handshake).toFixed(1).padStart(16)}`);
    }
    if (kinds.length === 2) {
      const [m, r] = kinds;
      console.log(`ratio module / reference: first visit ${(median(m.first) / median(r.first)).toFixed(2)}x, ` +
        `later visits ${(median(m.again) / median(r.again)).toFixed(2)}x (goal: within 1.2x)`);
    }
    console.log(`load average: ${os.loadavg().map((x) => x.toFixed(1)).join(" ")} on ${os.cpus().length} CPUs`);
  } finally {
    if (policy.remove) policy.remove();
    await site.stop();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error(e && e.stack || e); process.exit(1); });
