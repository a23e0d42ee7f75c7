// Page origins that may use the enrollment host. A deployment edits this list
// (and the content script "matches" in manifest.json) to name its own sites;
// "*" as the port allows any port. The default is the demonstration site on
// loopback.
var TESSARO_ALLOWED_ORIGINS = [
  "http://127.0.0.1:*",
  "http://localhost:*",
  "http://[::1]:*"
];

// True when origin (scheme://host[:port]) is in the list.
function tessaroOriginAllowed(origin, list) {
  if (typeof origin !== "string") return false;
  var m = /^(https?):\/\/(\[[0-9a-fA-F:.]+\]|[^/:]+)(?::(\d+))?$/.exec(origin);
  if (!m) return false;
  for (var i = 0; i < list.length; i++) {
    var p = /^(https?):\/\/(\[[0-9a-fA-F:.]+\]|[^/:]+)(?::(\d+|\*))?$/.exec(list[i]);
    if (!p) continue;
    if (p[1] !== m[1] || p[2].toLowerCase() !== m[2].toLowerCase()) continue;
    var port = m[3] || (m[1] === "https" ? "443" : "80");
    var want = p[3] || (p[1] === "https" ? "443" : "80");
    if (want === "*" || want === port) return true;
  }
  return false;
}

if (typeof module !== "undefined") module.exports = { TESSARO_ALLOWED_ORIGINS, tessaroOriginAllowed };
