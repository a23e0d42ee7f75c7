#!/usr/bin/env node
// The browser part of `make run`: the demonstration site on loopback and
// Chromium with the extension loaded, the host registered in a fresh profile
// and a fresh enrollment prefix.
//
//   node demo.js BUILD_DIR [--headless] [--screenshot FILE] [--login-screenshot FILE]
//
// Headless (or without $DISPLAY): drives the page through a double-certificate
// enrollment with RSA and then SM2 and prints each step, then logs in to the
// site's HTTPS page with the RSA certificate through the Tessaro PKCS#11
// module (registered in the browser's own throwaway HOME; Chromium's managed
// policy picks the certificate, so this step needs root) and prints the
// greeting; exit 0 when both enrolled and the login, where it ran, greeted
// the RSA subject. With a display: opens the page in a Chromium window and
// waits until the window is closed.
"use strict";
const path = require("path");

const argv = process.argv.slice(2);
const build = path.resolve(argv[0] || "build");
let headless = argv.includes("--headless") || !process.env.DISPLAY;
const shotAt = argv.indexOf("--screenshot");
const screenshot = shotAt >= 0 ? path.resolve(argv[shotAt + 1]) : null;
const loginShotAt = argv.indexOf("--login-screenshot");
const loginScreenshot = loginShotAt >= 0 ? path.resolve(argv[loginShotAt + 1]) : null;
process.env.TESSARO_BUILD_DIR = build;

const fs = require("fs");
const h = require(path.join(__dirname, "..", "tests", "harness.js"));

const RUNS = [
  { label: "RSA", provider: "Microsoft Enhanced Cryptographic Provider v1.0", algorithm: "RSA", keyLength: 2048,
    certType: 2, subject: "CN=Tessaro Browser RSA,OU=Enrollment,O=Tessaro,C=CN" },
  { label: "SM2", provider: "Tessaro SM2 Token CSP v1.0", algorithm: "SM2", keyLength: 256,
    certType: 2, subject: "CN=Tessaro Browser SM2,OU=Enrollment,O=Tessaro,C=CN" },
];

function short(s, n = 64) { return s && s.length > n ? `${s.slice(0, n)}... (${s.length} characters)` : s; }

async function main() {
  // Interrupted: end the browser and the site through the normal path.
  let interrupted = null;
  const interruption = new Promise((r) => { interrupted = r; });
  for (const sig of ["SIGINT", "SIGTERM"]) process.once(sig, () => interrupted(sig));
  // One throwaway folder for the CA, the browser's profile, HOME and prefix:
  // the login reads the certificates the enrollment left there.
  const work = h.tempDir("demo");
  const caDir = path.join(work, "ca");
  let site;
  let browser;
  try {
    site = await h.startSite({ testca: path.join(build, "tessaro-testca"), caDir });
    console.log(`demo site: ${site.url} (test CA behind /api)`);
    try {
      browser = await h.startBrowser({ host: path.join(build, "TessaroHost.QIRTAL.x86"), headless, ownSignals: true,
        home: true, workDir: work });
    } catch (e) {
      if (headless) throw e;
      // $DISPLAY names no usable display: show the run headless instead.
      console.log(`no Chromium window on DISPLAY=${process.env.DISPLAY} (${String(e.message).split("\n")[0]}); driving the page headless`);
      headless = true;
      browser = await h.startBrowser({ host: path.join(build, "TessaroHost.QIRTAL.x86"), headless, ownSignals: true,
        home: true, workDir: work });
    }
    console.log(`Chromium ${headless ? "headless" : "window"}, extension ${h.EXTENSION_ID}, prefix ${browser.prefix}`);
    const page = browser.context.pages()[0] || await browser.context.newPage();
    await page.goto(site.url);
    if (!headless) {
      console.log("enroll in the Chromium window; close it to end the demo");
      await Promise.race([new Promise((resolve) => browser.context.once("close", resolve)), interruption]);
      return 0;
    }
    const s = await page.evaluate(() => window.tessaroDemo.started);
    if (s.error) {
      console.log(`the page found no host: ${JSON.stringify(s.error)}`);
      return 1;
    }
    console.log(`page: extension ${s.extension}, host version ${s.version}`);
    console.log(`providers: ${s.providers.join(" | ")}`);
    let ok = true;
    for (const run of RUNS) {
      console.log(`\n== ${run.label} double-certificate enrollment in the page: "${run.provider}", ${run.keyLength} bits`);
      await page.selectOption("#algorithm", run.algorithm);
      await page.selectOption("#provider", run.provider);
      await page.selectOption("#keyLength", String(run.keyLength));
      await page.selectOption("#certType", String(run.certType));
      await page.fill("#subject", run.subject);
      const r = await page.evaluate(() => window.tessaroDemo.enroll());
      const steps = await page.$$eval("#steps li", (lis) => lis.map((l) => l.textContent));
      for (const st of steps) console.log(`   ${st}`);
      if (!r.ok) {
        console.log(`   FAILED at ${r.failedAt}: ${r.error.message}`);
        ok = false;
        continue;
      }
      console.log(`   request: ${JSON.stringify(r.requestInfo)}`);
      console.log(`   signing certificate: ${short(r.signCert)}`);
      console.log(`   encryption certificate: ${short(r.encCert)}`);
      console.log(`   envelope: ${short(r.envelope)}`);
    }
    const listing = await page.evaluate(() => window.tessaroDemo.listCertificates());
    console.log(`\n== the page's listing (KEVO_GetAllCertInfo): ${listing.length} certificates`);
    for (const e of listing) console.log(`   ${e.subject}; ${e.serial}; ${e.from} .. ${e.to}; ${e.provider}`);
    if (screenshot) {
      await page.screenshot({ path: screenshot, fullPage: true });
      console.log(`screenshot: ${screenshot}`);
    }
    await browser.stop();
    browser = null;
    if (!ok) return 1;
    return await login(site, work, caDir, RUNS[0].subject);
  } finally {
    if (browser) await browser.stop();
    if (site) await site.stop();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

// Chromium again on the same profile and prefix, the module registered in its
// HOME's NSS database and the test CA trusted there for the server; the
// policy picks the certificate for the login page's origin only.
async function login(site, work, caDir, subject) {
  console.log(`\n== log in with your certificate: ${site.loginUrl} (TLS 1.3, client certificate)`);
  const lib = path.join(build, "libtessaro-pkcs11.so");
  if (!fs.existsSync(lib)) {
    console.log(`   skipped: ${lib} is not built`);
    return 0;
  }
  const missing = ["certutil", "modutil"].filter((t) => !h.haveProgram(t));
  if (missing.length) {
    console.log(`   skipped: ${missing.join(" and ")} not installed (libnss3-tools)`);
    return 0;
  }
  const origin = site.loginUrl.replace(/\/$/, "");
  const policy = h.writeCertificatePolicy(origin, new URL(origin).port);
  if (policy.skip) {
    console.log(`   skipped: ${policy.skip}; Chromium would ask which certificate to send`);
    return 0;
  }
  let browser;
  try {
    const db = h.chromiumNssDir(path.join(work, "home"));
    h.nssCreate(db);
    h.nssTrustCa(db, caDir);
    h.nssAddModule(db, lib);
    console.log(`   module "${h.MODULE_NAME}" (${lib}) registered in ${db}; policy ${policy.file}`);
    browser = await h.startBrowser({ host: path.join(build, "TessaroHost.QIRTAL.x86"), home: true, workDir: work, ownSignals: true });
    const page = await browser.context.newPage();
    const r = await h.loginPage(page, site.loginUrl);
    console.log(`   HTTP ${r.status} over ${r.protocol} in ${r.ms} ms: ${r.greeting || r.text.trim().replace(/\s+/g, " ").slice(0, 200)}`);
    if (loginScreenshot) {
      await page.setViewportSize({ width: 900, height: 260 });
      await page.screenshot({ path: loginScreenshot, fullPage: true });
      console.log(`   screenshot: ${loginScreenshot}`);
    }
    if (r.subject !== subject) {
      console.log(`   FAILED: expected the greeting for ${subject}`);
      return 1;
    }
    return 0;
  } finally {
    if (browser) await browser.stop();
    policy.remove();
  }
}

main().then((code) => process.exit(code), (e) => {
  console.error(`demo: ${e && e.stack || e}`);
  process.exit(1);
});
