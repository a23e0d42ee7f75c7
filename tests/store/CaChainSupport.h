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

#include "tests/support/TestPki.h"
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

// A CA certificate of a fresh P-256 key, valid from now+fromDays to
// now+toDays, signed by issuer (or by itself when issuer is null).
inline Cert MakeCert(const std::string& cn, long serial, long fromDays, long toDays, const Cert* issuer,
                     const std::string& issuerCn = "") {
    Cert c;
    c.key = tessaro_test::pki::NewP256Key();
    auto name = [](const std::string& n) -> tessaro_test::pki::Name {
        return {{"C", "CN"}, {"O", "Chain Test"}, {"CN", n}};
    };
    tessaro_test::pki::CertSpec spec;
    spec.subject = name(cn);
    spec.issuer = name(issuer ? issuerCn : cn);
    spec.serial = tessaro_test::pki::Serial(serial);
    const time_t now = time(nullptr);
    spec.notBefore = now + fromDays * 86400L;
    spec.notAfter = now + toDays * 86400L;
    spec.subjectKey = c.key.get();
    spec.signer = issuer ? issuer->key.get() : c.key.get();
    spec.v3 = {{"basicConstraints", "critical,CA:TRUE"}, {"subjectKeyIdentifier", "hash"}};
    c.der = tessaro_test::pki::MakeCert(spec);
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

using tessaro_test::Wide;

inline Bytes Pkcs7Of(const std::vector<const Cert*>& certs) {
    std::vector<Bytes> ders;
    for (const Cert* c : certs) ders.push_back(c->der);
    return tessaro_test::pki::MakeP7b(ders);
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
    tessaro::UniquePtr<BIO> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    tessaro::UniquePtr<X509> x(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!x) return {};
    unsigned char* p = nullptr;
    int n = i2d_X509(x.get(), &p);
    tessaro::OpenSslBuffer<unsigned char> owned(p);
    return Bytes(p, p + n);
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
