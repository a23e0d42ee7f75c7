#!/usr/bin/env node
// Logging in with the enrolled certificate: the page enrolls an RSA
// certificate through the real host, then a browser that has the Tessaro
// PKCS#11 module loaded into its NSS database offers it to the site's HTTPS
// page, which greets its subject. Each case has its own HOME, prefix,
// profile and site, and stops them.
//
//   node login.js chromium|firefox
// Exit 0 passed, 1 failed, 77 cannot run here (not root for Chromium's
// managed policy, a browser or an NSS tool missing).
"use strict";
const assert = require("assert/strict");
const crypto = require("crypto");
const fs = require("fs");
const https = require("https");
const path = require("path");
const { spawn, execFileSync } = require("child_process");
const h = require("./harness");

const MS = "Microsoft Enhanced Cryptographic Provider v1.0";
const FIREFOX = process.env.TESSARO_FIREFOX || "/usr/bin/firefox-esr";
const HOST = () => path.join(h.buildDir(), "TessaroHost.QIRTAL.x86");
const MODULE = () => path.join(h.buildDir(), "libtessaro-pkcs11.so");
// Well inside ctest's 240 s: the policy file goes on this path too.
const CASE_LIMIT_MS = 200000;

class Skip extends Error {}

function serialOf(b64) {
  return new crypto.X509Certificate(Buffer.from(b64, "base64")).serialNumber;
}

function needTools(...tools) {
  for (const t of tools) if (!h.haveProgram(t)) throw new Skip(`${t} is not installed (make deps)`);
  for (const f of [MODULE(), HOST()]) if (!fs.existsSync(f)) throw new Error(`${f} is missing; build first`);
}

// The login page fetched without a client certificate, and with one the
// test CA did not issue: both are turned away with the reason.
function fetchLogin(url, caDir, clientCert) {
  return new Promise((resolve, reject) => {
    const opts = { ca: fs.readFileSync(path.join(caDir, "rsa-root.cert.pem")), timeout: 10000 };
    if (clientCert) Object.assign(opts, clientCert);
    const req = https.get(url, opts, (res) => {
      let body = "";
      res.on("data", (d) => { body += d; });
      res.on("end", () => resolve({ status: res.statusCode, body }));
    });
    req.on("timeout", () => req.destroy(new Error("timed out")));
    req.on("error", reject);
  });
}

async function checkRefusals(site, caDir, work) {
  const none = await fetchLogin(site.loginUrl, caDir);
  assert.equal(none.status, 401);
  assert.match(none.body, /A certificate issued by the Tessaro test CA is needed to log in here\./);
  assert.match(none.body, /Your browser sent no certificate\./);
  // A certificate of another CA (any: a server certificate of a second test CA).
  const other = path.join(work, "other-ca");
  execFileSync(path.join(h.buildDir(), "tessaro-testca"), ["init", other], { stdio: "pipe" });
  execFileSync(path.join(h.buildDir(), "tessaro-testca"), ["server", other, "--cert-out", path.join(other, "c.pem"),
    "--key-out", path.join(other, "k.pem"), "--name", "intruder.example"], { stdio: "pipe" });
  const foreign = await fetchLogin(site.loginUrl, caDir,
    { cert: fs.readFileSync(path.join(other, "c.pem")), key: fs.readFileSync(path.join(other, "k.pem")) });
  assert.equal(foreign.status, 401);
  assert.match(foreign.body, /The certificate you sent \(CN=intruder\.example,O=Tessaro Test\) was refused: /);
}

// A double-certificate RSA enrollment through the page in Chromium: a
// signing and an encryption certificate of one subject, of which only the
// signing one can log in. The browser is stopped after, its profile, prefix
// and HOME kept in work.
async function enrollInChromium(site, work, subject) {
  const browser = await h.startBrowser({ host: HOST(), home: true, workDir: work });
  try {
    const page = await browser.context.newPage();
    await page.goto(site.url);
    const s = await page.evaluate(() => window.tessaroDemo.started);
    assert.equal(s.error, undefined, `page start failed: ${JSON.stringify(s.error)}`);
    const r = await page.evaluate((c) => window.tessaroDemo.enroll(c),
      { provider: MS, algorithm: "RSA", keyLength: 2048, certType: 2, subject });
    assert.equal(r.ok, true, `enrollment failed at ${r.failedAt}: ${JSON.stringify(r.error)}`);
    // The page points at the login page once enrolled.
    assert.equal(await page.getAttribute("#loginLink", "href"), site.loginUrl);
    assert.equal(await page.isVisible("#loginStep"), true);
    return { cert: r.signCert, home: browser.home, prefix: browser.prefix };
  } finally {
    await browser.stop();
  }
}

const CASES = {
  async chromium() {
    needTools("certutil", "modutil", "openssl");
    if (!h.chromiumStarts()) throw new Skip(`${h.CHROMIUM} cannot start on this machine`);
    const work = h.tempDir("login");
    const caDir = path.join(work, "ca");
    const subject = `CN=Tessaro Login ${process.pid},OU=Enrollment,O=Tessaro,C=CN`;
    let site = await h.startSite({ caDir });
    const origin = site.loginUrl.replace(/\/$/, "");
    const port = new URL(origin).port;
    const policy = h.writeCertificatePolicy(origin, port);
    let browser;
    try {
      if (policy.skip) throw new Skip(policy.skip);
      await checkRefusals(site, caDir, work);
      const enrolled = await enrollInChromium(site, work, subject);
      const nssdb = h.chromiumNssDir(enrolled.home);
      h.nssCreate(nssdb);
      h.nssTrustCa(nssdb, caDir);
      h.nssAddModule(nssdb, MODULE());

      browser = await h.startBrowser({ host: HOST(), home: true, workDir: work });
      const page = await browser.context.newPage();
      const tls13 = await h.loginPage(page, site.loginUrl);
      assert.equal(tls13.status, 200, tls13.text);
      assert.equal(tls13.protocol, "TLS 1.3");
      assert.equal(tls13.subject, subject);
      assert.equal(tls13.greeting, `Welcome, ${subject}`);
      assert.equal(await page.textContent("#serial"), serialOf(enrolled.cert));

      // The same origin capped at TLS 1.2: a new handshake, in which Chromium
      // has the module sign with PKCS#1 v1.5 (TLS 1.3 allows only PSS).
      await site.stop();
      site = await h.startSite({ caDir, tlsPort: Number(port), tlsMax: "1.2" });
      assert.equal(site.loginUrl, `${origin}/`);
      const tls12 = await h.loginPage(page, site.loginUrl);
      assert.equal(tls12.status, 200, tls12.text);
      assert.equal(tls12.protocol, "TLS 1.2");
      assert.equal(tls12.greeting, `Welcome, ${subject}`);
      assert.equal(await page.textContent("#serial"), serialOf(enrolled.cert));
      console.log(`ok   login chromium: ${subject} over TLS 1.3 (${tls13.ms} ms) and TLS 1.2 (${tls12.ms} ms)`);
    } finally {
      if (browser) await browser.stop();
      if (policy.remove) policy.remove();
      await site.stop();
      fs.rmSync(work, { recursive: true, force: true });
    }
  },

  // Firefox enrolls a signing and an encryption certificate through the page
  // unattended (?auto=RSA:2), then starts again with the module loaded into
  // its profile and picks the certificate itself ("Select Automatically");
  // the login page reports what it shows.
  async firefox() {
    needTools("certutil", "modutil");
    if (!fs.existsSync(FIREFOX)) throw new Skip(`${FIREFOX} is not installed`);
    const work = h.tempDir("login-ff");
    const caDir = path.join(work, "ca");
    const report = path.join(work, "enroll.json");
    const loginReport = path.join(work, "login.json");
    const { profile, env, prefs: writePrefs } = h.firefoxProfile(work, HOST());
    const prefs = (more) => writePrefs(Object.assign({ "security.default_personal_cert": "Select Automatically" }, more));
    prefs({});

    const site = await h.startSite({ caDir, report, loginReport });
    try {
      const enrolled = await runFirefox(profile, env, `${site.url}?auto=RSA:2`, report);
      assert.equal(enrolled.start.error, undefined, `page start: ${JSON.stringify(enrolled.start.error)}`);
      assert.equal(enrolled.runs.length, 1);
      const run = enrolled.runs[0];
      assert.equal(run.ok, true, `${run.failedAt} ${JSON.stringify(run.error)}`);
      const subject = new crypto.X509Certificate(Buffer.from(run.signCert, "base64")).subject.split("\n").reverse().join(",");
      assert.equal(subject, "CN=Auto RSA Double,O=Tessaro,C=CN");

      h.nssCreate(profile);
      h.nssTrustCa(profile, caDir);
      h.nssAddModule(profile, MODULE());
      for (const [protocol, max] of [["TLSv1.3", 4], ["TLSv1.2", 3]]) {
        // Firefox caps its own version (4 is TLS 1.3, 3 TLS 1.2).
        prefs({ "security.tls.version.max": max });
        const r = await runFirefox(profile, env, `${site.loginUrl}?report=1`, loginReport);
        assert.deepEqual(r, {
          shown: { title: "Logged in", greeting: `Welcome, ${subject}`, needed: null },
          seen: { authorized: true, protocol, resumed: false, subject, serial: serialOf(run.signCert) },
        });
      }
      console.log(`ok   login firefox: ${subject} over TLS 1.3 and TLS 1.2`);
    } finally {
      await site.stop();
      fs.rmSync(work, { recursive: true, force: true });
    }
  },
};


// Firefox process groups still running; ended however this process ends.
const firefoxGroups = new Set();
process.on("exit", () => {
  for (const pid of firefoxGroups) {
    try { process.kill(-pid, "SIGKILL"); } catch (e) { /* gone */ }
  }
});

// Firefox on url until the report file appears (then stopped by its process
// group), with a hard timeout: a certificate it cannot use never reports.
async function runFirefox(profile, env, url, reportFile, ms = 90000) {
  fs.rmSync(reportFile, { force: true });
  let log = "";
  const ff = spawn(FIREFOX, ["--headless", "--no-remote", "--profile", profile, url],
    { env, stdio: ["ignore", "pipe", "pipe"], detached: true });
  firefoxGroups.add(ff.pid);
  ff.stdout.on("data", (d) => { log += d; });
  ff.stderr.on("data", (d) => { log += d; });
  const exited = new Promise((r) => ff.once("exit", (code) => r(`exit ${code}`)));
  try {
    const got = await Promise.race([
      h.waitFor(() => fs.existsSync(reportFile), ms, `a report from ${url}`).then(() => "report"),
      exited,
    ]);
    if (got !== "report") throw new Error(`Firefox ended before the page reported (${got}): ${log.slice(-2000)}`);
    return JSON.parse(fs.readFileSync(reportFile, "utf8"));
  } finally {
    if (ff.exitCode === null) {
      try { process.kill(-ff.pid, "SIGTERM"); } catch (e) { /* gone */ }
      await Promise.race([exited, new Promise((r) => setTimeout(r, 5000))]);
      try { process.kill(-ff.pid, "SIGKILL"); } catch (e) { /* gone */ }
    }
    firefoxGroups.delete(ff.pid);
  }
}

async function main() {
  const name = process.argv[2];
  if (!CASES[name]) { console.error(`login.js: unknown case ${name}`); return 2; }
  const limit = setTimeout(() => {
    console.log(`FAIL login ${name}: not done within ${CASE_LIMIT_MS} ms`);
    process.exit(1);  // the exit handler removes the policy file
  }, CASE_LIMIT_MS);
  try {
    await CASES[name]();
    return 0;
  } catch (e) {
    if (e instanceof Skip) {
      console.log(`SKIPPED: login ${name}: ${e.message}`);
      return 77;
    }
    console.log(`FAIL login ${name}\n${e && e.stack || e}`);
    return 1;
  } finally {
    clearTimeout(limit);
  }
}

main().then((code) => process.exit(code));
