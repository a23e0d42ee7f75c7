// The listing's own routines for records of the container scan, called directly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/support/CertTestKit.h"
#include "agent/CertificateListing.h"
#include "diag/ResultCode.h"

TEST(ListingRoutines, ContainerRecordsBecomeEntriesWithTheRecordsProvider) {
    certkit::CertSpec spec;
    spec.subject = {{"CN", "Record; with separator"}};
    spec.serial = {0x0A, 0x0B};
    PCCERT_CONTEXT c = certkit::NewContext(certkit::MakeCert(spec));
    ASSERT_NE(c, nullptr);
    UNREGISTERED_CERT_LIST records;
    PUNREGISTERED_CERT_CONTEXT r = nullptr;
    ASSERT_EQ(CertCreateUnregisteredCertContext(u"Vendor CSP", u"{C1}", c, AT_SIGNATURE, &r), KEVO_OK);
    records.push_back(r);
    ASSERT_EQ(CertCreateUnregisteredCertContext(u"Other CSP", u"{C2}", c, AT_KEYEXCHANGE, &r), KEVO_OK);
    records.push_back(r);
    CertFreeCertificateContext(c);

    std::u16string text;
    const char* oldTz = getenv("TZ");
    std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_EQ(GetAllCertificatesInfoUnregisteredCertSet(records, text), KEVO_OK);
    // Separators inside values are passed on unchanged.
    EXPECT_EQ(text,
              u"CN=Record; with separator;0a0b;2020-09-13 12:26:40;2030-03-17 17:46:40;Vendor CSP||"
              u"CN=Record; with separator;0a0b;2020-09-13 12:26:40;2030-03-17 17:46:40;Other CSP");
    EXPECT_EQ(records.size(), 2u);  // the list is not consumed
    ASSERT_EQ(GetUnregisteredCertificateInfo(records[1], text), KEVO_OK);
    EXPECT_EQ(text, u"CN=Record; with separator;0a0b;2020-09-13 12:26:40;2030-03-17 17:46:40;Other CSP");
    if (oldTz) setenv("TZ", savedTz.c_str(), 1);
    else unsetenv("TZ");
    tzset();
    RemoveAllUnregisteredCertificates(records);
    EXPECT_TRUE(records.empty());

    text = u"stale";
    EXPECT_EQ(GetAllCertificatesInfoUnregisteredCertSet(records, text), E_INVALIDARG);
    EXPECT_EQ(text, u"");
    EXPECT_EQ(GetUnregisteredCertificateInfo(nullptr, text), E_INVALIDARG);
    EXPECT_EQ(GetCertificateInfo(nullptr, text), E_INVALIDARG);
    EXPECT_EQ(GetAllRSACertificatesInfoinStore(nullptr, text), E_INVALIDARG);
}
