#!/usr/bin/env node
// Round trip of "KEVO_GetVersion" from a page through the extension and the
// native host in headless Chromium: N calls in a row over one port (one
// page), beside the same page talking to a minimal echo host. Times are taken
// in the page (performance.now) around each awaited call.
//
//   node bench.js BUILD_DIR [N=1000] [ROUNDS=3]
"use strict";
const path = require("path");
const build = path.resolve(process.argv[2] || "build");
const N = Number(process.argv[3] || 1000);
const ROUNDS = Number(process.argv[4] || 3);
process.env.TESSARO_BUILD_DIR = build;
const h = require(path.join(__dirname, "..", "..", "browser", "tests", "harness.js"));

async function measure(site, host) {
  const browser = await h.startBrowser({ host });
  try {
    const page = await browser.context.newPage();
    await page.goto(site.url);
    return await page.evaluate(async ({ n, rounds }) => {
      const c = new TessaroClient({ timeoutMs: 10000 });
      for (let i = 0; i < 50; i++) await c.getVersion();  // host started, paths warm
      const out = [];
      for (let r = 0; r < rounds; r++) {
        const times = [];
        const t0 = performance.now();
        for (let i = 0; i < n; i++) {
          const s = performance.now();
          const v = await c.getVersion();
          times.push(performance.now() - s);
          if (v !== "3.2.0.2") throw new Error(`answer ${v}`);
        }
        const total = performance.now() - t0;
        times.sort((a, b) => a - b);
        out.push({ total, mean: total / n, p50: times[Math.floor(n / 2)], p95: times[Math.floor(n * 0.95)],
          max: times[n - 1] });
      }
      return out;
    }, { n: N, rounds: ROUNDS });
  } finally {
    await browser.stop();
  }
}

function median(xs) { const s = xs.slice().sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; }

async function main() {
  const site = await h.startSite({ testca: path.join(build, "tessaro-testca") });
  const dir = h.tempDir("bench");
  try {
    const rows = {
      "TessaroHost.QIRTAL.x86": await measure(site, path.join(build, "TessaroHost.QIRTAL.x86")),
      "echo host (node)": await measure(site, h.fakeHost(dir, "echo")),
    };
    console.log(`KEVO_GetVersion round trip page -> extension -> host, ${N} in a row over one port, ${ROUNDS} rounds`);
    console.log("host                      round  total ms   mean ms   p50 ms   p95 ms   max ms");
    const med = {};
    const medP50 = {};
    for (const [name, rounds] of Object.entries(rows)) {
      rounds.forEach((r, i) => console.log(
        `${name.padEnd(26)}${String(i + 1).padStart(5)}${r.total.toFixed(1).padStart(10)}${r.mean.toFixed(3).padStart(10)}` +
        `${r.p50.toFixed(3).padStart(9)}${r.p95.toFixed(3).padStart(9)}${r.max.toFixed(3).padStart(9)}`));
      med[name] = median(rounds.map((r) => r.mean));
      medP50[name] = median(rounds.map((r) => r.p50));
    }
    const [a, b] = Object.values(med);
    const [c, d] = Object.values(medP50);
    console.log(`median of round means: host ${a.toFixed(3)} ms, echo ${b.toFixed(3)} ms, ratio ${(a / b).toFixed(2)}x (goal: within 1.2x)`);
    console.log(`median of round p50s:  host ${c.toFixed(3)} ms, echo ${d.toFixed(3)} ms, ratio ${(c / d).toFixed(2)}x`);
    console.log(`load average: ${require("os").loadavg().map((x) => x.toFixed(1)).join(" ")} on ${require("os").cpus().length} CPUs`);
  } finally {
    await site.stop();
    require("fs").rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
