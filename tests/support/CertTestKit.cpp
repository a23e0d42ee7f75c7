#include <cstring>

#include "tests/support/CertTestKit.h"
#include "tessaro/Handles.h"

namespace certkit {

namespace {

void Put32(Bytes& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

}  // namespace

PCCERT_CONTEXT NewContext(const Bytes& der) {
    tessaro::UniqueCertStore mem(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!mem) return nullptr;
    PCCERT_CONTEXT c = nullptr;
    CertAddEncodedCertificateToStore(mem.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, &c);
    return c;
}

bool SetKeyProvInfo(PCCERT_CONTEXT pCert, const std::u16string& container, const std::u16string& provider,
                    DWORD keySpec) {
    std::u16string c = container, p = provider;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = c.data();
    info.pwszProvName = p.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = keySpec;
    return CertSetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
}

bool CreateRsaContainer(const std::u16string& provider, const std::u16string& container, DWORD keySpec) {
    tessaro::UniqueCryptProv h;
    if (!CryptAcquireContextW(h.put(), container.c_str(), provider.c_str(), PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
        h.release();  // nothing was opened
        return false;
    }
    tessaro::UniqueCryptKey k;
    return CryptGenKey(h.get(), keySpec, (1024u << 16), k.put()) != FALSE;
}

Bytes Sm2PublicPoint(const std::u16string& container, DWORD keySpec) {
    Bytes point;
    tessaro::UniqueCryptProv h;
    if (!CryptAcquireContextW(h.put(), container.c_str(), SM2_CSP, PROV_RSA_FULL, 0)) {
        h.release();  // nothing was opened
        return point;
    }
    DWORD n = 0;
    if (CryptExportPublicKeyInfo(h.get(), keySpec, X509_ASN_ENCODING, nullptr, &n) && n) {
        std::vector<BYTE> buf(n);
        auto* info = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(buf.data());
        if (CryptExportPublicKeyInfo(h.get(), keySpec, X509_ASN_ENCODING, info, &n))
            point.assign(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
    }
    return point;
}

Sm2Container CreateSm2Container(const std::u16string& container, bool exchange, bool signature, bool bind,
                                const std::string& cn, const Bytes& serial) {
    Sm2Container out;
    tessaro::UniqueCryptProv h;
    if (!CryptAcquireContextW(h.put(), container.c_str(), SM2_CSP, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
        h.release();  // nothing was opened
        return out;
    }
    bool ok = true;
    for (DWORD spec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
        if ((spec == AT_KEYEXCHANGE && !exchange) || (spec == AT_SIGNATURE && !signature)) continue;
        tessaro::UniqueCryptKey k;
        if (!CryptGenKey(h.get(), spec, 0, k.put())) {
            k.release();  // nothing was made
            ok = false;
            continue;
        }
        k.reset();
        CertSpec cs;
        cs.subject = {{"C", "CN"}, {"O", "Tessaro"}, {"CN", cn + (spec == AT_KEYEXCHANGE ? " exchange" : " signature")}};
        cs.issuer = {{"C", "CN"}, {"CN", "SM2 Test CA"}};
        cs.serial = serial;
        cs.serial.push_back(static_cast<uint8_t>(spec));
        cs.sm2 = true;
        const Bytes point = Sm2PublicPoint(container, spec);
        tessaro_test::pki::Key key = point.empty() ? nullptr : tessaro_test::pki::Sm2PublicKey(point);
        cs.subjectKey = key.get();
        Bytes der = key ? MakeCert(cs) : Bytes{};
        if (der.empty()) ok = false;
        if (bind) {
            tessaro::UniqueCryptKey uk;
            if (!CryptGetUserKey(h.get(), spec, uk.put()) || !CryptSetKeyParam(uk.get(), KP_CERTIFICATE, der.data(), 0))
                ok = false;
        }
        (spec == AT_KEYEXCHANGE ? out.exchangeCert : out.signatureCert) = der;
    }
    out.ok = ok;
    return out;
}

bool OverwriteStoredCertificate(const std::u16string& container, DWORD keySpec, const Bytes& bytes) {
    const std::u16string root = u"Software\\Tessaro\\Crypto\\Keys";
    tessaro::UniqueHkey hRoot;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, root.c_str(), 0, KEY_READ, hRoot.put()) != ERROR_SUCCESS) {
        hRoot.release();  // nothing was opened
        return false;
    }
    bool done = false;
    for (DWORD i = 0; !done; ++i) {
        WCHAR family[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(hRoot.get(), i, family, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        std::u16string path = root + u"\\" + std::u16string(family, cch) + u"\\" + container;
        tessaro::UniqueHkey k;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ | KEY_WRITE, k.put()) != ERROR_SUCCESS) {
            k.release();  // nothing was opened
            continue;
        }
        const char16_t* value = keySpec == AT_SIGNATURE ? u"Signature" : u"Exchange";
        DWORD type = 0, cb = 0;
        if (RegQueryValueExW(k.get(), value, nullptr, &type, nullptr, &cb) == ERROR_SUCCESS && cb >= 24) {
            Bytes rec(cb);
            if (RegQueryValueExW(k.get(), value, nullptr, &type, rec.data(), &cb) == ERROR_SUCCESS) {
                // magic, algorithm, flags, bits, private part, certificate part
                size_t privLen = Get32(rec.data() + 16);
                Bytes out(rec.begin(), rec.begin() + 20 + static_cast<long>(privLen));
                Put32(out, static_cast<uint32_t>(bytes.size()));
                out.insert(out.end(), bytes.begin(), bytes.end());
                done = RegSetValueExW(k.get(), value, 0, REG_BINARY, out.data(), static_cast<DWORD>(out.size())) ==
                       ERROR_SUCCESS;
            }
        }
    }
    return done;
}

bool AddToMyStore(const Bytes& der, const std::u16string& container, const std::u16string& provider,
                  DWORD keySpec) {
    tessaro::UniqueCertStore s(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                             CERT_SYSTEM_STORE_CURRENT_USER, u"My"));
    if (!s) return false;
    tessaro::UniqueCertContext c;
    bool ok = CertAddEncodedCertificateToStore(s.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                               static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                               c.put()) != FALSE;
    if (ok && !container.empty()) ok = SetKeyProvInfo(c.get(), container, provider, keySpec);
    return ok;
}

}  // namespace certkit
