// Opening the current user's "My" store holding 1,000 certificates and
// enumerating them, beside two references in the same run: the same DER
// blobs read from a SQLite table directly and parsed with d2i_X509, and
// d2i_X509 alone over the blobs in memory.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TestPki.h"
#include "win/windows.h"

namespace {

constexpr int kCerts = 1000;
std::vector<std::vector<BYTE>> g_ders;
std::string g_dir;
std::string g_refDb;

std::vector<BYTE> MakeCert(EVP_PKEY* key, int serial) {
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"C", "CN"}, {"O", "Bench Org"}, {"CN", "Benchmark user " + std::to_string(serial)}};
    spec.serial = tessaro_test::pki::Serial(0x10000 + serial);
    spec.signer = key;
    return tessaro_test::pki::MakeCert(spec);
}

void Setup() {
    char tmpl[] = "/tmp/tessaro-bench-stores-XXXXXX";
    g_dir = mkdtemp(tmpl);
    setenv("TESSARO_PREFIX", (g_dir + "/prefix").c_str(), 1);
    tessaro_test::pki::Key key = tessaro_test::pki::NewRsaKey(2048);
    for (int i = 0; i < kCerts; ++i) g_ders.push_back(MakeCert(key.get(), i));

    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    std::u16string prov = u"Microsoft Enhanced Cryptographic Provider v1.0";
    for (int i = 0; i < kCerts; ++i) {
        PCCERT_CONTEXT c = nullptr;
        CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, g_ders[i].data(), static_cast<DWORD>(g_ders[i].size()),
                                         CERT_STORE_ADD_REPLACE_EXISTING, &c);
        std::u16string cont = u"{bench-container-" + std::u16string(std::to_string(i).begin(), std::to_string(i).end()) + u"}";
        CRYPT_KEY_PROV_INFO kpi{};
        kpi.pwszContainerName = cont.data();
        kpi.pwszProvName = prov.data();
        kpi.dwProvType = PROV_RSA_FULL;
        kpi.dwKeySpec = AT_SIGNATURE;
        CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &kpi);
        CertFreeCertificateContext(c);
    }
    CertCloseStore(s, 0);

    g_refDb = g_dir + "/reference.db";
    sqlite3* db = nullptr;
    sqlite3_open(g_refDb.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE certs(id INTEGER PRIMARY KEY, der BLOB);", nullptr,
                 nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO certs(der) VALUES(?)", -1, &st, nullptr);
    for (const auto& d : g_ders) {
        sqlite3_bind_blob(st, 1, d.data(), static_cast<int>(d.size()), SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

void BM_OpenUserMyAndEnumerate(benchmark::State& state) {
    for (auto _ : state) {
        HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
        int n = 0;
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(s, c)) != nullptr) ++n;
        CertCloseStore(s, 0);
        if (n != kCerts) state.SkipWithError("wrong certificate count");
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kCerts);
}

void BM_OpenUserMyFindOneBySha1(benchmark::State& state) {
    BYTE h[20];
    DWORD cb = sizeof(h);
    CryptHashCertificate(0, CALG_SHA1, 0, g_ders[kCerts / 2].data(), static_cast<DWORD>(g_ders[kCerts / 2].size()), h,
                         &cb);
    CRYPT_HASH_BLOB hb{20, h};
    for (auto _ : state) {
        HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
        PCCERT_CONTEXT c = CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hb, nullptr);
        if (!c) state.SkipWithError("not found");
        CertFreeCertificateContext(c);
        CertCloseStore(s, 0);
    }
}

// Breakdown: the registry reads of an open alone (enumerate, open, read "Blob").
void BM_Breakdown_RegistryReadsOnly(benchmark::State& state) {
    for (auto _ : state) {
        HKEY certs = nullptr;
        RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Microsoft\\SystemCertificates\\MY\\Certificates", 0, KEY_READ,
                      &certs);
        int n = 0;
        std::vector<BYTE> buf(4096);
        for (DWORD i = 0;; ++i) {
            WCHAR name[256];
            DWORD cch = 256;
            if (RegEnumKeyExW(certs, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            HKEY k = nullptr;
            if (RegOpenKeyExW(certs, name, 0, KEY_READ, &k) != ERROR_SUCCESS) continue;
            DWORD type = 0, cb = static_cast<DWORD>(buf.size());
            n += RegQueryValueExW(k, u"Blob", nullptr, &type, buf.data(), &cb) == ERROR_SUCCESS;
            RegCloseKey(k);
        }
        RegCloseKey(certs);
        if (n != kCerts) state.SkipWithError("wrong certificate count");
    }
    state.SetItemsProcessed(state.iterations() * kCerts);
}

// Reference: the same blobs straight out of one SQLite table, parsed by OpenSSL.
void BM_Reference_SqliteSelectAndD2i(benchmark::State& state) {
    for (auto _ : state) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(g_refDb.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT der FROM certs ORDER BY id", -1, &st, nullptr);
        int n = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char* p = static_cast<const unsigned char*>(sqlite3_column_blob(st, 0));
            X509* x = d2i_X509(nullptr, &p, sqlite3_column_bytes(st, 0));
            n += x != nullptr;
            X509_free(x);
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        if (n != kCerts) state.SkipWithError("wrong certificate count");
    }
    state.SetItemsProcessed(state.iterations() * kCerts);
}

// Reference: parsing alone.
void BM_Reference_D2iOnly(benchmark::State& state) {
    for (auto _ : state) {
        int n = 0;
        for (const auto& d : g_ders) {
            const unsigned char* p = d.data();
            X509* x = d2i_X509(nullptr, &p, static_cast<long>(d.size()));
            n += x != nullptr;
            X509_free(x);
        }
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kCerts);
}

BENCHMARK(BM_OpenUserMyAndEnumerate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenUserMyFindOneBySha1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Breakdown_RegistryReadsOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reference_SqliteSelectAndD2i)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reference_D2iOnly)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Setup();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    return 0;
}
