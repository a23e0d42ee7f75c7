// Context properties and the serialized property records of a store element.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>

#include "tests/support/TestPki.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

using namespace tessaro_test::pki;
using tessaro_test::FromHex;
using tessaro_test::ToHex;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Ctx {
    PCCERT_CONTEXT p = nullptr;
    explicit Ctx(const Bytes& der) : p(CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()))) {}
    explicit Ctx(PCCERT_CONTEXT c) : p(c) {}
    ~Ctx() { CertFreeCertificateContext(p); }
};

Bytes Prop(PCCERT_CONTEXT c, DWORD id) {
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(c, id, nullptr, &cb)) return {};
    Bytes b(cb);
    if (!CertGetCertificateContextProperty(c, id, b.data(), &cb)) return {};
    b.resize(cb);
    return b;
}

Bytes Digest(const Bytes& d, const EVP_MD* md) {
    Bytes out(EVP_MD_get_size(md));
    unsigned int n = 0;
    EVP_Digest(d.data(), d.size(), out.data(), &n, md, nullptr);
    return out;
}

std::u16string kContainer = u"C1";
std::u16string kProvider = u"P";

CRYPT_KEY_PROV_INFO ProvInfo(DWORD spec) {
    CRYPT_KEY_PROV_INFO kpi{};
    kpi.pwszContainerName = kContainer.data();
    kpi.pwszProvName = kProvider.data();
    kpi.dwProvType = PROV_RSA_FULL;
    kpi.dwKeySpec = spec;
    return kpi;
}

// Serialized form of ProvInfo(2): seven DWORDs with offsets, then the strings.
const char* kKpiHex =
    "1C000000" "22000000" "01000000" "00000000" "00000000" "00000000" "02000000"
    "4300310000005000" "0000";

Bytes Record(DWORD id, const Bytes& v) {
    Bytes r;
    for (DWORD x : {id, 1u, static_cast<DWORD>(v.size())})
        for (int i = 0; i < 4; ++i) r.push_back(static_cast<uint8_t>(x >> (8 * i)));
    r.insert(r.end(), v.begin(), v.end());
    return r;
}

}  // namespace

TEST(CertProperty, KeyProviderInfoRoundTripsInOneBuffer) {
    Ctx c(MakeCert(CertSpec{}));
    ASSERT_NE(c.p, nullptr);
    DWORD cb = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NOT_FOUND);
    CRYPT_KEY_PROV_INFO kpi = ProvInfo(AT_SIGNATURE);
    BYTE paramData[3] = {7, 8, 9};
    CRYPT_KEY_PROV_PARAM param{PP_KEYEXCHANGE_PIN, paramData, 3, 0};
    kpi.cProvParam = 1;
    kpi.rgProvParam = &param;
    ASSERT_TRUE(CertSetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, 0, &kpi));
    ASSERT_TRUE(CertGetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    ASSERT_GT(cb, sizeof(CRYPT_KEY_PROV_INFO));
    DWORD small = cb - 1;
    Bytes buf(cb + 16, 0xCC);
    EXPECT_FALSE(CertGetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(small, cb);
    EXPECT_EQ(buf[0], 0xCC);  // nothing written
    DWORD got = static_cast<DWORD>(buf.size());
    ASSERT_TRUE(CertGetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &got));
    EXPECT_EQ(got, cb);
    auto* out = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
    auto inside = [&](const void* ptr) {
        auto* b = static_cast<const BYTE*>(ptr);
        return b >= buf.data() && b < buf.data() + cb;
    };
    ASSERT_TRUE(inside(out->pwszContainerName));
    ASSERT_TRUE(inside(out->pwszProvName));
    ASSERT_TRUE(inside(out->rgProvParam));
    EXPECT_EQ(std::u16string(out->pwszContainerName), u"C1");
    EXPECT_EQ(std::u16string(out->pwszProvName), u"P");
    EXPECT_EQ(out->dwProvType, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(out->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
    ASSERT_EQ(out->cProvParam, 1u);
    EXPECT_EQ(out->rgProvParam[0].dwParam, static_cast<DWORD>(PP_KEYEXCHANGE_PIN));
    ASSERT_EQ(out->rgProvParam[0].cbData, 3u);
    ASSERT_TRUE(inside(out->rgProvParam[0].pbData));
    EXPECT_EQ(out->rgProvParam[0].pbData[2], 9);
    // The key spec property follows the provider record.
    EXPECT_EQ(ToHex(Prop(c.p, CERT_KEY_SPEC_PROP_ID)), "02000000");
    // A null value deletes.
    ASSERT_TRUE(CertSetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
    EXPECT_FALSE(CertGetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NOT_FOUND);
}

TEST(CertProperty, HashesAndKeyIdentifierAreComputedOnDemand) {
    CertSpec spec;
    Bytes der = MakeCert(spec);
    Ctx c(der);
    EXPECT_EQ(CertEnumCertificateContextProperties(c.p, 0), 0u);  // nothing set yet
    EXPECT_EQ(Prop(c.p, CERT_SHA1_HASH_PROP_ID), Digest(der, EVP_sha1()));
    EXPECT_EQ(Prop(c.p, CERT_MD5_HASH_PROP_ID), Digest(der, EVP_md5()));
    // Without a subject key identifier: SHA-1 of the SubjectPublicKeyInfo.
    EXPECT_EQ(Prop(c.p, CERT_KEY_IDENTIFIER_PROP_ID), Digest(SpkiOf(SharedRsaKey()), EVP_sha1()));
    spec.extensions = {{"2.5.29.14", false, {0x04, 0x02, 0xAB, 0xCD}}};
    Ctx withSki(MakeCert(spec));
    EXPECT_EQ(ToHex(Prop(withSki.p, CERT_KEY_IDENTIFIER_PROP_ID)), "ABCD");
    // Cached hashes are properties now, listed in order.
    EXPECT_EQ(CertEnumCertificateContextProperties(c.p, 0), static_cast<DWORD>(CERT_SHA1_HASH_PROP_ID));
    EXPECT_EQ(CertEnumCertificateContextProperties(c.p, CERT_SHA1_HASH_PROP_ID),
              static_cast<DWORD>(CERT_MD5_HASH_PROP_ID));
    EXPECT_EQ(CertEnumCertificateContextProperties(c.p, CERT_MD5_HASH_PROP_ID), 0u);
}

TEST(CertProperty, FriendlyNameKeySpecAndArbitraryIds) {
    Ctx c(MakeCert(CertSpec{}));
    std::u16string name = u"Mine";
    CRYPT_DATA_BLOB fn{static_cast<DWORD>((name.size() + 1) * 2),
                       reinterpret_cast<BYTE*>(const_cast<char16_t*>(name.c_str()))};
    ASSERT_TRUE(CertSetCertificateContextProperty(c.p, CERT_FRIENDLY_NAME_PROP_ID, 0, &fn));
    EXPECT_EQ(ToHex(Prop(c.p, CERT_FRIENDLY_NAME_PROP_ID)), "4D0069006E0065000000");
    DWORD spec = AT_KEYEXCHANGE;
    ASSERT_TRUE(CertSetCertificateContextProperty(c.p, CERT_KEY_SPEC_PROP_ID, 0, &spec));
    EXPECT_EQ(ToHex(Prop(c.p, CERT_KEY_SPEC_PROP_ID)), "01000000");
    BYTE raw[2] = {1, 2};
    CRYPT_DATA_BLOB rb{2, raw};
    ASSERT_TRUE(CertSetCertificateContextProperty(c.p, 0x8001, 0, &rb));
    EXPECT_EQ(ToHex(Prop(c.p, 0x8001)), "0102");
    CRYPT_DATA_BLOB empty{0, nullptr};
    ASSERT_TRUE(CertSetCertificateContextProperty(c.p, 0x8002, 0, &empty));
    DWORD cb = 99;
    EXPECT_TRUE(CertGetCertificateContextProperty(c.p, 0x8002, nullptr, &cb));
    EXPECT_EQ(cb, 0u);
    // Ids that are not properties, and malformed values, change nothing.
    for (DWORD bad : {0u, static_cast<DWORD>(CERT_CERT_PROP_ID), 0x10000u}) {
        EXPECT_FALSE(CertSetCertificateContextProperty(c.p, bad, 0, &rb));
        EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    }
    CRYPT_DATA_BLOB shortHash{2, raw};
    EXPECT_FALSE(CertSetCertificateContextProperty(c.p, CERT_SHA1_HASH_PROP_ID, 0, &shortHash));
    CRYPT_KEY_PROV_INFO broken = ProvInfo(1);
    broken.cProvParam = 2;
    EXPECT_FALSE(CertSetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, 0, &broken));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_FALSE(CertGetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    EXPECT_EQ(CertEnumCertificateContextProperties(c.p, 0), static_cast<DWORD>(CERT_KEY_SPEC_PROP_ID));
}

TEST(CertSerialize, RecordsWithTheCertificateLast) {
    Bytes der = MakeCert(CertSpec{});
    Ctx c(der);
    CRYPT_KEY_PROV_INFO kpi = ProvInfo(AT_SIGNATURE);
    ASSERT_TRUE(CertSetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, 0, &kpi));
    DWORD cb = 0;
    ASSERT_TRUE(CertSerializeCertificateStoreElement(c.p, 0, nullptr, &cb));
    Bytes blob(cb);
    ASSERT_TRUE(CertSerializeCertificateStoreElement(c.p, 0, blob.data(), &cb));
    Bytes expected = Record(CERT_KEY_PROV_INFO_PROP_ID, FromHex(kKpiHex));
    Bytes r3 = Record(CERT_SHA1_HASH_PROP_ID, Digest(der, EVP_sha1()));
    Bytes r32 = Record(CERT_CERT_PROP_ID, der);
    expected.insert(expected.end(), r3.begin(), r3.end());
    expected.insert(expected.end(), r32.begin(), r32.end());
    EXPECT_EQ(ToHex(blob), ToHex(expected));
    DWORD tooSmall = cb - 1;
    EXPECT_FALSE(CertSerializeCertificateStoreElement(c.p, 0, blob.data(), &tooSmall));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));

    // And back: a context of no store with the same properties.
    const void* back = nullptr;
    DWORD type = 0;
    ASSERT_TRUE(CertAddSerializedElementToStore(nullptr, blob.data(), cb, CERT_STORE_ADD_ALWAYS, 0,
                                                CERT_STORE_CERTIFICATE_CONTEXT_FLAG, &type, &back));
    Ctx b(static_cast<PCCERT_CONTEXT>(back));
    EXPECT_EQ(type, static_cast<DWORD>(CERT_STORE_CERTIFICATE_CONTEXT));
    EXPECT_EQ(Bytes(b.p->pbCertEncoded, b.p->pbCertEncoded + b.p->cbCertEncoded), der);
    Bytes kb = Prop(b.p, CERT_KEY_PROV_INFO_PROP_ID);
    ASSERT_FALSE(kb.empty());
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(kb.data());
    EXPECT_EQ(std::u16string(info->pwszContainerName), u"C1");
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
}

TEST(CertSerialize, MalformedRecordsAreRefusedAndAddNothing) {
    Bytes der = MakeCert(CertSpec{});
    Bytes good = Record(CERT_SHA1_HASH_PROP_ID, Digest(der, EVP_sha1()));
    Bytes r32 = Record(CERT_CERT_PROP_ID, der);
    good.insert(good.end(), r32.begin(), r32.end());
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    std::vector<std::pair<std::string, Bytes>> bad;
    bad.push_back({"header cut short", Bytes(good.begin(), good.begin() + 8)});
    bad.push_back({"value past the end", Bytes(good.begin(), good.end() - 1)});
    Bytes trailing = good;
    trailing.push_back(0);
    bad.push_back({"bytes after the certificate", trailing});
    bad.push_back({"no certificate", Record(CERT_SHA1_HASH_PROP_ID, Digest(der, EVP_sha1()))});
    Bytes longLen = good;
    longLen[8] = 0xFF;
    longLen[11] = 0xFF;  // a length far beyond the element
    bad.push_back({"huge length", longLen});
    Bytes kpi = FromHex(kKpiHex);
    kpi[0] = 0xF0;  // container offset outside the record
    Bytes badKpi = Record(CERT_KEY_PROV_INFO_PROP_ID, kpi);
    badKpi.insert(badKpi.end(), r32.begin(), r32.end());
    bad.push_back({"provider record with a bad offset", badKpi});
    Bytes badCert = Record(CERT_CERT_PROP_ID, Bytes(der.begin(), der.end() - 3));
    bad.push_back({"certificate cut short", badCert});
    for (const auto& [what, b] : bad) {
        const void* out = reinterpret_cast<const void*>(1);
        EXPECT_FALSE(CertAddSerializedElementToStore(s, b.data(), static_cast<DWORD>(b.size()), CERT_STORE_ADD_ALWAYS,
                                                     0, CERT_STORE_CERTIFICATE_CONTEXT_FLAG, nullptr, &out))
            << what;
        EXPECT_NE(GetLastError(), 0u) << what;
        EXPECT_EQ(out, nullptr) << what;
    }
    EXPECT_EQ(CertEnumCertificatesInStore(s, nullptr), nullptr);
    ASSERT_TRUE(CertAddSerializedElementToStore(s, good.data(), static_cast<DWORD>(good.size()),
                                                CERT_STORE_ADD_NEW, 0, CERT_STORE_CERTIFICATE_CONTEXT_FLAG, nullptr,
                                                nullptr));
    EXPECT_FALSE(CertAddSerializedElementToStore(s, good.data(), static_cast<DWORD>(good.size()),
                                                 CERT_STORE_ADD_NEW, 0, CERT_STORE_CERTIFICATE_CONTEXT_FLAG, nullptr,
                                                 nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_EXISTS);
    CertCloseStore(s, 0);
}
