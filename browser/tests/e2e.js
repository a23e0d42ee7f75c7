#!/usr/bin/env node
// End-to-end tests in headless Chromium: the demonstration page, the
// extension, the native host and the test CA. Each case starts its own site,
// browser (fresh profile with the host registered in it) and enrollment
// prefix, and stops them.
//
//   node e2e.js CASE...      (no case: all of them)
// Exit 0 all passed, 1 a case failed, 77 Chromium cannot start here.
"use strict";
const assert = require("assert/strict");
const crypto = require("crypto");
const fs = require("fs");
const path = require("path");
const h = require("./harness");

const MS = "Microsoft Enhanced Cryptographic Provider v1.0";
const SM2 = "Tessaro SM2 Token CSP v1.0";
const HOST = () => path.join(h.buildDir(), "TessaroHost.QIRTAL.x86");
const TIME = /^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}$/;

function serialOf(b64) {
  return new crypto.X509Certificate(Buffer.from(b64, "base64")).serialNumber.toLowerCase().replace(/^(00)+/, "");
}

// Site + browser + page on the real host; fn(page, env); everything stopped after.
async function withPage(fn, { host = HOST(), env, bind } = {}) {
  const site = await h.startSite({ bind });
  let browser;
  try {
    browser = await h.startBrowser({ host, env });
    const page = await browser.context.newPage();
    await page.goto(site.url);
    await fn(page, { site, browser });
  } finally {
    if (browser) await browser.stop();
    await site.stop();
  }
}

async function started(page) {
  const s = await page.evaluate(() => window.tessaroDemo.started);
  assert.equal(s.error, undefined, `page start failed: ${JSON.stringify(s.error)}`);
  assert.equal(s.version, "3.2.0.2");
  assert.ok(s.providers.includes(MS) && s.providers.includes(SM2), `providers: ${s.providers}`);
  return s;
}

function enrollFromScript(page, choice) {
  return page.evaluate((c) => window.tessaroDemo.enroll(c), choice);
}

function checkEnrolled(r, choice, label) {
  assert.equal(r.ok, true, `${label}: failed at ${r.failedAt}: ${JSON.stringify(r.error)}`);
  assert.equal(r.importSign, true);
  assert.match(r.container, /^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$/);
  assert.equal(r.requestInfo.algorithm, choice.algorithm);
  assert.equal(r.requestInfo.keyBits, choice.keyLength);
  if (choice.certType === 2) {
    assert.equal(r.importEnc, true);
    assert.equal(r.requestInfo.exchangeKeyBits > 0, true, "double request carries an exchange key");
  } else {
    assert.equal(r.importEnc, undefined);
    assert.equal(r.requestInfo.exchangeKeyBits, 0, "single request carries no exchange key");
  }
  for (const e of r.listing) {
    assert.match(e.from, TIME);
    assert.match(e.to, TIME);
  }
}

function listingSerials(listing, provider) {
  return listing.filter((e) => e.provider === provider).map((e) => e.serial.replace(/^(00)+/, "")).sort();
}

// Single then double enrollment of one algorithm in one page (one host
// process); the listing grows by exactly the issued certificates.
async function enrollBoth(page, provider, algorithm, keyLength, subjectBase, viaForm) {
  await started(page);
  const expected = [];
  const single = { provider, algorithm, keyLength, certType: 1, subject: `CN=${subjectBase} Single,OU=Enrollment,O=Tessaro,C=CN` };
  const r1 = await enrollFromScript(page, single);
  checkEnrolled(r1, single, `${algorithm} single`);
  expected.push(serialOf(r1.signCert));
  assert.deepEqual(listingSerials(r1.listing, provider), expected.slice().sort());
  const e1 = r1.listing.find((e) => e.serial.replace(/^(00)+/, "") === serialOf(r1.signCert));
  assert.equal(e1.subject, `CN=${subjectBase} Single, OU=Enrollment, O=Tessaro, C=CN`);

  const dbl = { provider, algorithm, keyLength, certType: 2, subject: `CN=${subjectBase} Double,OU=Enrollment,O=Tessaro,C=CN` };
  let r2;
  if (viaForm) {
    // As a person does it: the form, the button, the status line.
    await page.selectOption("#algorithm", algorithm);
    await page.selectOption("#provider", provider);
    await page.selectOption("#keyLength", String(keyLength));
    await page.selectOption("#certType", "2");
    await page.fill("#subject", dbl.subject);
    const result = page.evaluate(() => new Promise((resolve) => {
      const obs = new MutationObserver(() => {
        const s = document.getElementById("status").dataset.state;
        if (s === "done" || s === "failed") { obs.disconnect(); resolve(s); }
      });
      obs.observe(document.getElementById("status"), { attributes: true });
    }));
    await page.click("#enroll");
    assert.equal(await result, "done", await page.textContent("#error"));
    // Read back what the page shows.
    const shown = await page.evaluate(() => ({
      request: document.getElementById("request").textContent,
      rows: Array.from(document.querySelectorAll("#listing tbody tr")).map((tr) =>
        Array.from(tr.children).map((td) => td.textContent)),
      issued: Array.from(document.querySelectorAll("#issued dt")).map((d) => d.textContent),
      steps: document.querySelectorAll("#steps li").length,
    }));
    assert.match(shown.request, /^[A-Za-z0-9+/=]{64}\r\n/);
    assert.deepEqual(shown.issued, ["Signing certificate", "Encryption certificate", "Key envelope"]);
    assert.equal(shown.steps, 10);
    r2 = { rows: shown.rows };
    const names = shown.rows.filter((row) => row[4] === provider).map((row) => row[0]);
    assert.deepEqual(names.filter((n) => n.includes("Double")).length, 2, `rows: ${JSON.stringify(shown.rows)}`);
    assert.equal(shown.rows.filter((row) => row[4] === provider).length, 3);
    return shown.rows;
  }
  r2 = await enrollFromScript(page, dbl);
  checkEnrolled(r2, dbl, `${algorithm} double`);
  expected.push(serialOf(r2.signCert), serialOf(r2.encCert));
  assert.notEqual(serialOf(r2.signCert), serialOf(r2.encCert));
  assert.deepEqual(listingSerials(r2.listing, provider), expected.slice().sort());
  return r2.listing;
}

const CASES = {
  async enroll_rsa() {
    await withPage(async (page) => {
      await enrollBoth(page, MS, "RSA", 2048, "Browser RSA", true);
      // A reload is a new port and a new host process; the certificates stay.
      await page.reload();
      await started(page);
      const listing = await page.evaluate(() => window.tessaroDemo.listCertificates());
      assert.equal(listing.filter((e) => e.provider === MS).length, 3);
    });
  },

  async enroll_sm2() {
    await withPage(async (page) => {
      const listing = await enrollBoth(page, SM2, "SM2", 256, "Browser SM2", false);
      assert.equal(listing.filter((e) => e.provider === SM2 && / Double,/.test(e.subject)).length, 2);
    });
  },

  // A page whose origin is not in the extension's list gets nothing: no
  // answer, no host started, a rejected promise by timeout.
  async other_origin() {
    await withPage(async (page, { browser }) => {
      const r = await page.evaluate(async () => {
        const c = new TessaroClient({ timeoutMs: 1500, readyTimeoutMs: 1500 });
        const out = {};
        try { await c.ready(); out.ready = "resolved"; } catch (e) { out.ready = [e.code, e.message]; }
        try { await c.getVersion(); out.version = "resolved"; } catch (e) { out.version = [e.code, e.message]; }
        return out;
      });
      assert.deepEqual(r.ready, ["EXTENSION_MISSING",
        "The Tessaro enrollment extension did not answer: it is not installed, or this site is not allowed to use it. (EXTENSION_MISSING)"]);
      assert.deepEqual(r.version, ["TIMEOUT",
        "KEVO_GetVersion: No answer within 1500 ms: the Tessaro enrollment extension is not installed or does not serve this site. (TIMEOUT)"]);
      assert.deepEqual(h.hostProcesses(browser.prefix), []);
      assert.match(await page.textContent("#presence"), /not installed, or it does not serve this site/);
    }, { bind: "127.0.0.2" });
  },

  // Hosts that cannot serve: every call rejects with the reason.
  async host_failures() {
    const dir = h.tempDir("hosts");
    try {
      const plain = path.join(dir, "not-executable");
      fs.writeFileSync(plain, "#!/bin/sh\n", { mode: 0o644 });
      const situations = [
        ["not registered", null, /Specified native messaging host not found/],
        ["not executable", plain, /native messaging host|Native host has exited/i],
        ["missing file", path.join(dir, "absent"), /native messaging host|Native host has exited/i],
      ];
      for (const [label, host, reason] of situations) {
        await withPage(async (page) => {
          const r = await page.evaluate(async () => {
            const c = new TessaroClient({ timeoutMs: 10000 });
            await c.ready();
            try { await c.getVersion(); return "resolved"; } catch (e) { return { code: e.code, description: e.description }; }
          });
          assert.equal(r.code, "DISCONNECTED", `${label}: ${JSON.stringify(r)}`);
          assert.match(r.description, /^The enrollment host is not available: /, label);
          assert.match(r.description, reason, `${label}: ${r.description}`);
        }, { host });
      }

      // A host that dies in the middle of the conversation: the waiting call
      // rejects at once rather than waiting for its timeout.
      await withPage(async (page) => {
        const r = await page.evaluate(async () => {
          const c = new TessaroClient({ timeoutMs: 20000 });
          const t0 = Date.now();
          try { await c.getVersion(); return { first: "resolved" }; } catch (e) { return { code: e.code, description: e.description, ms: Date.now() - t0 }; }
        });
        assert.equal(r.code, "DISCONNECTED", JSON.stringify(r));
        assert.match(r.description, /^The enrollment host is not available: /);
        assert.ok(r.ms < 15000, `rejected after ${r.ms} ms`);
      }, { host: h.fakeHost(dir, "exit-after-1") });

      // A frame that is not JSON is dropped by the browser: the call times out.
      await withPage(async (page) => {
        const r = await page.evaluate(async () => {
          const c = new TessaroClient({ timeoutMs: 2000 });
          try { await c.getVersion(); return "resolved"; } catch (e) { return { code: e.code, message: e.message }; }
        });
        assert.equal(r.code, "TIMEOUT", JSON.stringify(r));
        assert.match(r.message, /No answer within 2000 ms from the enrollment host/);
      }, { host: h.fakeHost(dir, "garbage") });

      // An answer over the browser's size limit ends the connection.
      await withPage(async (page) => {
        const r = await page.evaluate(async () => {
          const c = new TessaroClient({ timeoutMs: 10000 });
          try { await c.getVersion(); return "resolved"; } catch (e) { return { code: e.code, description: e.description }; }
        });
        assert.equal(r.code, "DISCONNECTED", JSON.stringify(r));
      }, { host: h.fakeHost(dir, "oversize") });
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  },

  // Failures carry the host's code and its description, in the host's
  // language; arguments of the wrong type never leave the page.
  async failures_described() {
    const ui = {
      en: { step: "Step: Key pair generated, request made", code: "Result code: ", state: "Enrollment failed." },
      zh: { step: "步骤: 已生成密钥对和证书请求", code: "错误码: ", state: "申请失败。" },
    };
    for (const [lang, text, page_lang] of [["en_US.UTF-8", "Invalid key algorithm.", "en"], ["zh_CN.UTF-8", "无效的密钥算法", "zh"]]) {
      await withPage(async (page) => {
        const r = await page.evaluate(async () => {
          const c = window.tessaroDemo.client;
          const out = {};
          try { await c.setKeyAlgorithm("DSA"); } catch (e) { out.alg = { code: e.code, description: e.description, fn: e.function }; }
          try { await c.setCSPInfo("2048", "x"); } catch (e) { out.arg = { code: e.code, description: e.description }; }
          try { await c.importSignCert(1, "AAAA", "{00000000-0000-0000-0000-000000000000}"); out.csp = "resolved"; } catch (e) { out.csp = { code: e.code }; }
          out.last = await c.getLastErrorDesc();
          return out;
        });
        assert.equal(r.alg.code, -1610144767);
        assert.equal(r.alg.fn, "KEVO_SetKeyAlgorithm");
        assert.ok(r.alg.description.startsWith(text), `${lang}: ${JSON.stringify(r.alg.description)}`);
        assert.ok(r.alg.description.endsWith("(0xa0072401)"), r.alg.description);
        assert.deepEqual(r.arg, { code: "BAD_ARGUMENT", description: "keyLength must be a 32-bit integer" });
        assert.equal(typeof r.csp.code, "number");
        assert.ok(r.csp.code < 0);
        assert.ok(r.last.endsWith(`(0x${(r.csp.code >>> 0).toString(16)})`), r.last);
        // The page shows a failure with step, code and reason.
        await page.selectOption("#lang", page_lang);
        const shown = await page.evaluate(async () => {
          const out = await window.tessaroDemo.enroll({ provider: "Microsoft Enhanced Cryptographic Provider v1.0", algorithm: "RSA", keyLength: 2048, certType: 1, subject: "CN=x,Q=bad=" });
          return { out, text: document.getElementById("error").textContent, state: document.getElementById("status").dataset.state,
            status: document.getElementById("status").textContent };
        });
        assert.equal(shown.state, "failed");
        assert.equal(shown.status, ui[page_lang].state);
        assert.equal(shown.out.failedAt, "makeRequest");
        assert.ok(shown.text.startsWith(ui[page_lang].step), shown.text);
        assert.ok(shown.text.includes(`${ui[page_lang].code}0x${(shown.out.error.code >>> 0).toString(16)}`), shown.text);
        // The reason is the host's own description, in the host's language.
        assert.ok(shown.text.includes(shown.out.error.description), shown.text);
      }, { env: { LANG: lang } });
    }
  },

  // Closing the page while the key is made: the host exits, and nothing
  // half-made is listed.
  async page_closed() {
    await withPage(async (page, { site, browser }) => {
      await started(page);
      await page.evaluate(() => {
        const c = window.tessaroDemo.client;
        c.setCSPInfo(4096, "Microsoft Enhanced Cryptographic Provider v1.0")
          .then(() => c.setKeyAlgorithm("RSA"))
          .then(() => { window.keyGenSent = true; return c.pkcs10CertRequisition("CN=Closed Page", 2, 0); });
      });
      await page.waitForFunction(() => window.keyGenSent === true);
      const hosts = h.hostProcesses(browser.prefix);
      assert.equal(hosts.length, 1, `host processes: ${hosts}`);
      await page.close();
      await h.waitFor(() => h.hostProcesses(browser.prefix).length === 0, 60000, "the host to exit");
      const again = await browser.context.newPage();
      await again.goto(site.url);
      await started(again);
      const listing = await again.evaluate(() => window.tessaroDemo.listCertificates());
      assert.deepEqual(listing, []);
      assert.equal(await again.evaluate(() => window.tessaroDemo.client.getContainer()), "");
    });
  },
};

async function main() {
  const names = process.argv.slice(2).length ? process.argv.slice(2) : Object.keys(CASES);
  for (const n of names) if (!CASES[n]) { console.error(`unknown case ${n}`); process.exit(2); }
  if (!fs.existsSync(HOST())) { console.error(`e2e: ${HOST()} is missing; build first`); process.exit(1); }
  if (!h.chromiumStarts()) {
    console.log(`SKIPPED: ${h.CHROMIUM} cannot start on this machine; the browser tests did not run`);
    process.exit(77);
  }
  let failed = 0;
  for (const n of names) {
    const t0 = Date.now();
    try {
      await CASES[n]();
      console.log(`ok   ${n} (${Date.now() - t0} ms)`);
    } catch (e) {
      failed++;
      console.log(`FAIL ${n} (${Date.now() - t0} ms)\n${e && e.stack || e}`);
    }
  }
  process.exit(failed ? 1 : 0);
}

main();
