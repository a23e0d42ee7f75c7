// Helpers of the CA chain tests: certificates made on the spot, property
// blobs and chain documents built from them, and looks into the registry and
// the system stores.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/Codec.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

namespace cachain_test {

using Bytes = std::vector<uint8_t>;
constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr const char16_t* kRootPath = u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";

struct Cert {
    std::shared_ptr<EVP_PKEY> key;
    Bytes der;
};

inline std::shared_ptr<EVP_PKEY> NewKey() {
    return std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), EVP_PKEY_free);
}

// A CA certificate valid from now+fromDays to now+toDays, signed by issuer
// (or by itself when issuer is null).
inline Cert MakeCert(const std::string& cn, long serial, long fromDays, long toDays, const Cert* issuer,
                     const std::string& issuerCn = "") {
    Cert c;
    c.key = NewKey();
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    X509_gmtime_adj(X509_getm_notBefore(x), fromDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(x), toDays * 86400L);
    auto name = [](const std::string& n) {
        struct X509_name_st* nm = X509_NAME_new();
        X509_NAME_add_entry_by_txt(nm, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(nm, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Chain Test"), -1,
                                   -1, 0);
        X509_NAME_add_entry_by_txt(nm, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(n.c_str()), -1, -1,
                                   0);
        return nm;
    };
    struct X509_name_st* subj = name(cn);
    struct X509_name_st* iss = name(issuer ? issuerCn : cn);
    X509_set_subject_name(x, subj);
    X509_set_issuer_name(x, iss);
    X509_NAME_free(subj);
    X509_NAME_free(iss);
    X509_set_pubkey(x, c.key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
    ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_key_identifier, "hash");
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(x, issuer ? issuer->key.get() : c.key.get(), EVP_sha256());
    unsigned char* p = nullptr;
    int n = i2d_X509(x, &p);
    c.der.assign(p, p + n);
    OPENSSL_free(p);
    X509_free(x);
    return c;
}

inline Bytes Sha1(const Bytes& d) {
    Bytes h(20);
    unsigned int n = 0;
    EVP_Digest(d.data(), d.size(), h.data(), &n, EVP_sha1(), nullptr);
    return h;
}

inline std::string Thumbprint(const Bytes& der) { return tessaro_test::ToHex(Sha1(der)); }

inline void PutLe32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void Record(Bytes& b, uint32_t id, const Bytes& value, uint32_t lengthField) {
    PutLe32(b, id);
    PutLe32(b, 1);
    PutLe32(b, lengthField);
    b.insert(b.end(), value.begin(), value.end());
}
inline void Record(Bytes& b, uint32_t id, const Bytes& value) {
    Record(b, id, value, static_cast<uint32_t>(value.size()));
}

// The property records the stores keep: SHA-1 hash, then the certificate.
inline Bytes PropertyBlob(const Bytes& der) {
    Bytes b;
    Record(b, CERT_SHA1_HASH_PROP_ID, Sha1(der));
    Record(b, CERT_CERT_PROP_ID, der);
    return b;
}

inline std::string Base64(const Bytes& b) {
    if (b.empty()) return {};
    char* p = nullptr;
    int n = 0;
    if (FAILED(Base64EncodeEx(b.data(), static_cast<int>(b.size()), &p, &n))) return {};
    std::string s(p, static_cast<size_t>(n));
    delete[] p;
    return s;
}

inline std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

inline Bytes Pkcs7Of(const std::vector<const Cert*>& certs) {
    STACK_OF(X509)* sk = sk_X509_new_null();
    for (const Cert* c : certs) {
        const unsigned char* p = c->der.data();
        sk_X509_push(sk, d2i_X509(nullptr, &p, static_cast<long>(c->der.size())));
    }
    PKCS7* p7 = PKCS7_new();
    PKCS7_set_type(p7, NID_pkcs7_signed);
    PKCS7_content_new(p7, NID_pkcs7_data);
    for (int i = 0; i < sk_X509_num(sk); ++i) PKCS7_add_certificate(p7, sk_X509_value(sk, i));
    unsigned char* out = nullptr;
    int n = i2d_PKCS7(p7, &out);
    Bytes r(out, out + n);
    OPENSSL_free(out);
    PKCS7_free(p7);
    sk_X509_pop_free(sk, X509_free);
    return r;
}

// One <Certificate> entry; children given as raw XML.
inline std::string Entry(const std::string& children) {
    return "    <Certificate SerialNum=\"01\" SubjectDN=\"CN=x\">\r\n" + children + "    </Certificate>\r\n";
}
inline std::string EntryOf(const Bytes& der, const std::string& importPath = "") {
    std::string path = importPath.empty() ? "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates" : importPath;
    return Entry("      <ImportPath>" + path + "</ImportPath>\r\n      <EntryPoint>" + Thumbprint(der) +
                 "</EntryPoint>\r\n      <Content>\r\n" + Base64(PropertyBlob(der)) + "\r\n      </Content>\r\n");
}
inline std::string Document(const std::string& entries, const std::string& p7bBase64) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- test chain -->\r\n<root>\r\n  <RootCACertificate>\r\n" +
           entries + "  </RootCACertificate>\r\n  <P7bContent>\r\n" + p7bBase64 + "\r\n  </P7bContent>\r\n</root>\r\n";
}

// ---- registry and stores ----

inline bool RootKeyExists(const std::string& thumb) {
    HKEY k = nullptr;
    std::u16string path = std::u16string(kRootPath) + u"\\" + Wide(thumb);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

inline Bytes RootBlob(const std::string& thumb) {
    HKEY k = nullptr;
    std::u16string path = std::u16string(kRootPath) + u"\\" + Wide(thumb);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return {};
    DWORD type = 0, cb = 0;
    Bytes b;
    if (RegQueryValueExW(k, u"Blob", nullptr, &type, nullptr, &cb) == ERROR_SUCCESS && cb) {
        b.resize(cb);
        RegQueryValueExW(k, u"Blob", nullptr, &type, b.data(), &cb);
    }
    RegCloseKey(k);
    return b;
}

// Thumbprints of the certificates of a system store.
inline std::set<std::string> StoreThumbprints(DWORD location, const char16_t* name) {
    std::set<std::string> out;
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEnc, 0, location | CERT_STORE_READONLY_FLAG, name);
    if (!s) return out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(s, c)) != nullptr)
        out.insert(Thumbprint(Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded)));
    CertCloseStore(s, 0);
    return out;
}

inline bool AddToStore(DWORD location, const char16_t* name, const Bytes& der) {
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEnc, 0, location, name);
    if (!s) return false;
    BOOL ok = CertAddEncodedCertificateToStore(s, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(s, 0);
    return ok == TRUE;
}

inline Bytes ReadPem(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!x) return {};
    unsigned char* p = nullptr;
    int n = i2d_X509(x, &p);
    Bytes r(p, p + n);
    OPENSSL_free(p);
    X509_free(x);
    return r;
}

inline Bytes Former(const std::string& name) {
    return ReadPem(tessaro_test::SourcePath("tests/store/data/former/" + name + ".pem"));
}

// The manifest make-chain-docs.sh writes beside the documents:
// "<resource> <root|p7b> <status> <thumbprint>".
struct ManifestLine {
    int resource;
    std::string kind, status, thumb;
};
inline std::vector<ManifestLine> Manifest() {
    std::vector<ManifestLine> out;
    std::ifstream f(tessaro_test::SourcePath("tests/store/data/chains.txt"));
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream is(line);
        ManifestLine m;
        is >> m.resource >> m.kind >> m.status >> m.thumb;
        out.push_back(m);
    }
    return out;
}

}  // namespace cachain_test
