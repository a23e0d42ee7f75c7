// Removal of superseded CA certificates: the two lists, their steps and the
// store deletion under a filter.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/store/CaChainSupport.h"
#include "store/CertificateChainDelete.h"
#include "store/CertificateChainInstall.h"

namespace {

using namespace cachain_test;

constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;

std::string Narrow(LPCWSTR w) { return w ? std::string(w, w + std::char_traits<char16_t>::length(w)) : ""; }

// Writes a root the way the chain documents do: straight into the registry.
void WriteRoot(const Bytes& der) {
    Bytes blob = PropertyBlob(der);
    ASSERT_TRUE(AddToStore(kMachine, u"ROOT", der));  // makes the key path, as on an installed system
    ASSERT_EQ(S_OK, RegWriteBinaryValue(kRootPath, Wide(Thumbprint(der)).c_str(), blob.data(),
                                        static_cast<DWORD>(blob.size())));
}

class Removal : public ::testing::Test {
protected:
    void SetUp() override {
        prefix = std::make_unique<tessaro_test::TempDir>("removal");
        saved = getenv("TESSARO_PREFIX") ? getenv("TESSARO_PREFIX") : "";
        setenv("TESSARO_PREFIX", prefix->path().c_str(), 1);
    }
    void TearDown() override { setenv("TESSARO_PREFIX", saved.c_str(), 1); }
    std::unique_ptr<tessaro_test::TempDir> prefix;
    std::string saved;
};

TEST(RemovalLists, ShapeGroupsAndOrder) {
    size_t nRsa = 0, nSm2 = 0;
    const DISCARD_CERT_ENTRY* rsa = GetRSADiscardCertList(&nRsa);
    const DISCARD_CERT_ENTRY* sm2 = GetSM2DiscardCertList(&nSm2);
    const DWORD I = DISCARD_CERT_INTERMEDIATE, R = DISCARD_CERT_ROOT;
    const std::vector<DWORD> rsaKinds = {I, R, I, R, I, R, I, I, R};
    const std::vector<DWORD> sm2Kinds = {I, I, R, I, R, I, I, R};
    ASSERT_EQ(rsaKinds.size(), nRsa);
    ASSERT_EQ(sm2Kinds.size(), nSm2);
    auto check = [](const DISCARD_CERT_ENTRY* list, const std::vector<DWORD>& kinds) {
        // Every group's intermediates name the group's root, which follows them.
        size_t groupStart = 0;
        for (size_t i = 0; i < kinds.size(); ++i) {
            EXPECT_EQ(kinds[i], list[i].dwKind) << i;
            if (kinds[i] != DISCARD_CERT_ROOT) continue;
            EXPECT_EQ(Narrow(list[i].pwszIssuerDN), Narrow(list[i].pwszSubjectDN));
            std::string thumb = Narrow(list[i].pwszThumbprint);
            EXPECT_EQ(40u, thumb.size());
            EXPECT_EQ(std::string::npos, thumb.find_first_not_of("0123456789ABCDEF"));
            for (size_t j = groupStart; j < i; ++j) EXPECT_EQ(Narrow(list[i].pwszSubjectDN), Narrow(list[j].pwszIssuerDN));
            groupStart = i + 1;
        }
    };
    check(rsa, rsaKinds);
    check(sm2, sm2Kinds);
    // Step 8 re-names step 1's certificate under another issuer.
    EXPECT_EQ(Narrow(rsa[0].pwszSerialNumber), Narrow(rsa[7].pwszSerialNumber));
    EXPECT_EQ(Narrow(rsa[0].pwszSubjectDN), Narrow(rsa[7].pwszSubjectDN));
    EXPECT_NE(Narrow(rsa[0].pwszIssuerDN), Narrow(rsa[7].pwszIssuerDN));
    // The roots named are our former demonstration roots.
    const char* rsaRoots[] = {"rsa_root_A", "rsa_root_B", "rsa_root_C", "rsa_root_D"};
    const size_t rsaRootSteps[] = {1, 3, 5, 8};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(Thumbprint(Former(rsaRoots[k])), Narrow(rsa[rsaRootSteps[k]].pwszThumbprint));
    const char* sm2Roots[] = {"sm2_root_E", "sm2_root_F", "sm2_root_G"};
    const size_t sm2RootSteps[] = {2, 4, 7};
    for (int k = 0; k < 3; ++k) EXPECT_EQ(Thumbprint(Former(sm2Roots[k])), Narrow(sm2[sm2RootSteps[k]].pwszThumbprint));
}

TEST_F(Removal, BothListsRemoveTheFormerCAsAndKeepAnotherSerial) {
    const char* intermediates[] = {"rsa_int_A1", "rsa_int_B1", "rsa_int_C1", "rsa_int_D1", "rsa_int_D_A1",
                                   "sm2_int_E1", "sm2_int_E2", "sm2_int_F1", "sm2_int_G1", "sm2_int_G2"};
    const char* roots[] = {"rsa_root_A", "rsa_root_B", "rsa_root_C", "rsa_root_D",
                           "sm2_root_E", "sm2_root_F", "sm2_root_G"};
    for (const char* n : intermediates) {
        Bytes der = Former(n);
        ASSERT_FALSE(der.empty()) << n;
        ASSERT_TRUE(AddToStore(kMachine, u"CA", der));
        ASSERT_TRUE(AddToStore(kUser, u"CA", der));
    }
    for (const char* n : roots) WriteRoot(Former(n));
    ASSERT_TRUE(AddToStore(kMachine, u"CA", Former("rsa_root_B")));  // a root put into the CA store too
    const Bytes keep = Former("rsa_keep_A1");
    ASSERT_TRUE(AddToStore(kMachine, u"CA", keep));
    ASSERT_TRUE(AddToStore(kUser, u"CA", keep));
    const Cert unrelated = MakeCert("Unrelated Root", 7, -1, 30, nullptr);
    WriteRoot(unrelated.der);
    ASSERT_EQ(12u, StoreThumbprints(kMachine, u"CA").size());
    ASSERT_EQ(8u, StoreThumbprints(kMachine, u"ROOT").size());

    EXPECT_EQ(S_OK, DeleteRSADiscardCert());
    EXPECT_EQ(S_OK, DeleteSM2DiscardCert());

    const std::set<std::string> kept = {Thumbprint(keep)};
    EXPECT_EQ(kept, StoreThumbprints(kMachine, u"CA"));
    EXPECT_EQ(kept, StoreThumbprints(kUser, u"CA"));
    EXPECT_EQ(std::set<std::string>{Thumbprint(unrelated.der)}, StoreThumbprints(kMachine, u"ROOT"));
    for (const char* n : roots) EXPECT_FALSE(RootKeyExists(Thumbprint(Former(n)))) << n;

    // Nothing left to remove: the lists still run through and succeed.
    EXPECT_EQ(S_OK, DeleteRSADiscardCert());
    EXPECT_EQ(S_OK, DeleteSM2DiscardCert());
    EXPECT_EQ(kept, StoreThumbprints(kMachine, u"CA"));
}

TEST_F(Removal, StepResults) {
    size_t n = 0;
    const DISCARD_CERT_ENTRY* rsa = GetRSADiscardCertList(&n);
    const DISCARD_CERT_ENTRY& a1 = rsa[0];
    const DISCARD_CERT_ENTRY& rootA = rsa[1];
    // Absent certificates: no match is no error; an absent root key is.
    EXPECT_EQ(S_OK, DeleteIntermediateCert(a1.pwszIssuerDN, a1.pwszSerialNumber, a1.pwszSubjectDN));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              DeleteTrustedRootCert(rootA.pwszIssuerDN, rootA.pwszThumbprint, rootA.pwszSerialNumber,
                                    rootA.pwszSubjectDN));

    const Bytes der = Former("rsa_int_A1");
    ASSERT_TRUE(AddToStore(kMachine, u"CA", der));
    ASSERT_TRUE(AddToStore(kUser, u"CA", der));
    // A serial that is not hexadecimal fails before any store is touched.
    EXPECT_EQ(E_INVALIDARG, DeleteIntermediateCert(a1.pwszIssuerDN, u"4A0000000000G0A1", a1.pwszSubjectDN));
    EXPECT_EQ(E_INVALIDARG, DeleteTrustedRootCert(rootA.pwszIssuerDN, rootA.pwszThumbprint, u"4A 00",
                                                  rootA.pwszSubjectDN));
    EXPECT_EQ(1u, StoreThumbprints(kMachine, u"CA").size());
    // DNs match as case-insensitive substrings; the serial must match exactly.
    EXPECT_EQ(S_OK, DeleteIntermediateCert(u"cn=tessaro former rsa root a", u"4A000000000000A2", u"Issuing CA A1"));
    EXPECT_EQ(1u, StoreThumbprints(kUser, u"CA").size());
    EXPECT_EQ(S_OK, DeleteIntermediateCert(u"cn=tessaro former rsa root a", u"4a000000000000a1", u"Issuing CA A1"));
    EXPECT_TRUE(StoreThumbprints(kMachine, u"CA").empty());
    EXPECT_TRUE(StoreThumbprints(kUser, u"CA").empty());

    // Other locations are refused.
    CERT_FILTER any{};
    const DWORD kServices = 5u << 16;
    EXPECT_EQ(E_INVALIDARG, DeleteCertificateFromStore(kServices, &any));
    EXPECT_EQ(E_INVALIDARG, DeleteCertificateFromStore(0, &any));
    EXPECT_EQ(E_INVALIDARG, DeleteCertificateFromStore(kMachine | CERT_STORE_READONLY_FLAG, &any));
}

TEST_F(Removal, FilterSelectsWithinTheStoreOnly) {
    const Bytes b1 = Former("rsa_int_B1"), c1 = Former("rsa_int_C1");
    ASSERT_TRUE(AddToStore(kMachine, u"CA", b1));
    ASSERT_TRUE(AddToStore(kMachine, u"CA", c1));
    ASSERT_TRUE(AddToStore(kMachine, u"MY", b1));
    CERT_FILTER f{};
    f.pwszIssuer = u"Root C#nothing such";
    EXPECT_EQ(S_OK, DeleteCertificateFromStore(kMachine, &f));
    EXPECT_EQ(std::set<std::string>{Thumbprint(b1)}, StoreThumbprints(kMachine, u"CA"));
    // A null filter selects everything of the "CA" store, and nothing else.
    EXPECT_EQ(S_OK, DeleteCertificateFromStore(kMachine, nullptr));
    EXPECT_TRUE(StoreThumbprints(kMachine, u"CA").empty());
    EXPECT_EQ(std::set<std::string>{Thumbprint(b1)}, StoreThumbprints(kMachine, u"MY"));
}

}  // namespace
