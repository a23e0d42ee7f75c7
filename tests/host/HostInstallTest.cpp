// Install mode: the host installs its RSA CA chains into the machine's stores.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/host/HostHarness.h"
#include "win/windows.h"

namespace {

struct StoreCount {
    int total = 0;
    int sm2Signed = 0;
};

// Certificates of a machine system store in this process's prefix, which the
// host shares.
StoreCount CountMachineStore(const char16_t* name) {
    StoreCount c;
    HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                 CERT_SYSTEM_STORE_LOCAL_MACHINE, name);
    if (!h) return c;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(h, ctx)) != nullptr) {
        ++c.total;
        const char* oid = ctx->pCertInfo->SignatureAlgorithm.pszObjId;
        if (oid && strncmp(oid, "1.2.156.10197", 13) == 0) ++c.sm2Signed;
    }
    CertCloseStore(h, 0);
    return c;
}

TEST(HostInstall, InstallsTheRsaChainsOnly) {
    StoreCount rootBefore = CountMachineStore(u"ROOT");
    auto r = host_test::RunHost("", {"LC_ALL=", "LANG=C"}, {"-I"});
    ASSERT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.out);
    StoreCount root = CountMachineStore(u"ROOT");
    StoreCount ca = CountMachineStore(u"CA");
    EXPECT_GT(root.total, rootBefore.total);
    EXPECT_GT(root.total + ca.total, 0);
    // The SM2 chains are the plug-in's business, not the host's.
    EXPECT_EQ(0, root.sm2Signed);
    EXPECT_EQ(0, ca.sm2Signed);
    // Running it again changes nothing.
    auto again = host_test::RunHost("", {"LC_ALL=", "LANG=C"}, {"-i"});
    EXPECT_EQ(0, again.exitCode);
    EXPECT_EQ(root.total, CountMachineStore(u"ROOT").total);
    EXPECT_EQ(ca.total, CountMachineStore(u"CA").total);
}

}  // namespace
