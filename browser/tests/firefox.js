#!/usr/bin/env node
// The enrollment page in headless Firefox ESR: the add-on installed into a
// fresh profile, the host registered by tessaro-register under a temporary
// HOME (~/.mozilla/native-messaging-hosts), a fresh prefix. Stock Firefox
// speaks no automation protocol that playwright-core drives, so the page runs
// unattended (?auto=RSA,SM2: single and double enrollments for each) and
// reports to the site.
// Exit 0 passed, 1 failed, 77 Firefox cannot start here.
"use strict";
const assert = require("assert/strict");
const crypto = require("crypto");
const fs = require("fs");
const path = require("path");
const { spawn } = require("child_process");
const h = require("./harness");

const FIREFOX = process.env.TESSARO_FIREFOX || "/usr/bin/firefox-esr";
const MS = "Microsoft Enhanced Cryptographic Provider v1.0";
const SM2 = "Tessaro SM2 Token CSP v1.0";

function serialOf(b64) {
  return new crypto.X509Certificate(Buffer.from(b64, "base64")).serialNumber.toLowerCase().replace(/^(00)+/, "");
}

async function main() {
  const build = h.buildDir();
  const host = path.join(build, "TessaroHost.QIRTAL.x86");
  if (!fs.existsSync(FIREFOX)) {
    console.log(`SKIPPED: ${FIREFOX} is not installed; the Firefox test did not run`);
    return 77;
  }
  const work = h.tempDir("firefox");
  const report = path.join(work, "report.json");
  const { profile, env, prefs } = h.firefoxProfile(work, host);
  prefs();

  const site = await h.startSite({ report });
  let ff;
  try {
    let log = "";
    ff = spawn(FIREFOX, ["--headless", "--no-remote", "--profile", profile, `${site.url}?auto=RSA,SM2`],
      { env, stdio: ["ignore", "pipe", "pipe"], detached: true });
    ff.stdout.on("data", (d) => { log += d; });
    ff.stderr.on("data", (d) => { log += d; });
    const exited = new Promise((r) => ff.once("exit", (code) => r(code)));
    const got = await Promise.race([
      h.waitFor(() => fs.existsSync(report), 240000, "the page's report").then(() => "report"),
      exited.then((code) => `exit ${code}`),
    ]);
    if (got !== "report") {
      if (/cannot open display|GLib-GIO|Error: no DISPLAY/.test(log) && !/Tessaro/.test(log)) {
        console.log(`SKIPPED: Firefox cannot start here (${got}): ${log.slice(-400)}`);
        return 77;
      }
      throw new Error(`Firefox ended before the page reported (${got}): ${log.slice(-2000)}`);
    }
    const r = JSON.parse(fs.readFileSync(report, "utf8"));
    assert.equal(r.start.error, undefined, `page start: ${JSON.stringify(r.start.error)}`);
    assert.equal(r.start.version, "3.2.0.2");
    assert.equal(r.runs.length, 4);
    const expected = { [MS]: [], [SM2]: [] };
    for (const run of r.runs) {
      assert.equal(run.ok, true, `${run.label} type ${run.certType}: ${run.failedAt} ${JSON.stringify(run.error)}`);
      const provider = run.label === "RSA" ? MS : SM2;
      expected[provider].push(serialOf(run.signCert));
      if (run.certType === 2) expected[provider].push(serialOf(run.encCert));
    }
    const last = r.runs[r.runs.length - 1].listing;
    for (const p of [MS, SM2]) {
      const got = last.filter((e) => e.provider === p).map((e) => e.serial.replace(/^(00)+/, "")).sort();
      assert.deepEqual(got, expected[p].sort(), p);
    }
    console.log(`ok   firefox: ${r.runs.length} enrollments, ${last.length} certificates listed`);
    return 0;
  } finally {
    if (ff && ff.exitCode === null) {
      try { process.kill(-ff.pid, "SIGTERM"); } catch (e) { /* gone */ }
      await new Promise((r) => setTimeout(r, 1000));
      try { process.kill(-ff.pid, "SIGKILL"); } catch (e) { /* gone */ }
    }
    await site.stop();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().then((code) => process.exit(code), (e) => {
  console.log(`FAIL firefox\n${e && e.stack || e}`);
  process.exit(1);
});
