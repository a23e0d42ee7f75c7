// Relays enrollment requests from allowed pages to the native host.
// Every page (its content script's port) gets its own native port for its
// whole life: a new native port starts a new host process whose agent has
// fresh settings, so a page's provider, algorithm and container must stay with
// one process. Closing the page closes the native port, and the host exits
// when its input closes.
if (typeof importScripts === "function") importScripts("origins.js");

const HOST_NAME = "com.tessaro.qirtal";
// The host never sends more than 1 MiB; a request that big is a mistake.
const MAX_REQUEST_CHARS = 1024 * 1024;

const api = typeof browser !== "undefined" ? browser : chrome;

function senderOrigin(sender) {
  if (sender.origin) return sender.origin;
  try { return new URL(sender.url).origin; } catch (e) { return ""; }
}

// The administrator's list (null: none). Policies may reach the browser
// seconds after it started, so each page reads it afresh and a change closes
// the pages it no longer allows.
let managedOrigins = null;
const pages = new Set();

function served(origin) {
  return tessaroOriginServed(origin, TESSARO_ALLOWED_ORIGINS, managedOrigins);
}

function managedChanged(list) {
  managedOrigins = list;
  for (const page of Array.from(pages))
    if (!served(page.origin)) page.close();
}
tessaroOnManagedChange(api, managedChanged);

api.runtime.onConnect.addListener((pagePort) => {
  if (pagePort.name !== "tessaro-page") return;
  const origin = senderOrigin(pagePort.sender || {});
  if (!tessaroOriginAllowed(origin, TESSARO_ALLOWED_ORIGINS)) {
    // Not ours to serve: no host, no answer.
    pagePort.disconnect();
    return;
  }
  // Requests wait here until the managed list has been read.
  let waiting = [];
  let nativePort = null;
  let pageGone = false;
  // Once the host has gone, this page's conversation is over: a new host
  // would start with fresh settings behind the page's back, so later
  // requests are refused until the page reloads.
  let ended = null;

  function openNative() {
    let port;
    try {
      port = api.runtime.connectNative(HOST_NAME);
    } catch (e) {
      ended = String(e && e.message || e);
      pagePort.postMessage({ type: "disconnected", reason: ended });
      return null;
    }
    port.onMessage.addListener((msg) => {
      if (!pageGone) pagePort.postMessage({ type: "response", message: msg });
    });
    port.onDisconnect.addListener((p) => {
      const err = (p && p.error) || api.runtime.lastError;
      if (nativePort === port) nativePort = null;
      ended = err && err.message ? err.message : "Native host has exited.";
      if (!pageGone) pagePort.postMessage({ type: "disconnected", reason: ended });
    });
    return port;
  }

  function onRequest(msg) {
    if (!msg || msg.type !== "request" || typeof msg.message !== "object" || msg.message === null) return;
    let text;
    try { text = JSON.stringify(msg.message); } catch (e) { return; }
    if (text.length > MAX_REQUEST_CHARS) {
      pagePort.postMessage({ type: "refused", randomId: msg.message.randomId, reason: "request too large" });
      return;
    }
    if (ended !== null) {
      pagePort.postMessage({ type: "disconnected", reason: ended + " Reload the page to start again." });
      return;
    }
    if (!nativePort) nativePort = openNative();
    if (nativePort) nativePort.postMessage(msg.message);
  }

  function end() {
    pageGone = true;
    waiting = null;
    pages.delete(page);
    if (nativePort) {
      const p = nativePort;
      nativePort = null;
      p.disconnect();
    }
  }

  const page = {
    origin,
    close() {
      end();
      pagePort.disconnect();
    },
  };
  pages.add(page);

  pagePort.onMessage.addListener((msg) => {
    if (pageGone) return;
    if (waiting) waiting.push(msg);
    else onRequest(msg);
  });
  pagePort.onDisconnect.addListener(end);

  tessaroReadManaged(api, TESSARO_MANAGED_WAIT_MS, managedChanged).then((list) => {
    if (pageGone) return;
    if (list !== undefined) managedOrigins = list;
    if (!served(origin)) {
      page.close();
      return;
    }
    const queued = waiting;
    waiting = null;
    for (const msg of queued) onRequest(msg);
  });
});
