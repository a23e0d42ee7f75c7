#!/usr/bin/env node
// Stand-in native hosts for the tests and the benchmark, chosen by argv[2]:
//   echo          answers every request like the real host's KEVO_GetVersion
//   exit-after-1  exits on reading the first request (a host dying mid-conversation)
//   garbage       answers with a frame that is not JSON (the browser drops it)
//   oversize      answers with a frame over the browser's 1 MiB limit
"use strict";
const mode = process.argv[2] || "echo";
let buf = Buffer.alloc(0);
let served = 0;

function send(obj) {
  const body = Buffer.from(typeof obj === "string" ? obj : JSON.stringify(obj), "utf8");
  const head = Buffer.alloc(4);
  head.writeUInt32LE(body.length, 0);
  process.stdout.write(Buffer.concat([head, body]));
}

function serve(req) {
  served++;
  // A dying host reads the first request and exits without answering it.
  if (mode === "exit-after-1") process.exit(0);
  if (mode === "garbage") return send("{not json");
  if (mode === "oversize") return send({ function: req.function, errorcode: 0, result: "x".repeat(1100000), randomId: req.randomId });
  send({ function: req.function, errorcode: 0, result: "3.2.0.2", randomId: req.randomId });
}

process.stdin.on("data", (chunk) => {
  buf = Buffer.concat([buf, chunk]);
  while (buf.length >= 4) {
    const n = buf.readUInt32LE(0);
    if (buf.length < 4 + n) break;
    const text = buf.subarray(4, 4 + n).toString("utf8");
    buf = buf.subarray(4 + n);
    let req;
    try { req = JSON.parse(text); } catch (e) { req = { function: "", randomId: "" }; }
    serve(req);
  }
});
process.stdin.on("end", () => process.exit(0));
