// Fault injection: the host runs with a preloaded shim that makes the Nth
// SQLite statement or the Nth OpenSSL call fail, and N walks through a whole
// double-certificate enrollment (provider settings, RSA request with its two
// key generations, the signing certificate's installation, the encryption
// certificate's import with its enveloped key). For every N: every request is answered with JSON and the
// host exits cleanly (under the sanitizer build also without a leak); a
// request reported as made names a container whose key signs; a certificate
// reported installed is in the user's "MY" store; and the databases pass
// SQLite's integrity check at the end.
//
// Allocation failures are not injected: the C++ library's containers throw
// on exhaustion and the product does not catch, so such a failure ends the
// process by design.
#include <sqlite3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cjson/cJSON.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "HostSession.h"
#include "TestSupport.h"
#include "win/windows.h"

using host_session::HostSession;

namespace {

// Runs per kind of fault, spread evenly over the calls one enrollment makes.
#ifdef TESSARO_SANITIZE
constexpr long kRuns = 25;  // each run is several times slower there
#else
constexpr long kRuns = 120;
#endif
const char* const kProvider = "Microsoft Enhanced Cryptographic Provider v1.0";

int CodeOf(const std::string& strResponse, std::string* pstrResult = nullptr) {
    int nCode = -12345;
    cJSON* p = cJSON_Parse(strResponse.c_str());
    if (p) {
        const cJSON* c = cJSON_GetObjectItem(p, "errorcode");
        if (cJSON_IsNumber(c)) nCode = c->valueint;
        const cJSON* r = cJSON_GetObjectItem(p, "result");
        if (pstrResult && cJSON_IsString(r)) *pstrResult = r->valuestring;
        cJSON_Delete(p);
    }
    return nCode;
}

std::vector<uint8_t> Base64Decode(const std::string& s) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : s) {
        size_t v = kAlphabet.find(c);
        if (v == std::string::npos) continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return out;
}

bool ContainerSigns(const std::string& strContainer) {
    std::u16string wstrName(strContainer.begin(), strContainer.end());
    std::u16string wstrProvider(kProvider, kProvider + strlen(kProvider));
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, wstrName.c_str(), wstrProvider.c_str(), PROV_RSA_FULL, 0)) return false;
    bool bSigned = false;
    for (DWORD dwSpec : {static_cast<DWORD>(AT_SIGNATURE), static_cast<DWORD>(AT_KEYEXCHANGE)}) {
        HCRYPTKEY hKey = 0;
        if (!CryptGetUserKey(hProv, dwSpec, &hKey)) continue;
        CryptDestroyKey(hKey);
        HCRYPTHASH hHash = 0;
        const BYTE data[] = "fault";
        BYTE sig[512];
        DWORD cbSig = sizeof sig;
        bSigned = CryptCreateHash(hProv, CALG_SHA1, 0, 0, &hHash) && CryptHashData(hHash, data, sizeof data, 0) &&
                  CryptSignHashW(hHash, dwSpec, nullptr, 0, sig, &cbSig);
        if (hHash) CryptDestroyHash(hHash);
        break;
    }
    CryptReleaseContext(hProv, 0);
    return bSigned;
}

std::string IntegrityCheck(const std::string& strPath) {
    sqlite3* db = nullptr;
    std::string strResult = "cannot open";
    if (sqlite3_open_v2(strPath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        strResult.clear();
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK)
            while (sqlite3_step(st) == SQLITE_ROW) strResult += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return strResult;
}

struct Reported {
    long nFaultAt;
    std::string strText;  // container name, or the certificate in Base64
};

class FaultInjection : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        auto init = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "init", m_work.path() + "/ca"}, "");
        ASSERT_EQ(init.exitCode, 0) << init.err;
    }

    // One enrollment by one host whose nFaultAt-th call of the kind fails
    // (0: none, the calls are counted into *pnCalls). True when a fault was
    // injected.
    bool Enroll(const std::string& strKind, long nFaultAt, long* pnCalls = nullptr) {
        const std::string strMark = m_work.path() + "/fired", strCount = m_work.path() + "/count";
        std::filesystem::remove(strMark);
        std::vector<std::string> env{"LD_PRELOAD=" + tessaro_test::BuildPath("libtessaro_fault_shim.so"),
                                     "TESSARO_FAULT_KIND=" + strKind, "TESSARO_FAULT_N=" + std::to_string(nFaultAt),
                                     "TESSARO_FAULT_MARK=" + strMark,
                                     "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"};
        if (pnCalls) env.push_back("TESSARO_FAULT_COUNT=" + strCount);
        HostSession host(tessaro_test::BuildPath("TessaroHost.QIRTAL.x86"), env);
        EXPECT_TRUE(host.Started());
        std::string strResponse, strRequest, strContainer;
        auto Ask = [&](const std::string& strText) {
            bool bAnswered = host.Converse(strText, strResponse);
            EXPECT_TRUE(bAnswered) << "N=" << nFaultAt << ": no answer to " << strText.substr(0, 80);
            EXPECT_NE(CodeOf(strResponse), -12345) << "N=" << nFaultAt << ": " << strResponse;
            return bAnswered ? CodeOf(strResponse) : -12345;
        };
        bool bOk = Ask(std::string("{\"function\":\"KEVO_SetCSPInfo\",\"params\":[512,\"") + kProvider + "\"]}") == 0 &&
                   Ask(R"({"function":"KEVO_SetKeyAlgorithm","params":["RSA"]})") == 0;
        if (bOk && Ask(R"({"function":"KEVO_PKCS10CertRequisition","params":["CN=Fault,O=Tessaro,C=CN",2,0]})") == 0) {
            CodeOf(strResponse, &strRequest);
            if (Ask(R"({"function":"KEVO_GetContainer","params":[]})") == 0) {
                CodeOf(strResponse, &strContainer);
                EXPECT_EQ(strContainer.size(), 38u) << "N=" << nFaultAt;
                m_vecContainers.push_back({nFaultAt, strContainer});
            }
            std::ofstream(m_work.path() + "/req.txt", std::ios::trunc) << strRequest;
            auto issue = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "issue",
                                                   m_work.path() + "/ca", "--in", m_work.path() + "/req.txt"},
                                                  "");
            EXPECT_EQ(issue.exitCode, 0) << "N=" << nFaultAt << ": the reported request is not valid: " << issue.err;
            std::string strCert = issue.out;
            while (!strCert.empty() && (strCert.back() == '\n' || strCert.back() == '\r')) strCert.pop_back();
            if (!strContainer.empty() &&
                Ask("{\"function\":\"KEVO_ImportSignCert\",\"params\":[2,\"" + strCert + "\",\"" + strContainer +
                    "\"]}") == 0)
                m_vecInstalled.push_back({nFaultAt, strCert});
            // The encryption certificate with its key, wrapped for the
            // request's temporary exchange key (the plain path).
            auto envelope = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "envelope",
                                                      m_work.path() + "/ca", "--in", m_work.path() + "/req.txt"},
                                                     "");
            EXPECT_EQ(envelope.exitCode, 0) << envelope.err;
            cJSON* pEnvelope = cJSON_Parse(envelope.out.c_str());
            const cJSON* pText = cJSON_GetObjectItem(pEnvelope, "envelope");
            const cJSON* pCert = cJSON_GetObjectItem(pEnvelope, "certificate");
            if (!strContainer.empty() && cJSON_IsString(pText) && cJSON_IsString(pCert) &&
                Ask(std::string("{\"function\":\"KEVO_ImportEncryptCert\",\"params\":[\"") + pText->valuestring +
                    "\",\"" + pCert->valuestring + "\",\"" + strContainer + "\",0]}") == 0)
                m_vecInstalled.push_back({nFaultAt, pCert->valuestring});
            cJSON_Delete(pEnvelope);
        }
        Ask(R"({"function":"GetLastErrorDesc","params":[]})");
        int nStatus = host.CloseAndWait();
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0)
            << "N=" << nFaultAt << ": host ended with status " << nStatus
            << " (a leak under the sanitizer build exits non-zero)";
        if (pnCalls) {
            std::ifstream f(strCount);
            *pnCalls = 0;
            f >> *pnCalls;
        }
        return std::filesystem::exists(strMark);
    }

    tessaro_test::TempDir m_work{"fault"};
    std::vector<Reported> m_vecContainers, m_vecInstalled;
};

TEST_P(FaultInjection, EachFailureIsACodeAndNothingHalfMadeIsReported) {
    const std::string strKind = GetParam();
    const char* pszPrefix = getenv("TESSARO_PREFIX");
    ASSERT_NE(pszPrefix, nullptr);
    // A first enrollment without faults makes the prefix and counts the calls
    // a second one makes; N then walks over that second one's calls.
    long nCalls = 0;
    ASSERT_FALSE(Enroll(strKind, 0));
    ASSERT_FALSE(Enroll(strKind, 0, &nCalls));
    ASSERT_GE(nCalls, 5);  // key generation, signing, digests and the certificate at the least
    const long nStep = std::max(1L, nCalls / kRuns);
    int nFired = 0;
    for (long n = 1; n <= nCalls; n += nStep) {
        nFired += Enroll(strKind, n) ? 1 : 0;
        if (HasFatalFailure()) return;
    }
    RecordProperty("calls", std::to_string(nCalls));
    RecordProperty("faults", std::to_string(nFired));
    RecordProperty("containers", std::to_string(m_vecContainers.size()));
    RecordProperty("installed", std::to_string(m_vecInstalled.size()));
    EXPECT_GT(nFired, 0);

    for (const Reported& r : m_vecContainers)
        EXPECT_TRUE(ContainerSigns(r.strText)) << "container " << r.strText << " reported made with the fault at N="
                                                    << r.nFaultAt << " has no usable key";
    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    ASSERT_NE(hStore, nullptr);
    std::vector<std::vector<uint8_t>> vecListed;
    for (PCCERT_CONTEXT p = CertEnumCertificatesInStore(hStore, nullptr); p != nullptr;
         p = CertEnumCertificatesInStore(hStore, p))
        vecListed.emplace_back(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded);
    CertCloseStore(hStore, 0);
    for (const Reported& r : m_vecInstalled)
        EXPECT_NE(std::find(vecListed.begin(), vecListed.end(), Base64Decode(r.strText)), vecListed.end())
            << "certificate reported installed with the fault at N=" << r.nFaultAt << " is not in MY";
    for (const char* pszDb : {"/machine.db", "/user.db"})
        EXPECT_EQ(IntegrityCheck(std::string(pszPrefix) + pszDb), "ok") << pszDb;
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultInjection, ::testing::Values("sqlite", "openssl"));

}  // namespace
