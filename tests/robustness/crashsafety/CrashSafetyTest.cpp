// Crash safety: enrollments into one prefix while the host is killed with
// SIGKILL at random moments (a new host takes over, as a reloaded page would
// start one). Afterwards every container the host reported is usable (its
// key signs), every certificate it reported installed is in the user's "MY"
// store, and both databases pass SQLite's integrity check.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cjson/cJSON.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/robustness/hostile/HostSession.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

using host_session::CodeOf;
using host_session::HostSession;

namespace {

#ifdef TESSARO_SANITIZE
constexpr int kEnrollments = 100;  // each step is several times slower there
#else
constexpr int kEnrollments = 200;
#endif

// `make soak` multiplies the run by TESSARO_SOAK.
int Scaled(int n) {
    const char* psz = getenv("TESSARO_SOAK");
    int f = psz ? atoi(psz) : 1;
    return f > 1 ? n * f : n;
}

struct Kind {
    const char* pszProvider;
    int nBits;
    const char* pszAlgorithm;
    ALG_ID algHash;  // what its containers sign with
};
const Kind kKinds[] = {{"Microsoft Enhanced Cryptographic Provider v1.0", 512, "RSA", CALG_SHA1},
                       {"Microsoft Enhanced Cryptographic Provider v1.0", 1024, "RSA", CALG_SHA1},
                       {"Tessaro SM2 Token CSP v1.0", 256, "SM2", CALG_SM3}};

struct Reported {
    const Kind* pKind;
    std::string strContainer;
    std::string strCertBase64;  // empty until reported installed
    int nIndex;                 // the subject is "CN=Crash <nIndex>,..."
};

TEST(CrashSafety, KilledHostsLeaveUsableContainersListedCertificatesAndSoundDatabases) {
    const char* pszPrefix = getenv("TESSARO_PREFIX");
    ASSERT_NE(pszPrefix, nullptr);
    tessaro_test::TempDir ca("crash-ca");
    auto init = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "init", ca.path()}, "");
    ASSERT_EQ(init.exitCode, 0) << init.err;

    std::mt19937 rng(424242);
    std::vector<Reported> vecReported;
    std::unique_ptr<HostSession> host;
    int nKills = 0, nInstalled = 0;

    // One request; a killer thread fires after a random delay on about one
    // request in five. The host is then replaced (the kill may land before,
    // during or after the answer), and since a new host has none of the
    // page's settings the enrollment stops there; whatever was answered
    // before the kill still counts as reported.
    bool bHostLost = false;
    auto Ask = [&](const std::string& strRequest, std::string& strResponse) {
        if (!host || !host->Alive()) host = std::make_unique<HostSession>(tessaro_test::BuildPath("TessaroHost.QIRTAL.x86"));
        std::thread killer;
        if (rng() % 5 == 0) {
            pid_t pid = host->Pid();
            int nDelayUs = static_cast<int>(rng() % 30000);
            ++nKills;
            killer = std::thread([pid, nDelayUs] {
                std::this_thread::sleep_for(std::chrono::microseconds(nDelayUs));
                kill(pid, SIGKILL);  // the process is reaped only after this thread is joined
            });
        }
        bool bAnswered = host->Converse(strRequest, strResponse, 120000);
        if (killer.joinable()) {
            killer.join();
            host.reset();  // reaps it, killed or not
            bHostLost = true;
        }
        return bAnswered;
    };

    const int nEnrollments = Scaled(kEnrollments);
    for (int i = 0; i < nEnrollments; ++i) {
        const Kind& k = kKinds[rng() % 3];
        bHostLost = false;
        std::string strResponse, strRequestText, strContainer;
        if (!Ask("{\"function\":\"KEVO_SetCSPInfo\",\"params\":[" + std::to_string(k.nBits) + ",\"" + k.pszProvider +
                     "\"]}",
                 strResponse) || bHostLost)
            continue;
        ASSERT_EQ(CodeOf(strResponse), 0) << strResponse;
        if (!Ask(std::string("{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"") + k.pszAlgorithm + "\"]}",
                 strResponse) || bHostLost)
            continue;
        ASSERT_EQ(CodeOf(strResponse), 0) << strResponse;
        std::string strSubject = "CN=Crash " + std::to_string(i) + ",O=Tessaro,C=CN";
        if (!Ask("{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"" + strSubject + "\",1,0]}", strResponse))
            continue;
        ASSERT_EQ(CodeOf(strResponse, &strRequestText), 0) << strResponse;
        if (bHostLost) continue;  // the container's name was never learned
        if (!Ask(R"({"function":"KEVO_GetContainer","params":[]})", strResponse)) continue;
        ASSERT_EQ(CodeOf(strResponse, &strContainer), 0) << strResponse;
        ASSERT_EQ(strContainer.size(), 38u);
        vecReported.push_back({&k, strContainer, "", i});
        if (bHostLost) continue;

        std::string strReqFile = ca.path() + "/req.txt";
        std::ofstream(strReqFile, std::ios::trunc) << strRequestText;
        auto issue = tessaro_test::RunProcess(
            {tessaro_test::BuildPath("tessaro-testca"), "issue", ca.path(), "--in", strReqFile}, "");
        ASSERT_EQ(issue.exitCode, 0) << issue.err;
        std::string strCert = issue.out;
        while (!strCert.empty() && (strCert.back() == '\n' || strCert.back() == '\r')) strCert.pop_back();
        if (!Ask("{\"function\":\"KEVO_ImportSignCert\",\"params\":[1,\"" + strCert + "\",\"" + strContainer + "\"]}",
                 strResponse))
            continue;
        // Answered, even if the host was killed right after: installed.
        ASSERT_EQ(CodeOf(strResponse), 0) << strResponse;
        vecReported.back().strCertBase64 = strCert;
        ++nInstalled;
    }
    host.reset();
    RecordProperty("kills", std::to_string(nKills));
    RecordProperty("installed", std::to_string(nInstalled));
    EXPECT_GT(nKills, nEnrollments / 10);
    EXPECT_GT(nInstalled, nEnrollments / 4);

    for (const Reported& r : vecReported)
        EXPECT_TRUE(tessaro_test::ContainerSigns(r.pKind->pszProvider, r.strContainer, r.pKind->algHash))
            << r.strContainer << " " << r.pKind->pszProvider;

    // Microsoft providers' certificates go to the user's "MY" store (exact
    // bytes checked there); the token's stay in its containers. All of them
    // must be in the listing a new host gives.
    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    ASSERT_NE(hStore, nullptr);
    std::vector<std::vector<uint8_t>> vecListed;
    for (PCCERT_CONTEXT p = CertEnumCertificatesInStore(hStore, nullptr); p != nullptr;
         p = CertEnumCertificatesInStore(hStore, p))
        vecListed.emplace_back(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded);
    CertCloseStore(hStore, 0);
    std::string strListing, strResponse;
    {
        HostSession lister(tessaro_test::BuildPath("TessaroHost.QIRTAL.x86"));
        ASSERT_TRUE(lister.Converse(R"({"function":"KEVO_GetAllCertInfo","params":["Tessaro SM2 Token CSP v1.0"]})",
                                    strResponse));
        ASSERT_EQ(CodeOf(strResponse, &strListing), 0) << strResponse;
    }
    for (const Reported& r : vecReported) {
        if (r.strCertBase64.empty()) continue;
        if (std::string(r.pKind->pszAlgorithm) == "RSA") {
            auto der = tessaro_test::Base64Decode(r.strCertBase64);
            EXPECT_NE(std::find(vecListed.begin(), vecListed.end(), der), vecListed.end())
                << "installed certificate of " << r.strContainer << " is not in MY";
        }
        std::regex subject("Crash " + std::to_string(r.nIndex) + "([^0-9]|$)");
        EXPECT_TRUE(std::regex_search(strListing, subject))
            << "certificate " << r.nIndex << " (" << r.pKind->pszProvider << ") is not listed";
    }

    for (const char* pszDb : {"/machine.db", "/user.db"}) {
        std::string strPath = std::string(pszPrefix) + pszDb;
        ASSERT_TRUE(std::filesystem::exists(strPath)) << strPath;
        EXPECT_EQ(tessaro_test::IntegrityCheck(strPath), "ok") << strPath;
    }
}

}  // namespace
