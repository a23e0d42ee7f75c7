// "KEVO_GetAllCertInfo" called on the agent in-process, over prefixes that
// hold 0, 100, 1,000 or 10,000 certificates in the user's "My" store, or 10,
// 100, 1,000 or 10,000 containers of the SM2 or of the vendor RSA provider
// with an SM2-signed certificate on each of their two keys. Every case names
// both vendor providers, so the empty prefix is the fixed cost the others are
// measured from. After the runs a table gives the cost per store certificate
// and per container certificate (time above the empty prefix's, divided by
// the certificates listed) and the ratio of the two at a like count.
//
// Containers are made quickly: one container per provider gets its keys from
// the provider, and every other container is a copy of its key records with a
// certificate of its own, written through the provider's container store.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/TestPki.h"
#include "agent/CryptoAgent.h"
#include "platform/csp/CspContainerStore.h"
#include "win/platform_registry.h"
#include "win/windows.h"

namespace {

using tessaro::csp::CSP_OK;
using tessaro_test::pki::Bytes;

enum Kind { kStore = 0, kSm2 = 1, kRsa = 2 };
const char* const KIND_NAMES[] = {"store", "SM2 containers", "RSA containers"};
const char16_t* const STORE_CSP = u"Microsoft Enhanced Cryptographic Provider v1.0";
const char16_t* const NAMES = CSP_VENDOR_SM2_NAME u"||" CSP_VENDOR_RSA_NAME;

// Containers and store entries written per registry transaction while filling.
const int BATCH = 500;

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

Bytes BenchCert(EVP_PKEY* subjectKey, EVP_PKEY* signer, long serial, const std::string& cn) {
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"C", "CN"}, {"O", "Bench Org"}, {"CN", cn}};
    spec.issuer = {{"C", "CN"}, {"CN", "Bench CA"}};
    spec.serial = tessaro_test::pki::Serial(serial);
    spec.subjectKey = subjectKey;
    spec.signer = signer;
    return tessaro_test::pki::MakeCert(spec);
}

bool FillStore(int certs) {
    if (certs == 0) return true;
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, u"bench-rsa", STORE_CSP, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return false;
    HCRYPTKEY k = 0;
    bool ok = CryptGenKey(h, AT_SIGNATURE, 1024u << 16, &k) != FALSE;
    CryptDestroyKey(k);
    CryptReleaseContext(h, 0);
    EVP_PKEY* key = tessaro_test::pki::SharedRsaKey();
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    std::u16string container = u"bench-rsa", prov = STORE_CSP;
    ok = ok && s != nullptr;
    for (int first = 0; ok && first < certs; first += BATCH) {
        tessaro_platform::RegistryTransaction tx(HKEY_CURRENT_USER);
        for (int i = first; ok && i < certs && i < first + BATCH; ++i) {
            Bytes der = BenchCert(key, key, 0x10000 + i, "Bench user " + std::to_string(i));
            PCCERT_CONTEXT c = nullptr;
            ok = CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                                  CERT_STORE_ADD_NEW, &c) != FALSE;
            CRYPT_KEY_PROV_INFO info{};
            info.pwszContainerName = container.data();
            info.pwszProvName = prov.data();
            info.dwProvType = PROV_RSA_FULL;
            info.dwKeySpec = AT_SIGNATURE;
            if (ok) ok = CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
            if (c) CertFreeCertificateContext(c);
        }
        ok = ok && tx.Commit() == ERROR_SUCCESS;
    }
    if (s) CertCloseStore(s, 0);
    return ok;
}

// The public key of a container key, as OpenSSL's key for a certificate.
tessaro_test::pki::Key PublicKeyOf(HCRYPTPROV h, DWORD spec, Kind kind) {
    DWORD n = 0;
    if (!CryptExportPublicKeyInfo(h, spec, X509_ASN_ENCODING, nullptr, &n)) return nullptr;
    std::vector<BYTE> buf(n);
    auto* info = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(buf.data());
    if (!CryptExportPublicKeyInfo(h, spec, X509_ASN_ENCODING, info, &n)) return nullptr;
    const Bytes bits(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
    if (kind == kSm2) return tessaro_test::pki::Sm2PublicKey(bits);
    const unsigned char* p = bits.data();
    return tessaro_test::pki::Key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(bits.size())));
}

bool FillContainers(Kind kind, int containers) {
    if (containers == 0) return true;
    const char16_t* csp = kind == kSm2 ? CSP_VENDOR_SM2_NAME : CSP_VENDOR_RSA_NAME;
    const std::u16string first = u"{BENCH-TEMPLATE}";
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, first.c_str(), csp, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return false;
    tessaro_test::pki::Key pub[3];
    bool ok = true;
    for (DWORD spec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
        HCRYPTKEY k = 0;
        ok = ok && CryptGenKey(h, spec, kind == kRsa ? 1024u << 16 : 0, &k);
        CryptDestroyKey(k);
        if (ok) pub[spec] = PublicKeyOf(h, spec, kind);
        ok = ok && pub[spec];
    }
    CryptReleaseContext(h, 0);
    tessaro::csp::CKeyContainerStore store(kind == kSm2 ? CSP_FAMILY_SM2_TOKEN : CSP_FAMILY_RSA_TOKEN);
    tessaro::csp::CContainerKeyRecord rec[3];
    for (DWORD spec : {1u, 2u}) ok = ok && store.ReadKey(first, spec, &rec[spec]) == CSP_OK;
    ok = ok && store.Delete(first) == CSP_OK;
    EVP_PKEY* issuer = tessaro_test::pki::SharedSm2Key();
    for (int begin = 0; ok && begin < containers; begin += BATCH) {
        tessaro_platform::RegistryTransaction tx(HKEY_CURRENT_USER);
        for (int i = begin; ok && i < containers && i < begin + BATCH; ++i) {
            char name[64];
            snprintf(name, sizeof name, "{BENCH-%08d-0000-0000-0000-000000000000}", i);
            ok = store.Create(Wide(name)) == CSP_OK;
            for (DWORD spec : {1u, 2u}) {
                rec[spec].certificate = BenchCert(pub[spec].get(), issuer, 2 * i + static_cast<long>(spec),
                                                  std::string("Bench ") + (kind == kSm2 ? "SM2 " : "RSA ") +
                                                      std::to_string(i));
                ok = ok && !rec[spec].certificate.empty() && store.WriteKey(Wide(name), spec, rec[spec]) == CSP_OK;
            }
        }
        ok = ok && tx.Commit() == ERROR_SUCCESS;
    }
    return ok;
}

// The folders made for the prefixes, removed after the runs.
std::vector<std::string>& Folders() {
    static std::vector<std::string> f;
    return f;
}

// One prefix per case, made on first use.
bool UsePrefix(Kind kind, int count) {
    static std::map<std::pair<int, int>, std::string> prefixes;
    const auto key = std::make_pair(static_cast<int>(kind), count);
    auto it = prefixes.find(key);
    if (it != prefixes.end()) {
        setenv("TESSARO_PREFIX", it->second.c_str(), 1);
        return true;
    }
    char tmpl[] = "/tmp/tessaro-bench-listing-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    Folders().push_back(tmpl);
    const std::string dir = std::string(tmpl) + "/prefix";
    setenv("TESSARO_PREFIX", dir.c_str(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = kind == kStore ? FillStore(count) : FillContainers(kind, count);
    const bool durable = tessaro_platform::RegistryMakeDurable() == ERROR_SUCCESS;
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    fprintf(stderr, "prefix %s: %d %s, filled in %.1f s\n", dir.c_str(), count, KIND_NAMES[kind], s);
    if (ok && durable) prefixes[key] = dir;
    return ok && durable;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// CPU seconds of one listing per case, for the table after the runs.
std::map<std::pair<int, int>, double>& Results() {
    static std::map<std::pair<int, int>, double> r;
    return r;
}

size_t CountEntries(BSTR listing) {
    const size_t n = SysStringLen(listing);
    size_t entries = n ? 1 : 0;
    for (size_t i = 0; i + 1 < n; ++i)
        if (listing[i] == u'|' && listing[i + 1] == u'|') ++entries, ++i;
    return entries;
}

void BM_GetAllCertInfo(benchmark::State& state) {
    const Kind kind = static_cast<Kind>(state.range(0));
    const int count = static_cast<int>(state.range(1));
    if (!UsePrefix(kind, count)) {
        state.SkipWithError("setting up the prefix failed");
        return;
    }
    CCryptoAgent agent(nullptr);
    BSTR names = SysAllocString(NAMES);
    size_t entries = 0;
    const double cpu0 = CpuSeconds();
    for (auto _ : state) {
        BSTR listing = nullptr;
        if (agent.KEVO_GetAllCertInfo(names, &listing) != 0 || listing == nullptr) {
            state.SkipWithError("KEVO_GetAllCertInfo failed");
            break;
        }
        entries = CountEntries(listing);
        SysFreeString(listing);
    }
    const double cpu = CpuSeconds() - cpu0;
    SysFreeString(names);
    const size_t expected = static_cast<size_t>(kind == kStore ? count : 2 * count);
    if (entries != expected) state.SkipWithError("the listing has the wrong size");
    state.counters["entries"] = static_cast<double>(entries);
    if (state.iterations() > 0) Results()[{kind, count}] = cpu / static_cast<double>(state.iterations());
}

// Microseconds per listed certificate above the empty prefix's cost.
double PerCertificate(Kind kind, int count) {
    auto& r = Results();
    auto it = r.find({kind, count});
    auto empty = r.find({kStore, 0});
    if (it == r.end() || empty == r.end() || count == 0) return NAN;
    return (it->second - empty->second) * 1e6 / (kind == kStore ? count : 2 * count);
}

void PrintTable() {
    const int stores[] = {100, 1000, 10000};
    printf("\n%-16s %10s %12s %14s %8s\n", "case", "count", "ms/listing", "us/certificate", "ratio");
    auto empty = Results().find({kStore, 0});
    if (empty != Results().end()) printf("%-16s %10d %12.3f\n", "empty prefix", 0, empty->second * 1e3);
    for (int kind : {kStore, kSm2, kRsa}) {
        for (const auto& [key, seconds] : Results()) {
            if (key.first != kind || key.second == 0) continue;
            const double per = PerCertificate(static_cast<Kind>(kind), key.second);
            printf("%-16s %10d %12.3f %14.2f", KIND_NAMES[kind], key.second, seconds * 1e3, per);
            if (kind != kStore) {
                // Against the store case whose certificate count is nearest.
                int like = stores[0];
                for (int s : stores)
                    if (std::fabs(std::log(static_cast<double>(s) / (2.0 * key.second))) <
                        std::fabs(std::log(static_cast<double>(like) / (2.0 * key.second))))
                        like = s;
                printf(" %8.2f  (store at %d)", per / PerCertificate(kStore, like), like);
            }
            printf("\n");
        }
    }
}

}  // namespace

BENCHMARK(BM_GetAllCertInfo)
    ->ArgNames({"kind", "count"})
    ->Args({kStore, 0})
    ->Args({kStore, 100})
    ->Args({kStore, 1000})
    ->Args({kStore, 10000})
    ->ArgsProduct({{kSm2, kRsa}, {10, 100, 1000, 10000}})
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // Filling the prefixes syncs once per prefix, not once per change.
    tessaro_platform::RegistryDeferDurability(true);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintTable();
    for (const std::string& f : Folders()) std::filesystem::remove_all(f);
    return 0;
}
