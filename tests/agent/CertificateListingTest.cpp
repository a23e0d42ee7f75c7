// The certificate listing: which store certificates appear and how each entry reads.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/TestPki.h"
#include "tests/agent/AgentTestSupport.h"
#include "agent/CertificateListing.h"
#include "agent/CryptoAgent.h"
#include "diag/ResultCode.h"
#include "tessaro/Handles.h"

namespace {

using agent_test::FreshPrefix;

// A self-signed certificate with the given subject, serial number and validity.
std::vector<BYTE> MakeCert(const char* cn, long serial, const char* notBefore, const char* notAfter,
                           bool sm2 = false) {
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"C", "CN"}, {"O", "Tessaro"}, {"CN", cn}};
    spec.serial = tessaro_test::pki::Serial(serial);
    spec.notBeforeText = notBefore;
    spec.notAfterText = notAfter;
    spec.sm2 = sm2;
    return tessaro_test::pki::MakeCert(spec);
}

class MyStore {
public:
    MyStore()
        : m_h(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                            CERT_SYSTEM_STORE_CURRENT_USER, u"My")) {}
    HCERTSTORE get() const { return m_h.get(); }

    // Adds the certificate, bound to a key of the provider when one is named.
    void Add(const std::vector<BYTE>& der, const char16_t* provider) {
        ASSERT_FALSE(der.empty());
        PCCERT_CONTEXT ctx = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(m_h.get(), X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, &ctx));
        if (provider) {
            CRYPT_KEY_PROV_INFO info{};
            std::u16string container = u"{list-test}", prov = provider;
            info.pwszContainerName = container.data();
            info.pwszProvName = prov.data();
            info.dwProvType = 1;
            info.dwKeySpec = AT_SIGNATURE;
            ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
        }
        CertFreeCertificateContext(ctx);
    }

private:
    tessaro::UniqueCertStore m_h;
};

using TimeZone = tessaro_test::ScopedTimeZone;

HRESULT Listing(CCryptoAgent& a, const char16_t* providers, std::u16string& out) {
    BSTR names = providers ? SysAllocString(providers) : nullptr;
    BSTR b = nullptr;
    HRESULT hr = a.KEVO_GetAllCertInfo(names, &b);
    out = b ? std::u16string(b, SysStringLen(b)) : u"<none>";
    SysFreeString(b);
    SysFreeString(names);
    return hr;
}

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

std::vector<std::string> Split(const std::string& s) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = s.find("||", start);
        parts.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos) return parts;
        start = pos + 2;
    }
}

const char16_t* ENHANCED = u"Microsoft Enhanced Cryptographic Provider v1.0";

TEST(GetAllCertInfo, StoreEntriesInLocalTime) {
    FreshPrefix prefix;
    TimeZone tz("CST-8");
    {
        MyStore store;
        ASSERT_NE(nullptr, store.get());
        store.Add(MakeCert("First User", 0x0102A3F4, "20201216090503Z", "20301216090503Z"), ENHANCED);
        // No key-provider link: not offered to the page.
        store.Add(MakeCert("Unbound User", 7, "20201216090503Z", "20301216090503Z"), nullptr);
        store.Add(MakeCert("Second User", 0x10, "20211231200000Z", "20220101000000Z"), u"Tessaro RSA Token CSP v1.0");
    }
    CCryptoAgent a;
    std::u16string listing;
    ASSERT_EQ(KEVO_OK, Listing(a, nullptr, listing));
    // Entries in the store's order, which follows the certificates' thumbprints.
    std::vector<std::string> entries = Split(Narrow(listing));
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ((std::vector<std::string>{
                  "CN=First User, O=Tessaro, C=CN;0102a3f4;2020-12-16 17:05:03;2030-12-16 17:05:03;"
                  "Microsoft Enhanced Cryptographic Provider v1.0",
                  "CN=Second User, O=Tessaro, C=CN;10;2022-01-01 04:00:00;2022-01-01 08:00:00;"
                  "Tessaro RSA Token CSP v1.0"}),
              entries)
        << Narrow(listing);
    EXPECT_EQ(KEVO_OK, a.GetLastResult());
    // An empty provider argument lists the store part only.
    std::u16string again;
    ASSERT_EQ(KEVO_OK, Listing(a, u"", again));
    EXPECT_EQ(listing, again);
}

TEST(GetAllCertInfo, EmptyStoreAndSm2CertificatesGiveEmptyText) {
    FreshPrefix prefix;
    CCryptoAgent a;
    std::u16string listing;
    ASSERT_EQ(KEVO_OK, Listing(a, nullptr, listing));
    EXPECT_EQ(u"", listing);
    {
        MyStore store;
        std::vector<BYTE> sm2 = MakeCert("SM2 User", 3, "20201216090503Z", "20301216090503Z", true);
        ASSERT_FALSE(sm2.empty());
        store.Add(sm2, u"Tessaro SM2 Token CSP v1.0");
    }
    ASSERT_EQ(KEVO_OK, Listing(a, nullptr, listing));
    EXPECT_EQ(u"", listing);
}

TEST(GetCertificateInfo, RefusesWhatIsNotThere) {
    std::u16string entry = u"stale";
    EXPECT_EQ(E_INVALIDARG, GetCertificateInfo(nullptr, entry));
    EXPECT_EQ(u"", entry);
    EXPECT_EQ(E_INVALIDARG, GetAllRSACertificatesInfoinStore(nullptr, entry));
}

}  // namespace
