// OpenSSL before the platform headers, whose structure-type macros clash.
#include <openssl/evp.h>

#include "tests/support/EnrollTestSupport.h"
#include "tessaro/Handles.h"

#include <algorithm>
#include <cstring>

namespace enroll_test {

namespace {

std::string Frame(const std::string& payload) {
    std::string s;
    uint32_t n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return s + payload;
}

std::string Hex(const std::vector<BYTE>& v) { return tessaro_test::ToHex(v.data(), v.size()); }

using tessaro_test::Narrow;

using Prov = tessaro::UniqueCryptProv;

using Key = tessaro::UniqueCryptKey;

bool Acquire(Prov& p, const std::string& provider, const std::string& container, bool sm2) {
    std::u16string wp = Wide(provider), wc = Wide(container);
    DWORD type = provider == AES ? PROV_RSA_AES : PROV_RSA_FULL;
    if (!CryptAcquireContextW(p.put(), wc.c_str(), wp.c_str(), type, sm2 ? CRYPT_VERIFYCONTEXT : 0)) {
        p.release();  // nothing was opened
        return false;
    }
    return true;
}

std::vector<BYTE> KeyParamBytes(HCRYPTKEY k, DWORD param) {
    DWORD cb = 0;
    if (!CryptGetKeyParam(k, param, nullptr, &cb, 0) || cb == 0) return {};
    std::vector<BYTE> v(cb, 0);
    if (!CryptGetKeyParam(k, param, v.data(), &cb, 0)) return {};
    v.resize(cb);
    return v;
}

std::vector<BYTE> PublicBlob(HCRYPTKEY k) {
    DWORD cb = 0;
    if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, nullptr, &cb) || cb == 0) return {};
    std::vector<BYTE> v(cb, 0);
    if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, v.data(), &cb)) return {};
    v.resize(cb);
    return v;
}


using StoreCloser = tessaro::UniqueCertStore;

HCERTSTORE OpenMy() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
}

KeyProvInfo ReadKeyProvInfo(PCCERT_CONTEXT c) {
    KeyProvInfo r;
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb) || cb == 0) return r;
    std::vector<ULONG_PTR> buf(cb / sizeof(ULONG_PTR) + 1, 0);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, info, &cb)) return r;
    r.found = true;
    if (info->pwszContainerName) r.container = info->pwszContainerName;
    if (info->pwszProvName) r.provider = info->pwszProvName;
    r.provType = info->dwProvType;
    r.flags = info->dwFlags;
    r.params = info->cProvParam;
    r.keySpec = info->dwKeySpec;
    return r;
}

bool SameEncoding(PCCERT_CONTEXT c, const std::vector<uint8_t>& der) {
    return c->cbCertEncoded == der.size() && memcmp(c->pbCertEncoded, der.data(), der.size()) == 0;
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \r\n\t");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \r\n\t");
    return s.substr(a, b - a + 1);
}

}  // namespace

std::vector<std::string> ContainerNames(const std::string& provider) {
    std::vector<std::string> names;
    Prov p;
    std::u16string wp = Wide(provider);
    if (!CryptAcquireContextW(p.put(), nullptr, wp.c_str(), PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return {"<cannot enumerate " + provider + ">"};
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        BYTE name[1024] = {};
        DWORD cb = sizeof name;
        if (!CryptGetProvParam(p.get(), PP_ENUMCONTAINERS, name, &cb, flags)) break;
        names.emplace_back(reinterpret_cast<char*>(name));
        flags = CRYPT_NEXT;
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Str(const std::string& s) {
    cJSON* j = cJSON_CreateString(s.c_str());
    char* p = cJSON_PrintUnformatted(j);
    std::string r = p ? p : "\"\"";
    cJSON_free(p);
    cJSON_Delete(j);
    return r;
}

std::string Call(const std::string& function, const std::vector<std::string>& jsonParams) {
    std::string s = "{\"function\":" + Str(function) + ",\"params\":[";
    for (size_t i = 0; i < jsonParams.size(); ++i) s += (i ? "," : "") + jsonParams[i];
    return s + "],\"randomId\":\"t\"}";
}

std::vector<Response> Converse(const std::vector<std::string>& requests) {
    std::string input;
    for (const auto& r : requests) input += Frame(r);
    auto res = tessaro_test::RunProcess({tessaro_test::BuildPath("TessaroHost.QIRTAL.x86")}, input,
                                        {"LC_ALL=", "LC_MESSAGES=", "LANG=C"}, 120);
    std::vector<Response> out;
    size_t pos = 0;
    const std::string& o = res.out;
    while (pos + 4 <= o.size()) {
        uint32_t n = 0;
        for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(o[pos + i])) << (8 * i);
        pos += 4;
        if (o.size() - pos < n) break;
        out.push_back(Decode(o.substr(pos, n)));
        pos += n;
    }
    if (res.exitCode != 0 || pos != o.size() || out.size() != requests.size()) {
        Response bad;
        bad.raw = "<host failed: exit " + std::to_string(res.exitCode) + ", " + std::to_string(out.size()) +
                  " responses; " + res.err + ">";
        return {bad};
    }
    return out;
}

TestCA::TestCA() {
    auto r = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "init", m_dir.path() + "/ca"}, "");
    m_ok = r.exitCode == 0;
    if (!m_ok) m_error = "testca init: exit " + std::to_string(r.exitCode) + ": " + r.err;
}

std::string TestCA::Issue(const std::string& base64Request) {
    auto r = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "issue", m_dir.path() + "/ca"},
                                      base64Request);
    if (r.exitCode != 0) {
        m_error = "testca issue: exit " + std::to_string(r.exitCode) + ": " + r.err;
        return "";
    }
    return Trim(r.out);
}

std::pair<std::string, std::string> TestCA::Envelope(const std::string& base64Request) {
    auto r = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "envelope", m_dir.path() + "/ca"},
                                      base64Request);
    std::pair<std::string, std::string> out;
    cJSON* root = r.exitCode == 0 ? cJSON_Parse(r.out.c_str()) : nullptr;
    if (!root) {
        m_error = "testca envelope: exit " + std::to_string(r.exitCode) + ": " + r.err;
        return out;
    }
    cJSON* cert = cJSON_GetObjectItem(root, "certificate");
    cJSON* env = cJSON_GetObjectItem(root, "envelope");
    if (cJSON_IsString(cert) && cJSON_IsString(env)) out = {cert->valuestring, env->valuestring};
    cJSON_Delete(root);
    return out;
}

::testing::AssertionResult EnrollDouble(TestCA& ca, const std::string& provider, int bits, const std::string& alg,
                                        const std::string& subject, Double& out) {
    auto first = Converse({Call("KEVO_SetCSPInfo", {Num(bits), Str(provider)}),
                           Call("KEVO_SetKeyAlgorithm", {Str(alg)}),
                           Call("KEVO_PKCS10CertRequisition", {Str(subject), Num(2), Num(0)}),
                           Call("KEVO_GetContainer", {})});
    if (first.size() != 4 || first[2].errorcode != 0) return ::testing::AssertionFailure() << first[0].raw;
    out.container = first[3].text;
    std::string sign = ca.Issue(first[2].text);
    if (sign.empty()) return ::testing::AssertionFailure() << ca.error();
    auto installed = Install(provider, bits, alg, 2, sign, out.container);
    if (installed.first.errorcode != 0) return ::testing::AssertionFailure() << installed.first.raw;
    auto env = ca.Envelope(first[2].text);
    if (env.first.empty()) return ::testing::AssertionFailure() << ca.error();
    auto imported = Converse({Call("KEVO_SetCSPInfo", {Num(bits), Str(provider)}),
                              Call("KEVO_SetKeyAlgorithm", {Str(alg)}),
                              Call("KEVO_ImportEncryptCert", {Str(env.second), Str(env.first), Str(out.container), Num(0)})});
    if (imported.size() != 3 || imported[2].errorcode != 0)
        return ::testing::AssertionFailure() << "encryption import: " << imported.back().raw;
    out.sign = Base64Decode(sign);
    out.encrypt = Base64Decode(env.first);
    return ::testing::AssertionSuccess();
}

std::vector<uint8_t> Base64Decode(const std::string& text) {
    std::string clean;
    for (char c : text)
        if (isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=') clean.push_back(c);
    if (clean.size() % 4 != 0) return {};
    std::vector<uint8_t> out(clean.size() / 4 * 3 + 1, 0);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                            static_cast<int>(clean.size()));
    if (n < 0) return {};
    size_t pad = 0;
    if (!clean.empty() && clean.back() == '=') ++pad;
    if (clean.size() > 1 && clean[clean.size() - 2] == '=') ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::string Snapshot() {
    std::string s;
    const struct {
        const char* provider;
        bool sm2;
    } families[] = {{ENHANCED, false}, {VENDOR_RSA, false}, {VENDOR_SM2, true}};
    for (const auto& f : families) {
        s += std::string("[") + f.provider + "]\n";
        for (const auto& name : ContainerNames(f.provider)) {
            s += name + ":";
            Prov p;
            if (!Acquire(p, f.provider, name, f.sm2)) {
                s += " <cannot open>\n";
                continue;
            }
            for (DWORD spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
                Key k;
                if (!CryptGetUserKey(p.get(), spec, k.put())) {
                    k.release();  // nothing was opened
                    s += " " + std::to_string(spec) + "=none";
                    continue;
                }
                s += " " + std::to_string(spec) + "=" + Hex(PublicBlob(k.get())) + "/" +
                     Hex(KeyParamBytes(k.get(), KP_CERTIFICATE));
            }
            s += "\n";
        }
    }
    std::vector<std::string> certs;
    StoreCloser store;
    store.reset(OpenMy());
    if (!store.get()) return s + "<cannot open MY>";
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c)) {
        KeyProvInfo i = ReadKeyProvInfo(c);
        certs.push_back(tessaro_test::ToHex(c->pbCertEncoded, c->cbCertEncoded) + " " + Narrow(i.container) + " " +
                        Narrow(i.provider) + " " + std::to_string(i.provType) + " " + std::to_string(i.keySpec));
    }
    std::sort(certs.begin(), certs.end());
    s += "[MY]\n";
    for (const auto& c : certs) s += c + "\n";
    return s;
}

int CountInMyStore(const std::vector<uint8_t>& der) {
    StoreCloser store;
    store.reset(OpenMy());
    if (!store.get()) return -1;
    int n = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c))
        if (SameEncoding(c, der)) ++n;
    return n;
}

KeyProvInfo KeyProvInfoInMyStore(const std::vector<uint8_t>& der) {
    StoreCloser store;
    store.reset(OpenMy());
    if (!store.get()) return {};
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c)) {
        if (SameEncoding(c, der)) {
            KeyProvInfo i = ReadKeyProvInfo(c);
            CertFreeCertificateContext(c);
            return i;
        }
    }
    return {};
}

std::vector<uint8_t> CertificateOnKey(const std::string& provider, const std::string& container, DWORD keySpec,
                                      bool sm2) {
    Prov p;
    if (!Acquire(p, provider, container, sm2)) return {};
    Key k;
    if (!CryptGetUserKey(p.get(), keySpec, k.put())) {
        k.release();  // nothing was opened
        return {};
    }
    return KeyParamBytes(k.get(), KP_CERTIFICATE);
}

Enrollment Enroll(TestCA& ca, const std::string& provider, int keyLength, const std::string& algorithm,
                  int certType, bool md5, const std::string& subject) {
    Enrollment e;
    auto first = Converse({
        Call("KEVO_SetCSPInfo", {Num(keyLength), Str(provider)}),
        Call("KEVO_SetKeyAlgorithm", {Str(algorithm)}),
        Call(md5 ? "KEVO_PKCS10CertRequisitionwithMD5" : "KEVO_PKCS10CertRequisition",
             {Str(subject), Num(certType), Num(0)}),
        Call("KEVO_GetContainer", {}),
    });
    if (first.size() != 4) {
        e.request = first[0];
        return e;
    }
    e.request = first[2];
    e.container = first[3];
    if (e.request.errorcode != 0) return e;
    e.certificate = ca.Issue(e.request.text);
    if (e.certificate.empty()) {
        e.import.raw = ca.error();
        return e;
    }
    e.der = Base64Decode(e.certificate);
    auto second = Install(provider, keyLength, algorithm, certType, e.certificate, e.container.text);
    e.import = second.first;
    e.desc = second.second;
    return e;
}

std::pair<Response, Response> Install(const std::string& provider, int keyLength, const std::string& algorithm,
                                      int certType, const std::string& certificate, const std::string& container) {
    auto r = Converse({
        Call("KEVO_SetCSPInfo", {Num(keyLength), Str(provider)}),
        Call("KEVO_SetKeyAlgorithm", {Str(algorithm)}),
        Call("KEVO_ImportSignCert", {Num(certType), Str(certificate), Str(container)}),
        Call("GetLastErrorDesc", {}),
    });
    if (r.size() != 4) return {r[0], r[0]};
    return {r[2], r[3]};
}

}  // namespace enroll_test
