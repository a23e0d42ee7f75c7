// Bridge between the page (window.postMessage) and the extension's
// background (one runtime port for the life of the page). Only messages from
// the page's own window are taken; answers go back to the page's origin only.
(function () {
  const api = typeof browser !== "undefined" ? browser : chrome;
  const TO_EXTENSION = "tessaro-page";
  const TO_PAGE = "tessaro-extension";
  let port = null;
  // Pages outside the list get nothing, not even an answer to "ping".
  if (!tessaroOriginAllowed(window.location.origin, TESSARO_ALLOWED_ORIGINS)) return;
  // Nor do pages the administrator's managed list leaves out; messages wait
  // until it has been read.
  let managed = null;
  let waiting = [];
  function served() {
    return tessaroOriginServed(window.location.origin, TESSARO_ALLOWED_ORIGINS, managed);
  }
  function managedChanged(list) {
    managed = list;
    if (!served() && port) {
      const p = port;
      port = null;
      closed = true;
      p.disconnect();
    }
  }
  tessaroReadManaged(api, TESSARO_MANAGED_WAIT_MS, managedChanged).then((list) => {
    if (list !== undefined) managed = list;
    const queued = waiting;
    waiting = null;
    for (const data of queued) handle(data);
  });
  tessaroOnManagedChange(api, managedChanged);

  function toPage(data) {
    window.postMessage(Object.assign({ channel: TO_PAGE }, data), window.location.origin);
  }

  let closed = false;

  function ensurePort() {
    if (port) return port;
    port = api.runtime.connect({ name: "tessaro-page" });
    port.onMessage.addListener((msg) => toPage(msg));
    port.onDisconnect.addListener(() => {
      // The background went away, and its host with it: a new port would start a
      // host with fresh settings behind the page's back, so the page must reload.
      port = null;
      closed = true;
      toPage({ type: "disconnected", reason: "The enrollment extension closed the connection." });
    });
    return port;
  }

  window.addEventListener("message", (event) => {
    if (event.source !== window || event.origin !== window.location.origin) return;
    const data = event.data;
    if (!data || data.channel !== TO_EXTENSION) return;
    if (waiting) waiting.push(data);
    else handle(data);
  });

  function handle(data) {
    if (!served()) return;
    if (data.type === "ping") {
      toPage({ type: "pong", version: api.runtime.getManifest().version });
      return;
    }
    if (data.type !== "request") return;
    if (closed) {
      toPage({ type: "disconnected", reason: "The enrollment extension closed the connection. Reload the page to start again." });
      return;
    }
    ensurePort().postMessage({ type: "request", message: data.message });
  }
})();
