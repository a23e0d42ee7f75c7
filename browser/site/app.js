// The demonstration enrollment page: one TessaroClient (one host process) for
// the life of the page, the test CA behind /api.
"use strict";

const TEXT = {
  en: {
    title: "Certificate enrollment", language: "Language", choices: "Your choices", provider: "Provider",
    algorithm: "Algorithm", keyLength: "Key length", certType: "Certificate type",
    single: "Single (signing)", double: "Double (signing and encryption)", subject: "Subject",
    enroll: "Enroll", refresh: "Refresh listing", progress: "Progress", request: "Certificate request",
    issued: "Issued certificates", listing: "Your certificates", colSubject: "Subject",
    colSerial: "Serial number", colFrom: "Valid from", colTo: "Valid to", colProvider: "Provider",
    checking: "Looking for the enrollment extension…",
    present: (v, hv) => `Enrollment extension ${v}, host version ${hv}.`,
    missing: "The enrollment extension is not installed, or it does not serve this site.",
    working: "Enrolling…", done: "Enrolled.", failed: "Enrollment failed.",
    setCSP: "Provider and key length set", setAlg: "Key algorithm set", makeRequest: "Key pair generated, request made",
    container: "Key container", caCheck: "The CA read the request", caIssue: "The CA issued the signing certificate",
    caEnvelope: "The CA made the encryption key and its envelope", importSign: "Signing certificate installed",
    importEnc: "Encryption certificate and key installed", listed: "Certificates listed",
    signCert: "Signing certificate", encCert: "Encryption certificate", envelope: "Key envelope",
    code: "Result code", reason: "Reason", step: "Step", empty: "No certificates.",
    caRefused: "The certification authority refused the request",
    loginTitle: "Log in with your certificate", loginLink: "Log in with your certificate",
    loginHow: "Your browser offers the certificate to the site once the Tessaro Certificates module is loaded into it (tessaro-register install). RSA certificates only: browsers on Linux know no SM2 in TLS.",
    reqInfo: (i) => `${i.algorithm} ${i.keyBits} bits, ${i.signatureAlgorithm}, ${i.type === 2 || i.exchangeKeyBits ? "double certificate" : "single certificate"}`,
  },
  zh: {
    title: "证书申请", language: "语言", choices: "申请选项", provider: "密码服务提供者 (CSP)",
    algorithm: "算法", keyLength: "密钥长度", certType: "证书类型",
    single: "单证书（签名）", double: "双证书（签名和加密）", subject: "主题",
    enroll: "申请证书", refresh: "刷新列表", progress: "进度", request: "证书请求",
    issued: "已签发的证书", listing: "您的证书", colSubject: "主题",
    colSerial: "序列号", colFrom: "生效时间", colTo: "失效时间", colProvider: "CSP",
    checking: "正在查找证书申请扩展…",
    present: (v, hv) => `证书申请扩展 ${v}，本地程序版本 ${hv}。`,
    missing: "未安装证书申请扩展，或该扩展不为本网站服务。",
    working: "正在申请…", done: "申请成功。", failed: "申请失败。",
    setCSP: "已设置 CSP 和密钥长度", setAlg: "已设置密钥算法", makeRequest: "已生成密钥对和证书请求",
    container: "密钥容器", caCheck: "CA 已读取证书请求", caIssue: "CA 已签发签名证书",
    caEnvelope: "CA 已生成加密密钥及其数字信封", importSign: "签名证书已安装",
    importEnc: "加密证书和密钥已安装", listed: "证书已列出",
    signCert: "签名证书", encCert: "加密证书", envelope: "密钥信封",
    code: "错误码", reason: "原因", step: "步骤", empty: "没有证书。",
    caRefused: "证书颁发机构拒绝了请求",
    loginTitle: "用证书登录", loginLink: "用您的证书登录",
    loginHow: "在浏览器中加载 Tessaro Certificates 模块（tessaro-register install）后，浏览器会向网站提供该证书。仅限 RSA 证书：Linux 上的浏览器的 TLS 不支持 SM2。",
    reqInfo: (i) => `${i.algorithm} ${i.keyBits} 位，${i.signatureAlgorithm}，${i.type === 2 || i.exchangeKeyBits ? "双证书" : "单证书"}`,
  },
};

const $ = (id) => document.getElementById(id);
let lang = new URLSearchParams(location.search).get("lang") === "zh" ? "zh" : "en";
const client = new TessaroClient({ timeoutMs: 180000 });
let providers = [];

function t(key, ...args) {
  const v = TEXT[lang][key];
  return typeof v === "function" ? v(...args) : v;
}

function applyLanguage() {
  document.documentElement.lang = lang === "zh" ? "zh-CN" : "en";
  $("lang").value = lang;
  for (const el of document.querySelectorAll("[data-i18n]")) el.textContent = t(el.dataset.i18n);
}

function step(key, detail) {
  const li = document.createElement("li");
  li.className = "ok";
  li.textContent = t(key) + (detail ? `: ${detail}` : "");
  $("steps").appendChild(li);
}

function setStatus(state, text) {
  $("status").dataset.state = state;
  $("status").textContent = text;
}

function showError(stepKey, e) {
  const box = $("error");
  box.hidden = false;
  box.textContent = "";
  const code = typeof e.code === "number" ? `0x${(e.code >>> 0).toString(16)} (${e.code})` : String(e.code || "");
  for (const [k, v] of [["step", t(stepKey)], ["code", code], ["reason", e.description || e.message]]) {
    const div = document.createElement("div");
    div.textContent = `${t(k)}: ${v}`;
    box.appendChild(div);
  }
}

async function ca(route, request) {
  const r = await fetch(route, {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ request }),
  });
  const j = await r.json();
  if (!r.ok) {
    const err = new Error(j.error || `HTTP ${r.status}`);
    err.code = `CA ${r.status}`;
    err.description = `${t("caRefused")}: ${j.error || r.status}`;
    throw err;
  }
  return j;
}

function showListing(text) {
  const body = $("listing").querySelector("tbody");
  body.textContent = "";
  const entries = text ? text.split("||") : [];
  for (const entry of entries) {
    const tr = document.createElement("tr");
    for (const f of entry.split(";")) {
      const td = document.createElement("td");
      td.textContent = f;
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
  if (!entries.length) {
    const tr = document.createElement("tr");
    const td = document.createElement("td");
    td.colSpan = 5;
    td.textContent = t("empty");
    tr.appendChild(td);
    body.appendChild(tr);
  }
  return entries.map((e) => {
    const [subject, serial, from, to, provider] = e.split(";");
    return { subject, serial, from, to, provider };
  });
}

function addIssued(label, value) {
  const dt = document.createElement("dt");
  dt.textContent = t(label);
  const dd = document.createElement("dd");
  dd.textContent = value.length > 160 ? value.slice(0, 160) + "…" : value;
  $("issued").append(dt, dd);
}

async function listCertificates() {
  return showListing(await client.getAllCertInfo(providers.join("||")));
}

// The whole enrollment; resolves with what happened, for people and tests.
async function enroll(choice) {
  const c = Object.assign({
    provider: $("provider").value,
    algorithm: $("algorithm").value,
    keyLength: Number($("keyLength").value),
    certType: Number($("certType").value),
    subject: $("subject").value,
  }, choice || {});
  const out = { choice: c };
  let at = "setCSP";
  $("steps").textContent = "";
  $("issued").textContent = "";
  $("request").textContent = "";
  $("requestInfo").textContent = "";
  $("error").hidden = true;
  $("enroll").disabled = true;
  setStatus("working", t("working"));
  try {
    await client.setCSPInfo(c.keyLength, c.provider);
    step("setCSP", `${c.provider}, ${c.keyLength}`);
    at = "setAlg";
    await client.setKeyAlgorithm(c.algorithm);
    step("setAlg", c.algorithm);
    at = "makeRequest";
    out.request = await client.pkcs10CertRequisition(c.subject, c.certType, 0);
    $("request").textContent = out.request;
    step("makeRequest");
    at = "container";
    out.container = await client.getContainer();
    step("container", out.container);
    at = "caCheck";
    out.requestInfo = await ca("/api/check", out.request);
    $("requestInfo").textContent = t("reqInfo", out.requestInfo);
    step("caCheck");
    at = "caIssue";
    out.signCert = (await ca("/api/issue", out.request)).certificate;
    addIssued("signCert", out.signCert);
    step("caIssue");
    at = "importSign";
    out.importSign = await client.importSignCert(c.certType, out.signCert, out.container);
    step("importSign");
    if (c.certType === 2) {
      at = "caEnvelope";
      const env = await ca("/api/envelope", out.request);
      out.encCert = env.certificate;
      out.envelope = env.envelope;
      addIssued("encCert", out.encCert);
      addIssued("envelope", out.envelope);
      step("caEnvelope");
      at = "importEnc";
      out.importEnc = await client.importEncryptCert(out.envelope, out.encCert, out.container, 0);
      step("importEnc");
    }
    at = "listed";
    out.listing = await listCertificates();
    step("listed", String(out.listing.length));
    setStatus("done", t("done"));
    if (c.algorithm === "RSA") showLogin();
    out.ok = true;
  } catch (e) {
    showError(at, e);
    setStatus("failed", t("failed"));
    out.ok = false;
    out.failedAt = at;
    out.error = { code: e.code, description: e.description || e.message, message: e.message };
  } finally {
    $("enroll").disabled = false;
  }
  return out;
}

// The site's HTTPS page that logs in with the certificate just enrolled.
const siteInfo = fetch("/api/site").then((r) => r.json()).catch(() => ({}));
async function showLogin() {
  const { login } = await siteInfo;
  if (!login) return;
  $("loginLink").href = login;
  $("loginStep").hidden = false;
}

function fillProviders(list) {
  providers = list ? list.split("||").filter(Boolean) : [];
  const sel = $("provider");
  sel.textContent = "";
  for (const p of providers) {
    const o = document.createElement("option");
    o.value = o.textContent = p;
    sel.appendChild(o);
  }
}

// Key length follows the algorithm: SM2 keys are 256 bits.
$("algorithm").addEventListener("change", () => {
  $("keyLength").value = $("algorithm").value === "SM2" ? "256" : "2048";
  const sm2 = providers.find((p) => /SM2/.test(p));
  const rsa = providers.find((p) => !/SM2/.test(p));
  if ($("algorithm").value === "SM2" && sm2) $("provider").value = sm2;
  if ($("algorithm").value === "RSA" && rsa && /SM2/.test($("provider").value)) $("provider").value = rsa;
});
$("lang").addEventListener("change", () => {
  lang = $("lang").value;
  applyLanguage();
});
$("form").addEventListener("submit", (ev) => {
  ev.preventDefault();
  enroll();
});
$("list").addEventListener("click", () => listCertificates().catch((e) => showError("listed", e)));

const started = (async () => {
  applyLanguage();
  try {
    const ext = await client.ready();
    const version = await client.getVersion();
    fillProviders(await client.getCSPInfo());
    $("presence").textContent = t("present", ext, version);
    $("enroll").disabled = false;
    $("list").disabled = false;
    return { extension: ext, version, providers };
  } catch (e) {
    $("presence").textContent = t("missing");
    $("presence").className = "error";
    return { error: { code: e.code, description: e.description || e.message } };
  }
})();

// ?auto=RSA,SM2 runs single and double-certificate enrollments unattended
// when the page opens and reports the outcome to the site (for browsers driven
// without an automation protocol, and for kiosk demonstrations); RSA:1 is the
// single-certificate one alone, RSA:2 the double.
const AUTO = {
  RSA: { provider: "Microsoft Enhanced Cryptographic Provider v1.0", algorithm: "RSA", keyLength: 2048 },
  SM2: { provider: "Tessaro SM2 Token CSP v1.0", algorithm: "SM2", keyLength: 256 },
};
const autoList = (new URLSearchParams(location.search).get("auto") || "").split(",")
  .map((a) => a.split(":")).filter(([a, t]) => AUTO[a] && (t === undefined || t === "1" || t === "2"));
if (autoList.length) {
  (async () => {
    const report = { start: await started, runs: [] };
    if (!report.start.error) {
      for (const [a, only] of autoList) {
        for (const certType of only ? [Number(only)] : [1, 2]) {
          const r = await enroll(Object.assign({ certType, subject: `CN=Auto ${a} ${certType === 2 ? "Double" : "Single"},O=Tessaro,C=CN` }, AUTO[a]));
          report.runs.push({ label: a, certType, ok: r.ok, failedAt: r.failedAt, error: r.error,
            signCert: r.signCert, encCert: r.encCert, listing: r.listing });
        }
      }
    }
    await fetch("/api/report", { method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(report) })
      .catch(() => {});
    document.title = "auto: finished";
  })();
}

window.tessaroDemo = { enroll, started, client, listCertificates, setLanguage: (l) => { lang = l; applyLanguage(); } };
