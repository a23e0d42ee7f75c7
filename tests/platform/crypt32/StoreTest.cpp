// Stores: dispositions, enumeration, search, deletion, the registry-backed
// system stores (across processes), read-only stores and PKCS#7 stores.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "tests/support/CertTestKit.h"
#include "tests/support/TestPki.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

using namespace tessaro_test::pki;
using tessaro_test::Narrow;
using tessaro_test::Wide;
using tessaro_test::FromHex;
using tessaro_test::RunProcess;
using tessaro_test::ToHex;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

Bytes Der(PCCERT_CONTEXT c) { return Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded); }

Bytes Sha1(const Bytes& d) {
    Bytes out(20);
    unsigned int n = 0;
    EVP_Digest(d.data(), d.size(), out.data(), &n, EVP_sha1(), nullptr);
    return out;
}

Bytes Cert(int i, bool sm2 = false) {
    CertSpec spec;
    spec.sm2 = sm2;
    spec.serial = {static_cast<uint8_t>(0x10 + i)};
    spec.subject = {{"2.5.4.10", 0x13, "Org"}, {"2.5.4.3", 0x13, "Cert " + std::to_string(i)}};
    spec.issuer = {{"2.5.4.3", 0x13, "Issuer"}};
    spec.notBefore = 1600000000 + i;
    return MakeCert(spec);
}

std::vector<Bytes> Enumerate(HCERTSTORE s) {
    std::vector<Bytes> out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(s, c)) != nullptr) out.push_back(Der(c));
    return out;
}

void SetFriendlyName(PCCERT_CONTEXT c, const std::u16string& n) {
    CRYPT_DATA_BLOB b{static_cast<DWORD>((n.size() + 1) * 2), reinterpret_cast<BYTE*>(const_cast<char16_t*>(n.c_str()))};
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &b));
}

bool HasProp(PCCERT_CONTEXT c, DWORD id) {
    DWORD cb = 0;
    return CertGetCertificateContextProperty(c, id, nullptr, &cb) != FALSE;
}

std::string ContainerOf(PCCERT_CONTEXT c) {
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) return "-";
    Bytes b(cb);
    CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, b.data(), &cb);
    return Narrow(reinterpret_cast<CRYPT_KEY_PROV_INFO*>(b.data())->pwszContainerName);
}

BOOL AddEncoded(HCERTSTORE s, const Bytes& der, DWORD disposition, PCCERT_CONTEXT* out) {
    return CertAddEncodedCertificateToStore(s, kEnc, der.data(), static_cast<DWORD>(der.size()), disposition, out);
}

HCERTSTORE OpenSystem(DWORD loc, const char16_t* name, DWORD flags = 0) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, loc | flags, name);
}

bool ReadRegBlob(HKEY root, const std::u16string& path, Bytes& out) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    DWORD type = 0, cb = 0;
    bool ok = RegQueryValueExW(k, u"Blob", nullptr, &type, nullptr, &cb) == ERROR_SUCCESS && type == REG_BINARY;
    if (ok) {
        out.resize(cb);
        ok = RegQueryValueExW(k, u"Blob", nullptr, &type, out.data(), &cb) == ERROR_SUCCESS;
    }
    RegCloseKey(k);
    return ok;
}

std::u16string UserMyKey(const Bytes& der) {
    return u"Software\\Microsoft\\SystemCertificates\\MY\\Certificates\\" + Wide(ToHex(Sha1(der)));
}

}  // namespace

TEST(MemoryStore, DispositionsOfAnExistingCertificate) {
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    Bytes der = Cert(1);
    PCCERT_CONTEXT first = nullptr;
    ASSERT_TRUE(AddEncoded(s, der, CERT_STORE_ADD_NEW, &first));
    EXPECT_EQ(first->hCertStore, s);
    SetFriendlyName(first, u"old");

    PCCERT_CONTEXT out = reinterpret_cast<PCCERT_CONTEXT>(1);
    EXPECT_FALSE(AddEncoded(s, der, CERT_STORE_ADD_NEW, &out));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_EXISTS);
    EXPECT_EQ(out, nullptr);
    EXPECT_FALSE(AddEncoded(s, der, CERT_STORE_ADD_NEWER, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_EXISTS);

    // USE_EXISTING hands back the element itself, with the new context's properties added.
    PCCERT_CONTEXT fresh = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
    DWORD spec = AT_KEYEXCHANGE;
    ASSERT_TRUE(CertSetCertificateContextProperty(fresh, CERT_KEY_SPEC_PROP_ID, 0, &spec));
    ASSERT_TRUE(CertAddCertificateContextToStore(s, fresh, CERT_STORE_ADD_USE_EXISTING, &out));
    EXPECT_EQ(out, first);
    EXPECT_TRUE(HasProp(first, CERT_FRIENDLY_NAME_PROP_ID));
    EXPECT_TRUE(HasProp(first, CERT_KEY_SPEC_PROP_ID));
    CertFreeCertificateContext(out);

    // REPLACE_EXISTING_INHERIT_PROPERTIES: a new element keeping the old one's properties.
    CertSetCertificateContextProperty(fresh, CERT_KEY_SPEC_PROP_ID, 0, nullptr);
    BYTE v = 5;
    CRYPT_DATA_BLOB extra{1, &v};
    ASSERT_TRUE(CertSetCertificateContextProperty(fresh, 0x8001, 0, &extra));
    ASSERT_TRUE(CertAddCertificateContextToStore(s, fresh, CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, &out));
    EXPECT_NE(out, first);
    EXPECT_TRUE(HasProp(out, CERT_FRIENDLY_NAME_PROP_ID));
    EXPECT_TRUE(HasProp(out, 0x8001));
    PCCERT_CONTEXT second = out;

    // REPLACE_EXISTING: only the new context's properties.
    ASSERT_TRUE(CertAddCertificateContextToStore(s, fresh, CERT_STORE_ADD_REPLACE_EXISTING, &out));
    EXPECT_FALSE(HasProp(out, CERT_FRIENDLY_NAME_PROP_ID));
    EXPECT_TRUE(HasProp(out, 0x8001));
    EXPECT_EQ(Enumerate(s).size(), 1u);
    // The replaced elements live on for their holders but are no longer in the store.
    EXPECT_EQ(Der(first), der);
    EXPECT_TRUE(CertDeleteCertificateFromStore(first));  // already gone: nothing to do
    CertFreeCertificateContext(second);
    CertFreeCertificateContext(out);

    // ALWAYS adds a second copy.
    ASSERT_TRUE(CertAddCertificateContextToStore(s, fresh, CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(Enumerate(s).size(), 2u);
    for (DWORD bad : {0u, 8u}) {
        EXPECT_FALSE(CertAddCertificateContextToStore(s, fresh, bad, nullptr));
        EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    }
    EXPECT_EQ(Enumerate(s).size(), 2u);
    CertFreeCertificateContext(fresh);
    EXPECT_TRUE(CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG));
}

TEST(MemoryStore, EnumerationFindAndDeletion) {
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    std::vector<Bytes> certs = {Cert(1), Cert(2), Cert(3, true)};
    for (const auto& d : certs)
        ASSERT_TRUE(AddEncoded(s, d, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(Enumerate(s), certs);
    EXPECT_EQ(CertEnumCertificatesInStore(s, nullptr) != nullptr, true);  // leaves one reference behind
    // SHA-1 search.
    Bytes h = Sha1(certs[1]);
    CRYPT_HASH_BLOB hb{20, h.data()};
    PCCERT_CONTEXT c = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SHA1_HASH, &hb, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Der(c), certs[1]);
    EXPECT_EQ(CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SHA1_HASH, &hb, c), nullptr);  // frees c
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NOT_FOUND);
    // Issuer name: all three; subject name: one.
    PCCERT_CONTEXT any = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_ANY, nullptr, nullptr);
    CERT_NAME_BLOB issuer = any->pCertInfo->Issuer;
    Bytes issuerBytes(issuer.pbData, issuer.pbData + issuer.cbData);
    CertFreeCertificateContext(any);
    CERT_NAME_BLOB ib{static_cast<DWORD>(issuerBytes.size()), issuerBytes.data()};
    int n = 0;
    c = nullptr;
    while ((c = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_ISSUER_NAME, &ib, c)) != nullptr) ++n;
    EXPECT_EQ(n, 3);
    Bytes subj = EncodeName({{"2.5.4.10", 0x13, "Org"}, {"2.5.4.3", 0x13, "Cert 2"}});
    CERT_NAME_BLOB sb{static_cast<DWORD>(subj.size()), subj.data()};
    c = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SUBJECT_NAME, &sb, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Der(c), certs[1]);
    // Subject certificate: by issuer and serial number.
    PCCERT_CONTEXT probe = CertCreateCertificateContext(kEnc, certs[2].data(), static_cast<DWORD>(certs[2].size()));
    PCCERT_CONTEXT bySerial = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SUBJECT_CERT, probe->pCertInfo, nullptr);
    ASSERT_NE(bySerial, nullptr);
    EXPECT_EQ(Der(bySerial), certs[2]);
    // Existing, public key, substring of the subject text.
    PCCERT_CONTEXT ex = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_EXISTING, probe, nullptr);
    ASSERT_NE(ex, nullptr);
    EXPECT_EQ(Der(ex), certs[2]);
    CertFreeCertificateContext(ex);
    PCCERT_CONTEXT pk =
        CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_PUBLIC_KEY, &probe->pCertInfo->SubjectPublicKeyInfo, nullptr);
    ASSERT_NE(pk, nullptr);
    EXPECT_EQ(Der(pk), certs[2]);  // the only SM2 key
    CertFreeCertificateContext(pk);
    PCCERT_CONTEXT str = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SUBJECT_STR_W, u"cert 3", nullptr);
    ASSERT_NE(str, nullptr);
    EXPECT_EQ(Der(str), certs[2]);
    CertFreeCertificateContext(str);
    str = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SUBJECT_STR_W, u"o=org, cn=CERT 2", nullptr);
    ASSERT_NE(str, nullptr);
    EXPECT_EQ(Der(str), certs[1]);
    CertFreeCertificateContext(str);
    EXPECT_EQ(CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SUBJECT_STR_W, u"cert 4", nullptr), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NOT_FOUND);
    EXPECT_EQ(CertFindCertificateInStore(s, kEnc, 0, 0x12345678, nullptr, nullptr), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    CertFreeCertificateContext(probe);
    // Deleting consumes the reference; enumeration continues past a deleted element.
    PCCERT_CONTEXT e1 = CertEnumCertificatesInStore(s, nullptr);
    PCCERT_CONTEXT e2 = CertEnumCertificatesInStore(s, CertDuplicateCertificateContext(e1));
    ASSERT_TRUE(CertDeleteCertificateFromStore(c));  // "Cert 2"
    PCCERT_CONTEXT e3 = CertEnumCertificatesInStore(s, e2);  // e2 was deleted meanwhile
    ASSERT_NE(e3, nullptr);
    EXPECT_EQ(Der(e3), certs[2]);
    CertFreeCertificateContext(e3);
    CertFreeCertificateContext(e1);
    EXPECT_EQ(Enumerate(s), (std::vector<Bytes>{certs[0], certs[2]}));
    // Closing with contexts outstanding: reported, and the contexts stay usable.
    PCCERT_CONTEXT held = CertEnumCertificatesInStore(s, nullptr);
    HCERTSTORE dup = CertDuplicateStore(s);
    EXPECT_EQ(dup, s);
    EXPECT_TRUE(CertCloseStore(dup, 0));
    EXPECT_FALSE(CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_PENDING_CLOSE);
    EXPECT_EQ(Der(held), certs[0]);
    EXPECT_FALSE(CertCloseStore(s, 0));  // the handle is closed
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_EQ(CertEnumCertificatesInStore(s, nullptr), nullptr);
    EXPECT_TRUE(CertFreeCertificateContext(held));
}

TEST(MemoryStore, BadHandlesAndReadOnly) {
    Bytes der = Cert(1);
    HCERTSTORE bogus = reinterpret_cast<HCERTSTORE>(&der);
    EXPECT_FALSE(AddEncoded(bogus, der, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_EQ(CertEnumCertificatesInStore(nullptr, nullptr), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_EQ(CertOpenStore("NoSuchProvider", 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HCERTSTORE ro = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_READONLY_FLAG, nullptr);
    EXPECT_FALSE(AddEncoded(ro, der, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_ACCESSDENIED);
    Bytes garbage = {0x30, 0x01};
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    EXPECT_FALSE(CertAddEncodedCertificateToStore(s, kEnc, garbage.data(), 2, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_EOD);
    EXPECT_TRUE(Enumerate(s).empty());
    // A context of another store as the starting point is refused (and released).
    ASSERT_TRUE(AddEncoded(s, der, CERT_STORE_ADD_NEW, nullptr));
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);
    EXPECT_EQ(CertEnumCertificatesInStore(ro, c), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_TRUE(CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_TRUE(CertCloseStore(ro, 0));
}

TEST(SystemStore, AddWritesTheBlobAndAnotherProcessFindsIt) {
    Bytes der = Cert(7);
    HCERTSTORE s = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    ASSERT_NE(s, nullptr) << GetLastError();
    PCCERT_CONTEXT c = nullptr;
    ASSERT_TRUE(AddEncoded(s, der, CERT_STORE_ADD_REPLACE_EXISTING, &c));
    ASSERT_TRUE(certkit::SetKeyProvInfo(c, u"{container-7}", MS_ENHANCED_PROV_W, AT_SIGNATURE));
    Bytes blob;
    ASSERT_TRUE(ReadRegBlob(HKEY_CURRENT_USER, UserMyKey(der), blob));
    DWORD cb = 0;
    ASSERT_TRUE(CertSerializeCertificateStoreElement(c, 0, nullptr, &cb));
    Bytes ser(cb);
    ASSERT_TRUE(CertSerializeCertificateStoreElement(c, 0, ser.data(), &cb));
    EXPECT_EQ(ToHex(blob), ToHex(ser));
    // Property 2 first, the hash, the certificate last.
    EXPECT_EQ(blob[0], CERT_KEY_PROV_INFO_PROP_ID);
    EXPECT_EQ(Bytes(blob.end() - der.size(), blob.end()), der);
    CertFreeCertificateContext(c);
    CertCloseStore(s, 0);

    auto r = RunProcess({CRYPT32_STORE_CHILD, "list", "CU", "MY"}, "");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(ToHex(Sha1(der)) + " {container-7} 2\n"), std::string::npos) << r.out;

    // And the other way round: the child adds, this process sees it, property included.
    Bytes other = Cert(8);
    r = RunProcess({CRYPT32_STORE_CHILD, "add", "CU", "my", ToHex(other), "{from-child}"}, "");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    s = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    Bytes h = Sha1(other);
    CRYPT_HASH_BLOB hb{20, h.data()};
    c = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SHA1_HASH, &hb, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ContainerOf(c), "{from-child}");
    CertFreeCertificateContext(c);
    CertCloseStore(s, 0);
}

TEST(SystemStore, DeletionAndPropertyChangesWriteThrough) {
    Bytes der = Cert(9);
    HCERTSTORE s = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"my");
    PCCERT_CONTEXT c = nullptr;
    ASSERT_TRUE(AddEncoded(s, der, CERT_STORE_ADD_NEW, &c));
    SetFriendlyName(c, u"F");
    Bytes blob;
    ASSERT_TRUE(ReadRegBlob(HKEY_CURRENT_USER, UserMyKey(der), blob));
    EXPECT_EQ(blob[0], CERT_SHA1_HASH_PROP_ID);
    EXPECT_NE(ToHex(blob).find("0B00000001000000040000004600"), std::string::npos);  // friendly name record
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, nullptr));
    ASSERT_TRUE(ReadRegBlob(HKEY_CURRENT_USER, UserMyKey(der), blob));
    EXPECT_EQ(ToHex(blob).find("0B000000010000000400"), std::string::npos);
    ASSERT_TRUE(CertDeleteCertificateFromStore(c));
    EXPECT_FALSE(ReadRegBlob(HKEY_CURRENT_USER, UserMyKey(der), blob));
    auto present = [&](HCERTSTORE st) {
        for (const auto& d : Enumerate(st))
            if (d == der) return true;
        return false;
    };
    EXPECT_FALSE(present(s));
    CertCloseStore(s, 0);
    HCERTSTORE again = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    EXPECT_FALSE(present(again));
    CertCloseStore(again, 0);
}

TEST(SystemStore, ARootWrittenIntoTheRegistryIsACertificateOfTheStore) {
    Bytes der = Cert(11);
    Bytes h = Sha1(der);
    // The layout a CA chain document carries: hash properties, then the certificate.
    Bytes blob;
    auto rec = [&](DWORD id, const Bytes& v) {
        for (DWORD x : {id, 1u, static_cast<DWORD>(v.size())})
            for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(x >> (8 * i)));
        blob.insert(blob.end(), v.begin(), v.end());
    };
    rec(CERT_SHA1_HASH_PROP_ID, h);
    rec(92, {0x01, 0x02});
    rec(CERT_CERT_PROP_ID, der);
    std::u16string path = u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\" + Wide(ToHex(h));
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k, u"Blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())), ERROR_SUCCESS);
    RegCloseKey(k);
    // A damaged neighbour is passed over.
    std::u16string junkPath = u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\0000";
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, junkPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                              nullptr),
              ERROR_SUCCESS);
    BYTE junk[5] = {0x20, 0, 0, 0, 1};
    RegSetValueExW(k, u"Blob", 0, REG_BINARY, junk, 5);
    RegCloseKey(k);

    HCERTSTORE s = OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"Root", CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Enumerate(s), std::vector<Bytes>{der});
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);
    DWORD cb = 0;
    EXPECT_TRUE(CertGetCertificateContextProperty(c, 92, nullptr, &cb));
    EXPECT_EQ(cb, 2u);
    CertFreeCertificateContext(c);
    CertCloseStore(s, 0);
    // Deleting the key removes it.
    HKEY certs = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates", 0,
                            KEY_ALL_ACCESS, &certs),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(certs, Wide(ToHex(h)).c_str()), ERROR_SUCCESS);
    RegCloseKey(certs);
    s = OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT");
    EXPECT_TRUE(Enumerate(s).empty());
    CertCloseStore(s, 0);
}

TEST(SystemStore, OpenExistingReadOnlyAndBadArguments) {
    EXPECT_EQ(OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"NoSuchStore", CERT_STORE_OPEN_EXISTING_FLAG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenSystem(0, u"My"), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_EQ(OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, nullptr), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    // Opening without the flag creates the store, as the system does.
    HCERTSTORE s = OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA");
    ASSERT_NE(s, nullptr);
    Bytes der = Cert(12);
    ASSERT_TRUE(AddEncoded(s, der, CERT_STORE_ADD_NEW, nullptr));
    CertCloseStore(s, 0);
    HCERTSTORE ro = OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ca", CERT_STORE_READONLY_FLAG);
    ASSERT_NE(ro, nullptr);
    Bytes other = Cert(13);
    EXPECT_FALSE(AddEncoded(ro, other, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_ACCESSDENIED);
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(ro, nullptr);
    ASSERT_NE(c, nullptr);
    BYTE v = 1;
    CRYPT_DATA_BLOB b{1, &v};
    EXPECT_FALSE(CertSetCertificateContextProperty(c, 0x8001, 0, &b));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_ACCESSDENIED);
    EXPECT_FALSE(CertDeleteCertificateFromStore(c));  // frees c all the same
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_ACCESSDENIED);
    CertCloseStore(ro, 0);
    HCERTSTORE check = OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA", CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_NE(check, nullptr);
    ASSERT_EQ(Enumerate(check), std::vector<Bytes>{der});
    c = CertEnumCertificatesInStore(check, nullptr);
    DWORD cb = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(c, 0x8001, nullptr, &cb));
    CertFreeCertificateContext(c);
    CertCloseStore(check, 0);
    // Each location has its own stores.
    HCERTSTORE user = CertOpenSystemStoreW(0, u"CA");
    EXPECT_TRUE(Enumerate(user).empty());
    CertCloseStore(user, 0);
}

TEST(Pkcs7Store, ExposesTheCertificatesInOrder) {
    std::vector<Bytes> certs = {Cert(21), Cert(22, true), Cert(23)};
    Bytes p7 = MakeP7b(certs);
    CRYPT_DATA_BLOB b{static_cast<DWORD>(p7.size()), p7.data()};
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_PKCS7, kEnc, 0, CERT_STORE_READONLY_FLAG, &b);
    ASSERT_NE(s, nullptr) << std::hex << GetLastError();
    EXPECT_EQ(Enumerate(s), certs);
    Bytes more = Cert(24);
    EXPECT_FALSE(AddEncoded(s, more, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_ACCESSDENIED);
    CertCloseStore(s, 0);
    // Without the flag the store takes additions, in memory.
    s = CertOpenStore(CERT_STORE_PROV_PKCS7, kEnc, 0, 0, &b);
    EXPECT_TRUE(AddEncoded(s, more, CERT_STORE_ADD_NEW, nullptr));
    CertCloseStore(s, 0);
}

TEST(Pkcs7Store, BadMessagesFailCleanly) {
    Bytes p7 = MakeP7b({Cert(31)});
    struct Case {
        Bytes data;
        HRESULT code;
    } cases[] = {
        {{}, CRYPT_E_ASN1_EOD},
        {{0x04, 0x01, 0x00}, CRYPT_E_ASN1_BADTAG},
        {Bytes(p7.begin(), p7.begin() + p7.size() - 10), CRYPT_E_ASN1_EOD},
        // A ContentInfo of type data, not signed data.
        {FromHex("300F06092A864886F70D010701A0020400"), CRYPT_E_INVALID_MSG_TYPE},
    };
    for (const auto& cs : cases) {
        CRYPT_DATA_BLOB b{static_cast<DWORD>(cs.data.size()), const_cast<BYTE*>(cs.data.data())};
        EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_PKCS7, kEnc, 0, 0, &b), nullptr);
        EXPECT_EQ(static_cast<HRESULT>(GetLastError()), cs.code) << ToHex(cs.data);
    }
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_PKCS7, kEnc, 0, 0, nullptr), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
}

TEST(SystemStore, LargeBlobsAlwaysCopiesAndDeletingAStore) {
    CertSpec spec;
    spec.subject = {{"2.5.4.3", 0x13, "Large"}};
    spec.extensions = {{"1.2.3.4.5", false, Bytes(6000, 0x04)}};  // a certificate beyond any first read
    spec.extensions[0].value[1] = 0x82;
    spec.extensions[0].value[2] = static_cast<uint8_t>((6000 - 4) >> 8);
    spec.extensions[0].value[3] = static_cast<uint8_t>((6000 - 4) & 0xFF);
    Bytes big = MakeCert(spec);
    ASSERT_GT(big.size(), 6000u);
    HCERTSTORE s = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"Large");
    ASSERT_TRUE(AddEncoded(s, big, CERT_STORE_ADD_ALWAYS, nullptr));
    ASSERT_TRUE(AddEncoded(s, big, CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(Enumerate(s).size(), 2u);  // two copies in memory, one registry entry
    CertCloseStore(s, 0);
    s = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"LARGE", CERT_STORE_OPEN_EXISTING_FLAG);
    EXPECT_EQ(Enumerate(s), std::vector<Bytes>{big});
    CertCloseStore(s, 0);
    SetLastError(5);
    EXPECT_EQ(OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"large", CERT_STORE_DELETE_FLAG), nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"Large", CERT_STORE_OPEN_EXISTING_FLAG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(MemoryStore, ThreadsShareStoresAndContexts) {
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    std::vector<Bytes> certs;
    for (int i = 0; i < 8; ++i) certs.push_back(Cert(40 + i));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                const Bytes& d = certs[(t + round) % certs.size()];
                PCCERT_CONTEXT c = nullptr;
                if (!AddEncoded(s, d, CERT_STORE_ADD_USE_EXISTING, &c))
                    ++failures;
                PCCERT_CONTEXT dup = CertDuplicateCertificateContext(c);
                DWORD cb = 0;
                if (!CertGetCertificateContextProperty(dup, CERT_SHA1_HASH_PROP_ID, nullptr, &cb) || cb != 20) ++failures;
                PCCERT_CONTEXT e = nullptr;
                while ((e = CertEnumCertificatesInStore(s, e)) != nullptr) {
                }
                if (round % 10 == 9) CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c));
                CertFreeCertificateContext(dup);
                CertFreeCertificateContext(c);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(Enumerate(s).size(), certs.size());
    EXPECT_TRUE(CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG));
}

TEST(CertUtilTool, ListsAddsAndDeletes) {
    Bytes der = Cert(60);
    HCERTSTORE s = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"ToolStore");
    PCCERT_CONTEXT c = nullptr;
    ASSERT_TRUE(AddEncoded(s, der, CERT_STORE_ADD_NEW, &c));
    ASSERT_TRUE(certkit::SetKeyProvInfo(c, u"{tool-container}", MS_ENHANCED_PROV_W, AT_SIGNATURE));
    CertFreeCertificateContext(c);
    CertCloseStore(s, 0);
    std::string thumb = ToHex(Sha1(der));
    auto r = RunProcess({CRYPT32_CERTUTIL, "-user", "-store", "toolstore"}, "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Serial Number: 4c\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Subject: CN=Cert 60, O=Org\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Cert Hash(sha1): " + thumb + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  Key Container = {tool-container}\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 certificate(s)"), std::string::npos);
    r = RunProcess({CRYPT32_CERTUTIL, "-delstore", "ToolStore", "not-a-thumbprint"}, "");
    EXPECT_EQ(r.exitCode, 1);
    r = RunProcess({CRYPT32_CERTUTIL, "-delstore", "ToolStore", thumb}, "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    s = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"ToolStore");
    EXPECT_TRUE(Enumerate(s).empty());
    CertCloseStore(s, 0);
    EXPECT_EQ(RunProcess({CRYPT32_CERTUTIL, "-store", "NoSuchStore"}, "").exitCode, 1);
}

TEST(SystemStore, TwoProcessesAddingAtOnceLoseNothing) {
    std::vector<std::string> inputs(2);
    std::vector<Bytes> all;
    for (int p = 0; p < 2; ++p)
        for (int i = 0; i < 100; ++i) {
            CertSpec spec;
            spec.serial = {static_cast<uint8_t>(p + 1), static_cast<uint8_t>(i)};
            spec.subject = {{"2.5.4.3", 0x13, "Concurrent " + std::to_string(p) + "-" + std::to_string(i)}};
            Bytes der = MakeCert(spec);
            all.push_back(der);
            inputs[p] += ToHex(der) + " {c" + std::to_string(p) + "-" + std::to_string(i) + "}\n";
        }
    std::vector<tessaro_test::ProcessResult> results(2);
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; ++p)
        threads.emplace_back([&, p] { results[p] = RunProcess({CRYPT32_STORE_CHILD, "import", "CU", "Busy"}, inputs[p]); });
    for (auto& t : threads) t.join();
    for (const auto& r : results) ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    HCERTSTORE s = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, u"Busy", CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_NE(s, nullptr);
    int found = 0;
    for (size_t k = 0; k < all.size(); ++k) {
        Bytes h = Sha1(all[k]);
        CRYPT_HASH_BLOB hb{20, h.data()};
        PCCERT_CONTEXT c = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SHA1_HASH, &hb, nullptr);
        if (!c) continue;
        std::string want = "{c" + std::to_string(k / 100) + "-" + std::to_string(k % 100) + "}";
        if (ContainerOf(c) == want) ++found;
        CertFreeCertificateContext(c);
    }
    EXPECT_EQ(found, 200);
    CertCloseStore(s, 0);
}

TEST(SystemStore, CopyingFromAPkcs7StoreAndARegistryKeyOfOurOwn) {
    // The intermediate installation: PKCS#7 contents into the machine's "CA", twice.
    std::vector<Bytes> certs = {Cert(71), Cert(72)};
    Bytes p7 = MakeP7b(certs);
    CRYPT_DATA_BLOB b{static_cast<DWORD>(p7.size()), p7.data()};
    for (int round = 0; round < 2; ++round) {
        HCERTSTORE src = CertOpenStore(CERT_STORE_PROV_PKCS7, kEnc, 0, CERT_STORE_READONLY_FLAG, &b);
        HCERTSTORE ca = OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA");
        ASSERT_TRUE(src && ca);
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(src, c)) != nullptr) {
            BOOL ok = CertAddCertificateContextToStore(ca, c, CERT_STORE_ADD_NEW, nullptr);
            if (round == 0) {
                EXPECT_TRUE(ok);
            } else {
                EXPECT_FALSE(ok);
                EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_EXISTS);
            }
        }
        CertCloseStore(ca, 0);
        CertCloseStore(src, 0);
    }
    for (const auto& d : certs) {
        Bytes blob;
        ASSERT_TRUE(ReadRegBlob(HKEY_LOCAL_MACHINE,
                                u"SOFTWARE\\Microsoft\\SystemCertificates\\CA\\Certificates\\" + Wide(ToHex(Sha1(d))),
                                blob));
        EXPECT_EQ(Bytes(blob.end() - d.size(), blob.end()), d);
    }
    // A store below any registry key the caller opened.
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Tessaro\\OwnStore", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &k, nullptr),
              ERROR_SUCCESS);
    HCERTSTORE own = CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, k);
    ASSERT_NE(own, nullptr);
    ASSERT_TRUE(AddEncoded(own, certs[0], CERT_STORE_ADD_NEW, nullptr));
    CertCloseStore(own, 0);
    Bytes blob;
    EXPECT_TRUE(ReadRegBlob(HKEY_CURRENT_USER, u"Software\\Tessaro\\OwnStore\\Certificates\\" + Wide(ToHex(Sha1(certs[0]))),
                            blob));
    own = CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, k);
    EXPECT_EQ(Enumerate(own), std::vector<Bytes>{certs[0]});
    CertCloseStore(own, 0);
    RegCloseKey(k);
}
