// tessaro-client.js: the page's side of the Tessaro enrollment host.
//
//   const t = new TessaroClient({ timeoutMs: 120000 });
//   await t.ready();                       // extension present?
//   const csps = await t.getCSPInfo();     // "name1||name2||..."
//   await t.setCSPInfo(2048, csps.split("||")[0]);
//   ...
//
// Every operation returns a promise. It resolves with the operation's
// "result" and rejects with a TessaroError whose .code is the host's
// "errorcode" (a number) or a string for failures outside the host
// ("TIMEOUT", "EXTENSION_MISSING", "DISCONNECTED", "BAD_ARGUMENT",
// "BAD_RESPONSE", "REFUSED"), and whose .description is the host's
// "GetLastErrorDesc" text (English or Chinese, as the host's locale says) or a
// plain reason. Calls are sent one at a time so that each failure's
// description is the one of that failure.
(function (root) {
  "use strict";

  const TO_EXTENSION = "tessaro-page";
  const TO_PAGE = "tessaro-extension";
  // The host's answer when it could not read the request at all.
  const NTE_INTERNAL_ERROR = -2146893779;

  class TessaroError extends Error {
    constructor(code, description, fn) {
      super(`${fn ? fn + ": " : ""}${description} (${typeof code === "number" ? "0x" + (code >>> 0).toString(16) : code})`);
      this.name = "TessaroError";
      this.code = code;
      this.description = description;
      this.function = fn || "";
    }
  }

  function randomId() {
    const b = new Uint8Array(8);
    (root.crypto || globalThis.crypto).getRandomValues(b);
    return Array.from(b, (x) => x.toString(16).padStart(2, "0")).join("");
  }

  class TessaroClient {
    constructor(options) {
      const o = options || {};
      this.timeoutMs = o.timeoutMs || 120000;       // key generation can take a while
      this.readyTimeoutMs = o.readyTimeoutMs || 3000;
      this.window = o.window || root;
      this.pending = new Map();                      // randomId -> {resolve, reject, timer, fn}
      this.order = [];                               // randomIds in sending order
      this.queue = Promise.resolve();
      this.pong = null;
      this.onMessage = this.onMessage.bind(this);
      this.window.addEventListener("message", this.onMessage);
      // Learn early whether an extension serves this page, so a timeout can say which side is missing.
      this.post({ type: "ping" });
    }

    close() {
      this.window.removeEventListener("message", this.onMessage);
      this.failAll("DISCONNECTED", "The client was closed.");
    }

    // Resolves with the extension's version, rejects with EXTENSION_MISSING
    // when no extension answers for this page (not installed, or this site is
    // not in its list).
    ready() {
      if (this.pong) return Promise.resolve(this.pong);
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => {
          this.pongWaiter = null;
          reject(new TessaroError("EXTENSION_MISSING",
            "The Tessaro enrollment extension did not answer: it is not installed, or this site is not allowed to use it."));
        }, this.readyTimeoutMs);
        this.pongWaiter = (v) => { clearTimeout(timer); this.pongWaiter = null; resolve(v); };
        this.post({ type: "ping" });
      });
    }

    post(data) {
      this.window.postMessage(Object.assign({ channel: TO_EXTENSION }, data), this.window.location.origin);
    }

    onMessage(event) {
      if (event.source !== this.window || event.origin !== this.window.location.origin) return;
      const d = event.data;
      if (!d || d.channel !== TO_PAGE) return;
      if (d.type === "pong") {
        this.pong = d.version || "";
        if (this.pongWaiter) this.pongWaiter(this.pong);
      } else if (d.type === "response") {
        this.onResponse(d.message);
      } else if (d.type === "refused") {
        this.settle(d.randomId, null, new TessaroError("REFUSED", d.reason || "The extension refused the request."));
      } else if (d.type === "disconnected") {
        this.failAll("DISCONNECTED", "The enrollment host is not available: " + (d.reason || "it exited."));
      }
    }

    onResponse(msg) {
      if (!msg || typeof msg !== "object") return;
      let id = typeof msg.randomId === "string" ? msg.randomId : null;
      // The host's fallback answer may lack the id; it answers in order, so it
      // belongs to the oldest call still waiting.
      if (id === null || !this.pending.has(id)) {
        if (id !== null) return;  // an answer to a call that already timed out
        id = this.order.length ? this.order[0] : null;
        if (id === null) return;
      }
      this.settle(id, msg, null);
    }

    settle(id, msg, error) {
      const p = this.pending.get(id);
      if (!p) return;
      this.pending.delete(id);
      this.order = this.order.filter((x) => x !== id);
      clearTimeout(p.timer);
      if (error) p.reject(error);
      else p.resolve(msg);
    }

    failAll(code, reason) {
      for (const id of Array.from(this.pending.keys())) this.settle(id, null, new TessaroError(code, reason));
    }

    // One request and its raw response object.
    send(fn, params) {
      return new Promise((resolve, reject) => {
        const id = randomId();
        const timer = setTimeout(() => {
          this.settle(id, null, new TessaroError("TIMEOUT",
            this.pong === null
              ? `No answer within ${this.timeoutMs} ms: the Tessaro enrollment extension is not installed or does not serve this site.`
              : `No answer within ${this.timeoutMs} ms from the enrollment host.`, fn));
        }, this.timeoutMs);
        this.pending.set(id, { resolve, reject, timer, fn });
        this.order.push(id);
        this.post({ type: "request", message: { function: fn, params, randomId: id } });
      });
    }

    // A whole operation: the request, and on failure the host's description.
    call(fn, params, check) {
      const run = async () => {
        if (check) {
          const bad = check();
          if (bad) throw new TessaroError("BAD_ARGUMENT", bad, fn);
        }
        const r = await this.send(fn, params);
        if (typeof r.errorcode !== "number") throw new TessaroError("BAD_RESPONSE", "The host's answer has no error code.", fn);
        if (r.errorcode === 0) return r.result;
        if (r.errorcode === NTE_INTERNAL_ERROR && r.function !== fn && r.function !== "KEVO_" + fn) {
          throw new TessaroError(r.errorcode, "The host could not read the request.", fn);
        }
        let description = "";
        if (fn !== "GetLastErrorDesc") {
          try {
            const d = await this.send("GetLastErrorDesc", []);
            if (d.errorcode === 0 && typeof d.result === "string") description = d.result;
          } catch (e) {
            description = "";
          }
        }
        throw new TessaroError(r.errorcode, description || "The operation failed.", fn);
      };
      const p = this.queue.then(run, run);
      this.queue = p.catch(() => {});
      return p;
    }

    getVersion() { return this.call("KEVO_GetVersion", []); }
    getCSPInfo() { return this.call("KEVO_GetCSPInfo", []); }
    getLastErrorDesc() { return this.call("GetLastErrorDesc", []); }
    getContainer() { return this.call("KEVO_GetContainer", []); }
    getAllCertInfo(cspName) {
      return this.call("KEVO_GetAllCertInfo", [cspName], () => str("cspName", cspName));
    }
    setCSPInfo(keyLength, cspName) {
      return this.call("KEVO_SetCSPInfo", [keyLength, cspName],
        () => int("keyLength", keyLength) || str("cspName", cspName));
    }
    setKeyAlgorithm(keyAlgorithm) {
      return this.call("KEVO_SetKeyAlgorithm", [keyAlgorithm], () => str("keyAlgorithm", keyAlgorithm));
    }
    pkcs10CertRequisition(subjectDN, certType, signPrivateKeyGenerateFlags) {
      return this.call("KEVO_PKCS10CertRequisition", [subjectDN, certType, signPrivateKeyGenerateFlags || 0],
        () => str("subjectDN", subjectDN) || int("certType", certType) ||
              int("signPrivateKeyGenerateFlags", signPrivateKeyGenerateFlags || 0));
    }
    pkcs10CertRequisitionWithMD5(subjectDN, certType, signPrivateKeyGenerateFlags) {
      return this.call("KEVO_PKCS10CertRequisitionwithMD5", [subjectDN, certType, signPrivateKeyGenerateFlags || 0],
        () => str("subjectDN", subjectDN) || int("certType", certType) ||
              int("signPrivateKeyGenerateFlags", signPrivateKeyGenerateFlags || 0));
    }
    importSignCert(certType, signCert, containerName) {
      return this.call("KEVO_ImportSignCert", [certType, signCert, containerName],
        () => int("certType", certType) || str("signCert", signCert) || str("containerName", containerName));
    }
    importEncryptCert(encryptedPrivateKey, encryptPublicCert, containerName, encryptCertPrivateKeyFlags) {
      return this.call("KEVO_ImportEncryptCert",
        [encryptedPrivateKey, encryptPublicCert, containerName, encryptCertPrivateKeyFlags || 0],
        () => str("encryptedPrivateKey", encryptedPrivateKey) || str("encryptPublicCert", encryptPublicCert) ||
              str("containerName", containerName) ||
              int("encryptCertPrivateKeyFlags", encryptCertPrivateKeyFlags || 0));
    }
  }

  function str(name, v) { return typeof v === "string" ? null : `${name} must be a string`; }
  function int(name, v) {
    return Number.isInteger(v) && v >= -2147483648 && v <= 2147483647 ? null : `${name} must be a 32-bit integer`;
  }

  root.TessaroClient = TessaroClient;
  root.TessaroError = TessaroError;
  if (typeof module !== "undefined") module.exports = { TessaroClient, TessaroError };
})(typeof window !== "undefined" ? window : globalThis);
