// Fault injection: the host runs with a preloaded shim that makes the Nth
// call of one kind fail (a SQLite statement, an OpenSSL call), and N walks
// through a whole double-certificate enrollment (provider settings, the
// request with its two key generations, the signing certificate's
// installation, the encryption certificate's import with its enveloped key)
// on each enrollment path: a Microsoft RSA provider (the agent opens the
// envelope itself), the vendor RSA token (the provider opens it) and the SM2
// token (the provider decrypts the key, trying both ciphertext orders). For
// every N: every request is answered with JSON and the host exits cleanly
// (under the sanitizer build also without a leak); a request reported as
// made names a container whose key signs; a certificate reported installed
// is in the user's "MY" store; and the databases pass SQLite's integrity
// check at the end.
#include <sqlite3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cjson/cJSON.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "HostSession.h"
#include "TestSupport.h"
#include "win/windows.h"

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

const EnrollmentPath kPaths[] = {
    {"MicrosoftRsa", "Microsoft Enhanced Cryptographic Provider v1.0", 512, "RSA", CALG_SHA1, true, nullptr, 0, 120, 25},
    // 2048 bits: the token's envelope path needs them, and each run makes
    // three such keys (two in the host, one in the CA), so fewer runs.
    {"VendorRsa", "Tessaro RSA Token CSP v1.0", 2048, "RSA", CALG_SHA1, false, nullptr, CRYPT_EXPORTABLE, 30, 12},
    // The ciphertext in the order tried second, so the first attempt's
    // failure and the retry are walked too.
    {"Sm2", "Tessaro SM2 Token CSP v1.0", 256, "SM2", CALG_SM3, false, "--c1c2c3", 0, 120, 25},
};

void PrintTo(const EnrollmentPath& p, std::ostream* os) { *os << p.pszName; }

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

HCRYPTPROV OpenContainer(const EnrollmentPath& path, const std::string& strContainer) {
    std::u16string wstrName(strContainer.begin(), strContainer.end());
    std::u16string wstrProvider(path.pszProvider, path.pszProvider + strlen(path.pszProvider));
    HCRYPTPROV hProv = 0;
    return CryptAcquireContextW(&hProv, wstrName.c_str(), wstrProvider.c_str(), PROV_RSA_FULL, 0) ? hProv : 0;
}

// True when the container's signature key (else its exchange key) signs.
bool ContainerSigns(const EnrollmentPath& path, const std::string& strContainer) {
    HCRYPTPROV hProv = OpenContainer(path, strContainer);
    if (!hProv) return false;
    bool bSigned = false;
    for (DWORD dwSpec : {static_cast<DWORD>(AT_SIGNATURE), static_cast<DWORD>(AT_KEYEXCHANGE)}) {
        HCRYPTKEY hKey = 0;
        if (!CryptGetUserKey(hProv, dwSpec, &hKey)) continue;
        CryptDestroyKey(hKey);
        HCRYPTHASH hHash = 0;
        const BYTE data[] = "fault";
        BYTE sig[512];
        DWORD cbSig = sizeof sig;
        bSigned = CryptCreateHash(hProv, path.algHash, 0, 0, &hHash) && CryptHashData(hHash, data, sizeof data, 0) &&
                  CryptSignHashW(hHash, dwSpec, nullptr, 0, sig, &cbSig) && cbSig > 0;
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

struct Reported {
    long nFaultAt;
    std::string strContainer;
    DWORD dwSpec = 0;     // for a certificate: the key it belongs to
    std::string strCert;  // Base64
};

class FaultInjection : public ::testing::TestWithParam<std::tuple<const char*, EnrollmentPath>> {
protected:
    void SetUp() override {
        auto init = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "init", m_work.path() + "/ca"}, "");
        ASSERT_EQ(init.exitCode, 0) << init.err;
    }

    // One enrollment by one host whose nFaultAt-th call of the kind fails
    // (0: none, the calls are counted into *pnCalls). True when a fault was
    // injected.
    bool Enroll(const std::string& strKind, const EnrollmentPath& path, long nFaultAt, long* pnCalls = nullptr) {
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
        const std::string strCa = m_work.path() + "/ca", strReq = m_work.path() + "/req.txt";
        bool bOk = Ask("{\"function\":\"KEVO_SetCSPInfo\",\"params\":[" + std::to_string(path.nKeyBits) + ",\"" +
                       path.pszProvider + "\"]}") == 0 &&
                   Ask(std::string("{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"") + path.pszAlgorithm +
                       "\"]}") == 0;
        if (bOk && Ask(R"({"function":"KEVO_PKCS10CertRequisition","params":["CN=Fault,O=Tessaro,C=CN",2,0]})") == 0) {
            CodeOf(strResponse, &strRequest);
            if (Ask(R"({"function":"KEVO_GetContainer","params":[]})") == 0) {
                CodeOf(strResponse, &strContainer);
                EXPECT_EQ(strContainer.size(), 38u) << "N=" << nFaultAt;
                m_vecContainers.push_back({nFaultAt, strContainer, 0, ""});
            }
            std::ofstream(strReq, std::ios::trunc) << strRequest;
            auto issue =
                tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "issue", strCa, "--in", strReq}, "");
            EXPECT_EQ(issue.exitCode, 0) << "N=" << nFaultAt << ": the reported request is not valid: " << issue.err;
            std::string strCert = issue.out;
            while (!strCert.empty() && (strCert.back() == '\n' || strCert.back() == '\r')) strCert.pop_back();
            if (!strContainer.empty() &&
                Ask("{\"function\":\"KEVO_ImportSignCert\",\"params\":[2,\"" + strCert + "\",\"" + strContainer +
                    "\"]}") == 0)
                m_vecInstalled.push_back({nFaultAt, strContainer, AT_SIGNATURE, strCert});
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
                m_vecInstalled.push_back({nFaultAt, strContainer, AT_KEYEXCHANGE, pCert->valuestring});
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
    const std::string strKind = std::get<0>(GetParam());
    const EnrollmentPath& path = std::get<1>(GetParam());
    const char* pszPrefix = getenv("TESSARO_PREFIX");
    ASSERT_NE(pszPrefix, nullptr);
    const auto tStart = std::chrono::steady_clock::now();
    // A first enrollment without faults makes the prefix and counts the calls
    // a second one makes; N then walks over that second one's calls.
    long nCalls = 0;
    ASSERT_FALSE(Enroll(strKind, path, 0));
    ASSERT_FALSE(Enroll(strKind, path, 0, &nCalls));
    ASSERT_EQ(m_vecContainers.size(), 2u);
    ASSERT_EQ(m_vecInstalled.size(), 4u);  // both certificates, both times
    ASSERT_GE(nCalls, 5);                  // key generation, signing, digests and the certificate at the least
#ifdef TESSARO_SANITIZE
    const long nRuns = path.nRunsSanitized;
#else
    const long nRuns = path.nRuns;
#endif
    const long nStep = std::max(1L, (nCalls + nRuns - 1) / nRuns);
    long nWalked = 0, nFired = 0;
    for (long n = 1; n <= nCalls; n += nStep) {
        ++nWalked;
        nFired += Enroll(strKind, path, n) ? 1 : 0;
        if (HasFatalFailure()) return;
    }
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    RecordProperty("calls", std::to_string(nCalls));
    RecordProperty("walked", std::to_string(nWalked));
    RecordProperty("faults", std::to_string(nFired));
    RecordProperty("containers", std::to_string(m_vecContainers.size()));
    RecordProperty("installed", std::to_string(m_vecInstalled.size()));
    std::printf("%s/%s: %ld calls, %ld walked, %ld faults injected, %zu containers and %zu certificates reported, "
                "%.1f s\n",
                strKind.c_str(), path.pszName, nCalls, nWalked, nFired, m_vecContainers.size(), m_vecInstalled.size(),
                dSeconds);
    EXPECT_GT(nFired, 0);

    for (const Reported& r : m_vecContainers)
        EXPECT_TRUE(ContainerSigns(path, r.strContainer)) << "container " << r.strContainer
                                                     << " reported made with the fault at N=" << r.nFaultAt
                                                     << " has no usable key";
    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    ASSERT_NE(hStore, nullptr);
    std::vector<std::vector<uint8_t>> vecListed;
    for (PCCERT_CONTEXT p = CertEnumCertificatesInStore(hStore, nullptr); p != nullptr;
         p = CertEnumCertificatesInStore(hStore, p))
        vecListed.emplace_back(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded);
    CertCloseStore(hStore, 0);
    for (const Reported& r : m_vecInstalled) {
        if (path.bStoreInMy)
            EXPECT_NE(std::find(vecListed.begin(), vecListed.end(), Base64Decode(r.strCert)), vecListed.end())
                << "certificate reported installed with the fault at N=" << r.nFaultAt << " is not in MY";
        else
            EXPECT_EQ(CertificateOnKey(path, r.strContainer, r.dwSpec), Base64Decode(r.strCert))
                << "certificate reported installed with the fault at N=" << r.nFaultAt << " is not on key "
                << r.dwSpec << " of " << r.strContainer;
    }
    for (const char* pszDb : {"/machine.db", "/user.db"})
        EXPECT_EQ(IntegrityCheck(std::string(pszPrefix) + pszDb), "ok") << pszDb;
}

std::string WalkName(const ::testing::TestParamInfo<FaultInjection::ParamType>& info) {
    return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).pszName;
}

// The kinds of fault the shim injects.
const char* const kKinds[] = {"sqlite", "openssl"};

INSTANTIATE_TEST_SUITE_P(Walks, FaultInjection,
                         ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::ValuesIn(kPaths)), WalkName);

}  // namespace
