// Page origins that may use the enrollment host. A deployment names its own
// sites at package build (make package ORIGINS="..." rewrites this list and the
// content script "matches" in manifest.json); "*" as the port allows any port.
// The default is the demonstration site on loopback.
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

// The administrator's managed list (storage.managed "allowedOrigins") only
// narrows the built list: an origin is served when both allow it. No managed
// list (null or not an array) leaves the built list; an empty one serves no page.
function tessaroOriginServed(origin, built, managed) {
  if (!tessaroOriginAllowed(origin, built)) return false;
  if (!Array.isArray(managed)) return true;
  return tessaroOriginAllowed(origin, managed.filter(function (o) { return typeof o === "string"; }));
}

// The managed list as a promise: an array, or null when the administrator set
// none or the browser has no managed storage (Firefox without its managed
// manifest rejects the read). Chromium can leave the read unanswered for a
// long time, or for good before its extension policies are loaded: after
// waitMs it resolves undefined (what was known stands), and an answer that
// comes later goes to late(list), as a change would.
function tessaroReadManaged(api, waitMs, late) {
  return new Promise(function (resolve) {
    var done = false;
    function answer(v) {
      if (!done) {
        done = true;
        resolve(v);
      } else if (late) {
        late(v);
      }
    }
    if (waitMs > 0) setTimeout(function () {
      if (!done) { done = true; resolve(undefined); }
    }, waitMs);
    try {
      var p = api.storage && api.storage.managed && api.storage.managed.get("allowedOrigins");
      if (!p || typeof p.then !== "function") return answer(null);
      p.then(function (items) {
        answer(items && Array.isArray(items.allowedOrigins) ? items.allowedOrigins : null);
      }, function () { answer(null); });
    } catch (e) {
      answer(null);
    }
  });
}

// How long a page waits for the managed list before the built list serves it.
var TESSARO_MANAGED_WAIT_MS = 1000;

// Calls f(list) whenever the administrator's list changes (null: removed).
function tessaroOnManagedChange(api, f) {
  if (!api.storage || !api.storage.onChanged) return;
  api.storage.onChanged.addListener(function (changes, area) {
    if (area !== "managed" || !changes.allowedOrigins) return;
    var v = changes.allowedOrigins.newValue;
    f(Array.isArray(v) ? v : null);
  });
}

if (typeof module !== "undefined") module.exports = { TESSARO_ALLOWED_ORIGINS, tessaroOriginAllowed, tessaroOriginServed,
  tessaroReadManaged };
