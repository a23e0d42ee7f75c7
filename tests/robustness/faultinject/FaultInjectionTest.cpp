// Fault injection: the host runs with a preloaded shim that makes the Nth
// call of one kind fail (a SQLite statement, an OpenSSL call, a C++
// allocation, a malloc inside any library), and N walks through a whole
// double-certificate enrollment (provider settings, the
// request with its two key generations, the signing certificate's
// installation, the encryption certificate's import with its enveloped key)
// on each enrollment path: a Microsoft RSA provider (the agent opens the
// envelope itself), the vendor RSA token (the provider opens it) and the SM2
// token (the provider decrypts the key, trying both ciphertext orders). For
// every N: every request is answered with JSON and the host exits cleanly
// (under the sanitizer build also without a leak); a request reported as
// made names a container whose key signs, and no other container is left
// but the one a request that failed late keeps by design; a certificate
// reported installed is in the user's "MY" store (Microsoft) or on its
// container's key (tokens); and the databases pass SQLite's integrity check
// at the end. Storage and OpenSSL faults are also injected sticky: the Nth
// call and every later one fail. One enrollment makes thousands of C++
// allocations and tens of thousands of mallocs (counted from main on), so
// for those kinds the walk visits an evenly spread sample, never every call.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/robustness/hostile/HostSession.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

using host_session::CodeOf;
using host_session::HostSession;

namespace {

// One way through a double-certificate enrollment, and how many of its calls
// the walk visits (spread evenly; every call when there are fewer).
struct EnrollmentPath {
    const char* pszName;
    const char* pszProvider;
    int nKeyBits;
    const char* pszAlgorithm;
    ALG_ID algHash;                    // what its containers sign with
    bool bStoreInMy;                   // certificates go to "MY", else onto the container's keys
    const char* pszEnvelopeOption;     // for tessaro-testca envelope, or null
    int nImportFlags;                  // KEVO_ImportEncryptCert's last parameter
    long nRuns, nRunsSanitized;        // each sanitized run is several times slower
};

const char* const kMicrosoft = "Microsoft Enhanced Cryptographic Provider v1.0";

const EnrollmentPath kPaths[] = {
    {"MicrosoftRsa", kMicrosoft, 512, "RSA", CALG_SHA1, true, nullptr, 0, 120, 25},
    // 2048 bits: at 1024 the agent would open the envelope itself. Each run
    // makes two such keys (the signing key, the CA's encryption key) and a
    // 1024-bit one, several times a Microsoft run's cost, so fewer runs.
    {"VendorRsa", "Tessaro RSA Token CSP v1.0", 2048, "RSA", CALG_SHA1, false, nullptr, CRYPT_EXPORTABLE, 20, 12},
    // The ciphertext in the order tried second, so the first attempt's
    // failure and the retry are walked too.
    {"Sm2", "Tessaro SM2 Token CSP v1.0", 256, "SM2", CALG_SM3, false, "--c1c2c3", 0, 120, 25},
};

void PrintTo(const EnrollmentPath& p, std::ostream* os) { *os << p.pszName; }

HCRYPTPROV OpenContainer(const EnrollmentPath& path, const std::string& strContainer) {
    std::u16string wstrName(strContainer.begin(), strContainer.end());
    std::u16string wstrProvider(path.pszProvider, path.pszProvider + strlen(path.pszProvider));
    HCRYPTPROV hProv = 0;
    return CryptAcquireContextW(&hProv, wstrName.c_str(), wstrProvider.c_str(), PROV_RSA_FULL, 0) ? hProv : 0;
}

// The containers a provider lists.
std::set<std::string> ContainersOf(const char* pszProvider) {
    std::set<std::string> setNames;
    std::u16string wstrProvider(pszProvider, pszProvider + strlen(pszProvider));
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, nullptr, wstrProvider.c_str(), PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        setNames.insert("<cannot list>");
        return setNames;
    }
    for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = CRYPT_NEXT) {
        char szName[512] = {};
        DWORD cb = sizeof szName;
        if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(szName), &cb, dwFlags)) break;
        setNames.insert(szName);
    }
    CryptReleaseContext(hProv, 0);
    return setNames;
}

bool HasKey(const EnrollmentPath& path, const std::string& strContainer, DWORD dwSpec) {
    HCRYPTPROV hProv = OpenContainer(path, strContainer);
    if (!hProv) return false;
    HCRYPTKEY hKey = 0;
    bool bHas = CryptGetUserKey(hProv, dwSpec, &hKey) != FALSE;
    if (hKey) CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return bHas;
}

// The certificate bound to the container's key of that spec (empty when none).
std::vector<uint8_t> CertificateOnKey(const EnrollmentPath& path, const std::string& strContainer, DWORD dwSpec) {
    std::vector<uint8_t> vecCert;
    HCRYPTPROV hProv = OpenContainer(path, strContainer);
    if (!hProv) return vecCert;
    HCRYPTKEY hKey = 0;
    DWORD cb = 0;
    if (CryptGetUserKey(hProv, dwSpec, &hKey) && CryptGetKeyParam(hKey, KP_CERTIFICATE, nullptr, &cb, 0) && cb > 0) {
        vecCert.resize(cb);
        if (!CryptGetKeyParam(hKey, KP_CERTIFICATE, vecCert.data(), &cb, 0)) cb = 0;
        vecCert.resize(cb);
    }
    if (hKey) CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return vecCert;
}

// Where the store's certificate filed under the thumbprint of vecDer (as
// the agent finds certificates later) says its key is: "container/spec";
// "not found" or "no key" otherwise.
std::string KeyOfCertificate(HCERTSTORE hStore, const std::vector<uint8_t>& vecDer) {
    BYTE hash[20];
    DWORD cbHash = sizeof hash;
    if (!CryptHashCertificate(0, CALG_SHA1, 0, vecDer.data(), static_cast<DWORD>(vecDer.size()), hash, &cbHash))
        return "cannot hash";
    CRYPT_HASH_BLOB blob{cbHash, hash};
    PCCERT_CONTEXT p = CertFindCertificateInStore(hStore, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    if (!p) return "not found";
    std::string strKey = "no key";
    DWORD cb = 0;
    if (std::vector<uint8_t>(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded) != vecDer) {
        strKey = "another certificate";
    } else if (CertGetCertificateContextProperty(p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb) && cb > 0) {
        std::vector<ULONG_PTR> vecInfo(cb / sizeof(ULONG_PTR) + 1);
        auto* pInfo = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(vecInfo.data());
        if (CertGetCertificateContextProperty(p, CERT_KEY_PROV_INFO_PROP_ID, pInfo, &cb) && pInfo->pwszContainerName) {
            std::u16string wstr(pInfo->pwszContainerName);
            strKey = std::string(wstr.begin(), wstr.end()) + "/" + std::to_string(pInfo->dwKeySpec);
        }
    }
    CertFreeCertificateContext(p);
    return strKey;
}

struct Reported {
    std::string strAt;  // where the fault was injected
    std::string strContainer;
    DWORD dwSpec = 0;     // for a certificate: the key it belongs to
    std::string strCert;  // Base64
};

class FaultInjection : public ::testing::TestWithParam<std::tuple<std::string, EnrollmentPath>> {
protected:
    // Every run starts from the same prefix (a copy of the one a first
    // enrollment made), so the Nth call is the same call in every run: what
    // earlier runs installed would otherwise add calls (opening a store reads
    // every certificate in it) and push the walk's N away from the later steps.
    void SetUp() override {
        const char* pszPrefix = getenv("TESSARO_PREFIX");
        if (pszPrefix) m_strOuterPrefix = pszPrefix;
        setenv("TESSARO_PREFIX", (m_work.path() + "/base").c_str(), 1);
        auto init = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "init", m_work.path() + "/ca"}, "");
        ASSERT_EQ(init.exitCode, 0) << init.err;
    }

    // The next run's prefix: a fresh copy of the first one (without SQLite's
    // shared-memory index, which is rebuilt from the log).
    void UseCopyOfBase() {
        if (!m_strRun.empty()) std::filesystem::remove_all(m_strRun);
        m_strRun = m_work.path() + "/run" + std::to_string(++m_nRuns);
        std::filesystem::create_directory(m_strRun);
        std::filesystem::permissions(m_strRun, std::filesystem::perms::owner_all);
        for (const auto& e : std::filesystem::directory_iterator(m_work.path() + "/base")) {
            const std::string strName = e.path().filename().string();
            if (strName.size() < 4 || strName.compare(strName.size() - 4, 4, "-shm") != 0)
                std::filesystem::copy_file(e.path(), m_strRun + "/" + strName);
        }
        setenv("TESSARO_PREFIX", m_strRun.c_str(), 1);
    }

    // One enrollment by one host whose nFaultAt-th call of the kind fails,
    // with bSticky every later one too (0: none, the calls are counted into
    // *pnCalls), in the current prefix, which is then checked. True when a
    // fault was injected.
    bool Enroll(const std::string& strKind, const EnrollmentPath& path, long nFaultAt, bool bSticky,
                long* pnCalls = nullptr) {
        const std::string strAt = "N=" + std::to_string(nFaultAt) + (bSticky ? " and on" : "");
        std::vector<Reported> vecContainers, vecInstalled;
        const std::string strMark = m_work.path() + "/fired", strCount = m_work.path() + "/count";
        std::filesystem::remove(strMark);
        const std::set<std::string> setBefore = ContainersOf(path.pszProvider),
                                    setMicrosoftBefore = ContainersOf(kMicrosoft);
        std::vector<std::string> env{"LD_PRELOAD=" + tessaro_test::BuildPath("libtessaro_fault_shim.so"),
                                     "TESSARO_FAULT_KIND=" + strKind, "TESSARO_FAULT_N=" + std::to_string(nFaultAt),
                                     "TESSARO_FAULT_MARK=" + strMark,
                                     std::string("TESSARO_FAULT_STICKY=") + (bSticky ? "1" : "0"),
                                     "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"};
        if (pnCalls) env.push_back("TESSARO_FAULT_COUNT=" + strCount);
        HostSession host(tessaro_test::BuildPath("TessaroHost.QIRTAL.x86"), env);
        EXPECT_TRUE(host.Started());
        std::string strResponse, strRequest, strContainer;
        auto Ask = [&](const std::string& strText) {
            bool bAnswered = host.Converse(strText, strResponse);
            EXPECT_TRUE(bAnswered) << strAt << ": no answer to " << strText.substr(0, 80);
            EXPECT_NE(CodeOf(strResponse), -12345) << strAt << ": " << strResponse;
            return bAnswered ? CodeOf(strResponse) : -12345;
        };
        const std::string strCa = m_work.path() + "/ca", strReq = m_work.path() + "/req.txt";
        bool bOk = Ask("{\"function\":\"KEVO_SetCSPInfo\",\"params\":[" + std::to_string(path.nKeyBits) + ",\"" +
                       path.pszProvider + "\"]}") == 0 &&
                   Ask(std::string("{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"") + path.pszAlgorithm +
                       "\"]}") == 0;
        if (bOk && Ask(R"({"function":"KEVO_PKCS10CertRequisition","params":["CN=Fault,O=Tessaro,C=CN",2,0]})") == 0) {
            CodeOf(strResponse, &strRequest);
            if (Ask(R"({"function":"KEVO_GetContainer","params":[]})") == 0) {
                CodeOf(strResponse, &strContainer);
                EXPECT_EQ(strContainer.size(), 38u) << strAt;
                vecContainers.push_back({strAt, strContainer, 0, ""});
            }
            std::ofstream(strReq, std::ios::trunc) << strRequest;
            auto issue =
                tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "issue", strCa, "--in", strReq}, "");
            EXPECT_EQ(issue.exitCode, 0) << strAt << ": the reported request is not valid: " << issue.err;
            std::string strCert = issue.out;
            while (!strCert.empty() && (strCert.back() == '\n' || strCert.back() == '\r')) strCert.pop_back();
            if (!strContainer.empty() &&
                Ask("{\"function\":\"KEVO_ImportSignCert\",\"params\":[2,\"" + strCert + "\",\"" + strContainer +
                    "\"]}") == 0)
                vecInstalled.push_back({strAt, strContainer, AT_SIGNATURE, strCert});
            // The encryption certificate with its key, wrapped for the
            // request's temporary exchange key.
            std::vector<std::string> vecEnvelope{tessaro_test::BuildPath("tessaro-testca"), "envelope", strCa, "--in",
                                                 strReq};
            if (path.pszEnvelopeOption) vecEnvelope.push_back(path.pszEnvelopeOption);
            auto envelope = tessaro_test::RunProcess(vecEnvelope, "");
            EXPECT_EQ(envelope.exitCode, 0) << envelope.err;
            cJSON* pEnvelope = cJSON_Parse(envelope.out.c_str());
            const cJSON* pText = cJSON_GetObjectItem(pEnvelope, "envelope");
            const cJSON* pCert = cJSON_GetObjectItem(pEnvelope, "certificate");
            if (!strContainer.empty() && cJSON_IsString(pText) && cJSON_IsString(pCert) &&
                Ask(std::string("{\"function\":\"KEVO_ImportEncryptCert\",\"params\":[\"") + pText->valuestring +
                    "\",\"" + pCert->valuestring + "\",\"" + strContainer + "\"," +
                    std::to_string(path.nImportFlags) + "]}") == 0)
                vecInstalled.push_back({strAt, strContainer, AT_KEYEXCHANGE, pCert->valuestring});
            cJSON_Delete(pEnvelope);
        }
        Ask(R"({"function":"GetLastErrorDesc","params":[]})");
        int nStatus = host.CloseAndWait();
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0)
            << strAt << ": host ended with status " << nStatus
            << " (a leak under the sanitizer build exits non-zero)";
        // A request that fails once its first key exists leaves the container
        // with that key (by design; its name is never reported); one that
        // fails earlier removes it. Besides that one, an enrollment makes no
        // container but the one reported; nor does the plain path leave its
        // temporary key set in the Microsoft provider. Storage that keeps
        // failing can remove nothing, though.
        const bool bStorageDown = bSticky && strKind != "openssl";
        std::vector<std::string> vecNew;
        for (const std::string& strName : ContainersOf(path.pszProvider))
            if (!setBefore.count(strName) && strName != strContainer) vecNew.push_back(strName);
        EXPECT_TRUE(bStorageDown || vecNew.size() <= (strContainer.empty() ? 1u : 0u))
            << strAt << ": container " << vecNew.front() << " left over, "
            << (strContainer.empty() ? "no container reported" : "reported " + strContainer);
        for (const std::string& strName : vecNew)
            EXPECT_TRUE(bStorageDown || HasKey(path, strName, AT_KEYEXCHANGE))
                << strAt << ": container " << strName << " left over without a key";
        if (strcmp(path.pszProvider, kMicrosoft) != 0) {
            EXPECT_EQ(ContainersOf(kMicrosoft), setMicrosoftBefore) << strAt;
        }
        if (pnCalls) {
            std::ifstream f(strCount);
            *pnCalls = 0;
            f >> *pnCalls;
        }
        Check(path, vecContainers, vecInstalled);
        m_nContainers += vecContainers.size();
        m_nInstalled += vecInstalled.size();
        return std::filesystem::exists(strMark);
    }

    // What the run reported is there: its container signs, its certificates
    // are where they belong; and the databases are sound.
    void Check(const EnrollmentPath& path, const std::vector<Reported>& vecContainers,
               const std::vector<Reported>& vecInstalled) {
        for (const Reported& r : vecContainers)
            EXPECT_TRUE(tessaro_test::ContainerSigns(path.pszProvider, r.strContainer, path.algHash))
                << "container " << r.strContainer << " reported made with the fault at " << r.strAt
                << " has no usable key";
        HCERTSTORE hStore =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
        EXPECT_NE(hStore, nullptr);
        for (const Reported& r : vecInstalled) {
            if (path.bStoreInMy)
                EXPECT_EQ(KeyOfCertificate(hStore, tessaro_test::Base64Decode(r.strCert)),
                          r.strContainer + "/" + std::to_string(r.dwSpec))
                    << "certificate reported installed with the fault at " << r.strAt << " is not in MY with its key";
            else
                EXPECT_TRUE(CertificateOnKey(path, r.strContainer, r.dwSpec) == tessaro_test::Base64Decode(r.strCert))
                    << "certificate reported installed with the fault at " << r.strAt << " is not on key "
                    << r.dwSpec << " of " << r.strContainer;
        }
        if (hStore) CertCloseStore(hStore, 0);
        const std::string strPrefix = getenv("TESSARO_PREFIX");
        for (const char* pszDb : {"/machine.db", "/user.db"})
            EXPECT_EQ(tessaro_test::IntegrityCheck(strPrefix + pszDb), "ok") << pszDb;
    }

    void TearDown() override {
        if (!m_strOuterPrefix.empty()) setenv("TESSARO_PREFIX", m_strOuterPrefix.c_str(), 1);
    }

    tessaro_test::TempDir m_work{"fault"};
    std::string m_strOuterPrefix, m_strRun;
    long m_nRuns = 0;
    size_t m_nContainers = 0, m_nInstalled = 0;  // reported over all runs
};

TEST_P(FaultInjection, EachFailureIsACodeAndNothingHalfMadeIsReported) {
    const std::string strKind = std::get<0>(GetParam());
    const EnrollmentPath& path = std::get<1>(GetParam());
    const auto tStart = std::chrono::steady_clock::now();
    // A first enrollment without faults makes the prefix every later run
    // starts from; a second one counts the calls; N then walks over them.
    long nCalls = 0;
    ASSERT_FALSE(Enroll(strKind, path, 0, false));
    UseCopyOfBase();
    ASSERT_FALSE(Enroll(strKind, path, 0, false, &nCalls));
    ASSERT_EQ(m_nContainers, 2u);
    ASSERT_EQ(m_nInstalled, 4u);  // both certificates, both times
    ASSERT_GE(nCalls, 5);         // key generation, signing, digests and the certificate at the least
#ifdef TESSARO_SANITIZE
    long nRuns = path.nRunsSanitized;
#else
    long nRuns = path.nRuns;
#endif
    // A soak run (TESSARO_SOAK=k) visits k times as many calls; enough of
    // them visit every call.
    if (const char* pszSoak = getenv("TESSARO_SOAK")) nRuns *= std::max(1L, std::strtol(pszSoak, nullptr, 10));
    const long nStep = std::max(1L, (nCalls + nRuns - 1) / nRuns);
    // Each N twice for storage and OpenSSL: the one call fails, then (as a
    // full disk or a broken library would) that call and every later one.
    // Memory that stays exhausted would leave nothing to answer with.
    const bool bStickyToo = strKind == "sqlite" || strKind == "openssl";
    long nWalked = 0, nFired = 0;
    for (bool bSticky : {false, true}) {
        if (bSticky && !bStickyToo) break;
        for (long n = 1; n <= nCalls; n += nStep) {
            ++nWalked;
            UseCopyOfBase();
            nFired += Enroll(strKind, path, n, bSticky) ? 1 : 0;
            if (HasFatalFailure()) return;
        }
    }
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    RecordProperty("calls", std::to_string(nCalls));
    RecordProperty("walked", std::to_string(nWalked));
    RecordProperty("faults", std::to_string(nFired));
    RecordProperty("containers", std::to_string(m_nContainers));
    RecordProperty("installed", std::to_string(m_nInstalled));
    std::printf("%s/%s: %ld calls, %ld walked, %ld faults injected, %zu containers and %zu certificates reported, "
                "%.1f s\n",
                strKind.c_str(), path.pszName, nCalls, nWalked, nFired, m_nContainers, m_nInstalled, dSeconds);
    // From the same prefix, storage and OpenSSL see the same calls every run,
    // so every N is reached; allocations vary with the random numbers a key
    // generation draws.
    if (bStickyToo)
        EXPECT_EQ(nFired, nWalked);
    else
        EXPECT_GT(nFired, 0);
}

std::string WalkName(const ::testing::TestParamInfo<FaultInjection::ParamType>& info) {
    return std::get<0>(info.param) + "_" + std::get<1>(info.param).pszName;
}

// The kinds of fault the shim injects.
const char* const kKinds[] = {"sqlite", "openssl", "new", "malloc"};

INSTANTIATE_TEST_SUITE_P(
    Walks, FaultInjection,
    ::testing::Combine(::testing::ValuesIn(std::vector<std::string>(std::begin(kKinds), std::end(kKinds))),
                       ::testing::ValuesIn(kPaths)),
    WalkName);

}  // namespace
