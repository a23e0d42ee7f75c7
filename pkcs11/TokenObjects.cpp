// Reads the enrolled RSA certificates and their keys out of the platform: the
// certificates of the user's "My" store whose key-provider property names a
// container that holds that key, and the certificates held on the RSA keys of
// vendor providers' containers. Keys are only ever asked for their public
// half; their private numbers stay behind the providers.
#include "pkcs11/TokenObjects.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "tessaro/Handles.h"
#include "win/platform_prefix.h"
#include "win/platform_registry.h"
#include "win/winreg.h"

namespace tessaro::pkcs11 {

namespace {

using Bytes = std::vector<BYTE>;

Bytes Ulong(CK_ULONG v) {
    Bytes b(sizeof v);
    memcpy(b.data(), &v, sizeof v);
    return b;
}

Bytes Bool(bool v) { return Bytes{static_cast<BYTE>(v ? CK_TRUE : CK_FALSE)}; }

Bytes Text(const std::u16string& s) {
    if (s.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    Bytes out(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), reinterpret_cast<char*>(out.data()), n,
                        nullptr, nullptr);
    return out;
}

Bytes Encoded(LPCSTR type, const void* value) {
    DWORD cb = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, value, nullptr, &cb)) return {};
    Bytes out(cb);
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, value, out.data(), &cb)) return {};
    out.resize(cb);
    return out;
}

Bytes Blob(const CRYPT_DATA_BLOB& b) { return Bytes(b.pbData, b.pbData + b.cbData); }

// A digest through the platform's RSA/AES provider (SHA-1 .. SHA-512).
bool Digest(ALG_ID alg, const BYTE* p, size_t n, std::vector<BYTE>* out) {
    HCRYPTPROV prov = SoftwareProvider();
    UniqueCryptHash hash;
    if (!prov || !CryptCreateHash(prov, alg, 0, 0, hash.put())) return false;
    if (!CryptHashData(hash.get(), p, static_cast<DWORD>(n), 0)) return false;
    DWORD cb = 0;
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, nullptr, &cb, 0)) return false;
    out->resize(cb);
    return CryptGetHashParam(hash.get(), HP_HASHVAL, out->data(), &cb, 0) != FALSE;
}

// The prefix is read only where it already holds both hives: the platform
// would otherwise create them.
bool PrefixReadable() {
    std::string dir = tessaro_platform::PrefixPath();
    if (dir.empty()) return false;
    for (const char* hive : {"/user.db", "/machine.db"}) {
        std::string path = dir + hive;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), R_OK) != 0) return false;
    }
    return true;
}

// The public half of a container's key: modulus (big-endian) and exponent,
// from the provider's PUBLICKEYBLOB. False for a key that is not RSA.
bool ReadPublicKey(HCRYPTKEY key, Bytes* modulus, Bytes* exponent) {
    ALG_ID alg = 0;
    DWORD cb = sizeof alg;
    if (!CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&alg), &cb, 0)) return false;
    if (alg != CALG_RSA_KEYX && alg != CALG_RSA_SIGN) return false;
    DWORD cbBlob = 0;
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &cbBlob)) return false;
    Bytes blob(cbBlob);
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob)) return false;
    constexpr size_t kHeader = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    if (cbBlob < kHeader) return false;
    RSAPUBKEY rsa;
    memcpy(&rsa, blob.data() + sizeof(BLOBHEADER), sizeof rsa);
    const size_t n = (rsa.bitlen + 7) / 8;
    if (rsa.magic != 0x31415352 || n == 0 || cbBlob < kHeader + n) return false;  // "RSA1"
    modulus->assign(blob.rbegin() + static_cast<long>(cbBlob - kHeader - n), blob.rend() - kHeader);
    exponent->clear();
    for (int shift = 24; shift >= 0; shift -= 8) {
        BYTE b = static_cast<BYTE>(rsa.pubexp >> shift);
        if (b || !exponent->empty()) exponent->push_back(b);
    }
    return !exponent->empty();
}

// The certificate's public key equals the container key's.
bool SameKey(PCCERT_CONTEXT cert, HCRYPTPROV prov, DWORD keySpec) {
    DWORD cb = 0;
    if (!CryptExportPublicKeyInfo(prov, keySpec, X509_ASN_ENCODING, nullptr, &cb)) return false;
    std::vector<BYTE> buf(cb);
    auto* info = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(buf.data());
    if (!CryptExportPublicKeyInfo(prov, keySpec, X509_ASN_ENCODING, info, &cb)) return false;
    return CertComparePublicKeyInfo(X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo, info) != FALSE;
}

bool IsRsaCertificate(PCCERT_CONTEXT cert) {
    const char* oid = cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    return oid && strcmp(oid, szOID_RSA_RSA) == 0;
}

std::u16string Lower(std::u16string s) {
    for (auto& c : s)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return s;
}

class Collector {
public:
    // One certificate on one container key: its three objects, unless that
    // certificate or that key was already taken.
    void Add(PCCERT_CONTEXT cert, const KeyLocation& where, HCRYPTPROV prov) {
        if (!IsRsaCertificate(cert)) return;
        UniqueCryptKey key;
        if (!CryptGetUserKey(prov, where.keySpec, key.put())) return;
        Bytes modulus, exponent;
        if (!ReadPublicKey(key.get(), &modulus, &exponent) || !SameKey(cert, prov, where.keySpec)) return;
        Bytes value(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
        if (!m_certs.insert(value).second) return;
        Bytes id;
        if (!Digest(CALG_SHA1, modulus.data(), modulus.size(), &id)) return;

        std::u16string name(256, u'\0');
        DWORD cch = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(),
                                       static_cast<DWORD>(name.size()));
        name.resize(cch ? cch - 1 : 0);
        const Bytes label = Text(name);
        const Bytes subject = Blob(cert->pCertInfo->Subject);

        TokenObject c = Common(CKO_CERTIFICATE, "cert:" + std::string(value.begin(), value.end()), label);
        c.attrs[CKA_CERTIFICATE_TYPE] = Ulong(CKC_X_509);
        c.attrs[CKA_TRUSTED] = Bool(false);
        c.attrs[CKA_CERTIFICATE_CATEGORY] = Ulong(1);  // the token user's
        c.attrs[CKA_ID] = id;
        c.attrs[CKA_SUBJECT] = subject;
        c.attrs[CKA_ISSUER] = Blob(cert->pCertInfo->Issuer);
        c.attrs[CKA_SERIAL_NUMBER] = Encoded(X509_MULTI_BYTE_INTEGER, &cert->pCertInfo->SerialNumber);
        c.attrs[CKA_VALUE] = value;
        Bytes check;
        if (Digest(CALG_SHA1, value.data(), value.size(), &check))
            c.attrs[CKA_CHECK_VALUE] = Bytes(check.begin(), check.begin() + 3);
        c.attrs[CKA_START_DATE] = {};
        c.attrs[CKA_END_DATE] = {};
        c.attrs[CKA_URL] = {};
        c.attrs[CKA_HASH_OF_SUBJECT_PUBLIC_KEY] = {};
        c.attrs[CKA_HASH_OF_ISSUER_PUBLIC_KEY] = {};
        c.attrs[CKA_JAVA_MIDP_SECURITY_DOMAIN] = Ulong(0);
        m_out.push_back(std::move(c));

        const std::u16string keyIdentity = Lower(where.provider) + u"|" + Lower(where.container) + u"|" +
                                           static_cast<char16_t>(u'0' + where.keySpec);
        if (!m_keys.insert(keyIdentity).second) return;  // a second certificate on the same key
        const Bytes keyText = Text(keyIdentity);
        const bool exchange = where.keySpec == AT_KEYEXCHANGE;
        auto location = std::make_shared<KeyLocation>(where);
        location->modulusBytes = static_cast<DWORD>(modulus.size());

        for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
            const bool priv = cls == CKO_PRIVATE_KEY;
            TokenObject k = Common(cls, (priv ? "priv:" : "pub:") + std::string(keyText.begin(), keyText.end()), label);
            k.attrs[CKA_KEY_TYPE] = Ulong(CKK_RSA);
            k.attrs[CKA_ID] = id;
            k.attrs[CKA_SUBJECT] = subject;
            k.attrs[CKA_START_DATE] = {};
            k.attrs[CKA_END_DATE] = {};
            k.attrs[CKA_DERIVE] = Bool(false);
            k.attrs[CKA_LOCAL] = Bool(false);
            k.attrs[CKA_KEY_GEN_MECHANISM] = Ulong(CK_UNAVAILABLE_INFORMATION);
            k.attrs[CKA_MODULUS] = modulus;
            k.attrs[CKA_MODULUS_BITS] = Ulong(modulus.size() * 8);
            k.attrs[CKA_PUBLIC_EXPONENT] = exponent;
            if (priv) {
                k.attrs[CKA_SENSITIVE] = Bool(true);
                k.attrs[CKA_ALWAYS_SENSITIVE] = Bool(true);
                k.attrs[CKA_EXTRACTABLE] = Bool(false);
                k.attrs[CKA_NEVER_EXTRACTABLE] = Bool(true);
                k.attrs[CKA_SIGN] = Bool(true);
                k.attrs[CKA_DECRYPT] = Bool(exchange);
                k.attrs[CKA_SIGN_RECOVER] = Bool(false);
                k.attrs[CKA_UNWRAP] = Bool(false);
                k.attrs[CKA_WRAP_WITH_TRUSTED] = Bool(false);
                k.attrs[CKA_ALWAYS_AUTHENTICATE] = Bool(false);
                k.key = location;
            } else {
                k.attrs[CKA_ENCRYPT] = Bool(false);
                k.attrs[CKA_VERIFY] = Bool(false);
                k.attrs[CKA_VERIFY_RECOVER] = Bool(false);
                k.attrs[CKA_WRAP] = Bool(false);
                k.attrs[CKA_TRUSTED] = Bool(false);
            }
            m_out.push_back(std::move(k));
        }
    }

    std::vector<TokenObject> Take() { return std::move(m_out); }

private:
    static TokenObject Common(CK_OBJECT_CLASS cls, std::string identity, const Bytes& label) {
        TokenObject o;
        o.cls = cls;
        o.identity = std::move(identity);
        o.attrs[CKA_CLASS] = Ulong(cls);
        o.attrs[CKA_TOKEN] = Bool(true);
        o.attrs[CKA_PRIVATE] = Bool(false);
        o.attrs[CKA_MODIFIABLE] = Bool(false);
        o.attrs[CKA_COPYABLE] = Bool(false);
        o.attrs[CKA_DESTROYABLE] = Bool(false);
        o.attrs[CKA_LABEL] = label;
        return o;
    }

    std::vector<TokenObject> m_out;
    std::set<Bytes> m_certs;
    std::set<std::u16string> m_keys;
};

// A provider whose containers are on a PKCS#11 token of its own: that
// token's module shows them to the browsers, and a certificate must not
// appear twice in a chooser.
bool OnItsOwnToken(const std::u16string& provider) {
    const std::u16string path = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + provider;
    UniqueHkey k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, k.put()) != ERROR_SUCCESS) return false;
    DWORD cb = 0;
    return RegQueryValueExW(k.get(), u"Token Label", nullptr, nullptr, nullptr, &cb) == ERROR_SUCCESS;
}

bool Acquire(const KeyLocation& where, UniqueCryptProv* prov) {
    return CryptAcquireContextW(prov->put(), where.container.c_str(), where.provider.c_str(), where.provType,
                                where.acquireFlags | CRYPT_SILENT) != FALSE;
}

// The user's "My" store: certificates whose key-provider property names a
// container holding that certificate's key.
void ReadStore(Collector& c) {
    UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG |
                                            CERT_STORE_READONLY_FLAG,
                                        u"My"));
    if (!store) return;
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store.get(), nullptr); cert;
         cert = CertEnumCertificatesInStore(store.get(), cert)) {
        if (!IsRsaCertificate(cert)) continue;
        DWORD cb = 0;
        if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb) || cb == 0) continue;
        std::vector<BYTE> buf(cb);
        if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &cb)) continue;
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
        if (!info->pwszContainerName || !info->pwszProvName) continue;
        KeyLocation where;
        where.provider = info->pwszProvName;
        where.provType = info->dwProvType;
        where.container = info->pwszContainerName;
        where.keySpec = info->dwKeySpec;
        where.acquireFlags = info->dwFlags & CRYPT_MACHINE_KEYSET;
        if (OnItsOwnToken(where.provider)) continue;
        UniqueCryptProv prov;
        if (Acquire(where, &prov)) c.Add(cert, where, prov.get());
    }
}

// The containers of one vendor provider, each key with the certificate it holds.
void ReadProvider(Collector& c, const std::u16string& name, DWORD type) {
    UniqueCryptProv enumerator;
    if (!CryptAcquireContextW(enumerator.put(), nullptr, name.c_str(), type, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return;
    std::vector<std::u16string> containers;
    DWORD cbMax = 0;
    if (!CryptGetProvParam(enumerator.get(), PP_ENUMCONTAINERS, nullptr, &cbMax, CRYPT_FIRST)) return;
    std::vector<BYTE> buf(static_cast<size_t>(cbMax) + 1);
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        std::fill(buf.begin(), buf.end(), 0);
        DWORD cb = cbMax;
        if (!CryptGetProvParam(enumerator.get(), PP_ENUMCONTAINERS, buf.data(), &cb, flags)) break;
        const char* text = reinterpret_cast<const char*>(buf.data());
        int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
        if (n <= 1) continue;
        std::u16string wide(static_cast<size_t>(n), u'\0');
        MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
        wide.resize(static_cast<size_t>(n - 1));
        containers.push_back(std::move(wide));
    }
    for (const auto& container : containers) {
        KeyLocation where;
        where.provider = name;
        where.provType = type;
        where.container = container;
        UniqueCryptProv prov;
        if (!Acquire(where, &prov)) continue;
        for (DWORD spec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
            UniqueCryptKey key;
            if (!CryptGetUserKey(prov.get(), spec, key.put())) continue;
            DWORD cb = 0;
            if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &cb, 0) || cb == 0) continue;
            std::vector<BYTE> der(cb);
            if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, der.data(), &cb, 0)) continue;
            UniqueCertContext cert(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), cb));
            if (!cert) continue;
            where.keySpec = spec;
            c.Add(cert.get(), where, prov.get());
        }
    }
}

void ReadVendorProviders(Collector& c) {
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, cb = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &cb)) break;
        std::u16string name(cb / sizeof(WCHAR) + 1, u'\0');
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &cb)) break;
        name.resize(std::char_traits<char16_t>::length(name.c_str()));
        // Microsoft's providers keep no certificates on their keys; theirs reach
        // the token through the store.
        if (name.find(u"Microsoft") != std::u16string::npos || OnItsOwnToken(name)) continue;
        ReadProvider(c, name, type);
    }
}

}  // namespace

const std::vector<BYTE>* TokenObject::Find(CK_ATTRIBUTE_TYPE type) const {
    auto it = attrs.find(type);
    return it == attrs.end() ? nullptr : &it->second;
}

bool TokenObject::Flag(CK_ATTRIBUTE_TYPE type) const {
    const auto* v = Find(type);
    return v && v->size() == 1 && (*v)[0] == CK_TRUE;
}

HCRYPTPROV SoftwareProvider() {
    static std::mutex m;
    static HCRYPTPROV prov = 0;
    std::lock_guard<std::mutex> g(m);
    if (!prov && !CryptAcquireContextW(&prov, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                       CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        prov = 0;
    return prov;
}

bool TokenMayHold(CK_OBJECT_CLASS cls) {
    return cls == CKO_CERTIFICATE || cls == CKO_PRIVATE_KEY || cls == CKO_PUBLIC_KEY;
}

uint64_t PrefixVersion() { return PrefixReadable() ? tessaro_platform::RegistryVersion() : 0; }

std::vector<TokenObject> ReadTokenObjects() {
    if (!PrefixReadable()) return {};
    Collector c;
    ReadStore(c);
    ReadVendorProviders(c);
    return c.Take();
}

}  // namespace tessaro::pkcs11
