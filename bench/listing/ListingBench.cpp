// "KEVO_GetAllCertInfo" called on the agent in-process: the user's "My" store
// holding 100, 1,000 and 10,000 RSA certificates bound to a key provider, the
// SM2 provider holding 10, 100 and 1,000 containers with a certificate on
// each of their two keys, and the two together. Counters give the time per
// certificate and per container so that growth can be read off directly.
// Each size gets a prefix of its own, filled once with the platform calls.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestPki.h"
#include "agent/CryptoAgent.h"
#include "win/windows.h"

namespace {

const char16_t* const SM2_CSP = u"Tessaro SM2 Token CSP v1.0";
const char16_t* const RSA_CSP = u"Microsoft Enhanced Cryptographic Provider v1.0";

// A certificate of the bench's own subject and validity, signed by signer.
std::vector<BYTE> BenchCert(EVP_PKEY* subjectKey, EVP_PKEY* signer, long serial, const std::string& cn) {
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"C", "CN"}, {"O", "Bench Org"}, {"CN", cn}};
    spec.serial = tessaro_test::pki::Serial(serial);
    spec.subjectKey = subjectKey;
    spec.signer = signer;
    return tessaro_test::pki::MakeCert(spec);
}

bool FillStore(int certs) {
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, u"bench-rsa", RSA_CSP, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return false;
    HCRYPTKEY k = 0;
    CryptGenKey(h, AT_SIGNATURE, 1024u << 16, &k);
    CryptDestroyKey(k);
    CryptReleaseContext(h, 0);
    tessaro_test::pki::Key key = tessaro_test::pki::NewRsaKey(1024);
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    std::u16string container = u"bench-rsa", prov = RSA_CSP;
    bool ok = s != nullptr && key != nullptr;
    for (int i = 0; ok && i < certs; ++i) {
        std::vector<BYTE> der = BenchCert(key.get(), key.get(), 0x10000 + i, "Bench user " + std::to_string(i));
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
    if (s) CertCloseStore(s, 0);
    return ok;
}

bool FillContainers(int containers) {
    tessaro_test::pki::Key issuer = tessaro_test::pki::NewSm2Key();
    bool ok = true;
    for (int i = 0; ok && i < containers; ++i) {
        char name[64];
        snprintf(name, sizeof name, "{BENCH-%08d-0000-0000-0000-000000000000}", i);
        std::u16string container(name, name + strlen(name));
        HCRYPTPROV h = 0;
        ok = CryptAcquireContextW(&h, container.c_str(), SM2_CSP, PROV_RSA_FULL, CRYPT_NEWKEYSET) != FALSE;
        for (DWORD spec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
            HCRYPTKEY k = 0;
            if (!ok || !CryptGenKey(h, spec, 0, &k)) {
                ok = false;
                break;
            }
            DWORD n = 0;
            CryptExportPublicKeyInfo(h, spec, X509_ASN_ENCODING, nullptr, &n);
            std::vector<BYTE> buf(n);
            auto* pki = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(buf.data());
            ok = n && CryptExportPublicKeyInfo(h, spec, X509_ASN_ENCODING, pki, &n);
            std::vector<BYTE> der;
            if (ok) {
                tessaro_test::pki::Key pub = tessaro_test::pki::Sm2PublicKey(
                    std::vector<BYTE>(pki->PublicKey.pbData, pki->PublicKey.pbData + pki->PublicKey.cbData));
                der = BenchCert(pub.get(), issuer.get(), 2 * i + static_cast<long>(spec), "Bench SM2 " + std::to_string(i));
            }
            ok = !der.empty() && CryptSetKeyParam(k, KP_CERTIFICATE, der.data(), 0);
            CryptDestroyKey(k);
        }
        if (h) CryptReleaseContext(h, 0);
    }
    return ok;
}

// One prefix per (certificates, containers), made on first use.
bool UsePrefix(int certs, int containers) {
    static std::map<std::pair<int, int>, std::string> prefixes;
    auto key = std::make_pair(certs, containers);
    auto it = prefixes.find(key);
    if (it != prefixes.end()) {
        setenv("TESSARO_PREFIX", it->second.c_str(), 1);
        return true;
    }
    char tmpl[] = "/tmp/tessaro-bench-listing-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    std::string dir = std::string(tmpl) + "/prefix";
    setenv("TESSARO_PREFIX", dir.c_str(), 1);
    auto t0 = std::chrono::steady_clock::now();
    bool ok = FillStore(certs) && FillContainers(containers);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    fprintf(stderr, "prefix %s: %d certificates, %d containers, filled in %.1f s\n", dir.c_str(), certs, containers, s);
    if (ok) prefixes[key] = dir;
    return ok;
}

void BM_GetAllCertInfo(benchmark::State& state) {
    const int certs = static_cast<int>(state.range(0));
    const int containers = static_cast<int>(state.range(1));
    if (!UsePrefix(certs, containers)) {
        state.SkipWithError("setting up the prefix failed");
        return;
    }
    CCryptoAgent agent(nullptr);
    BSTR names = SysAllocString(containers ? SM2_CSP : u"");
    size_t entries = 0;
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    auto wall0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        BSTR listing = nullptr;
        HRESULT hr = agent.KEVO_GetAllCertInfo(names, &listing);
        if (hr != 0 || listing == nullptr) {
            state.SkipWithError("KEVO_GetAllCertInfo failed");
            break;
        }
        size_t n = SysStringLen(listing);
        entries = n ? 1 : 0;
        for (size_t i = 0; i + 1 < n; ++i)
            if (listing[i] == u'|' && listing[i + 1] == u'|') ++entries, ++i;
        SysFreeString(listing);
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    double cpu = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) + (cpu1.tv_nsec - cpu0.tv_nsec) * 1e-9;
    SysFreeString(names);
    if (entries != static_cast<size_t>(certs + 2 * containers)) state.SkipWithError("listing has the wrong size");
    state.counters["entries"] = static_cast<double>(entries);
    // Microseconds per listed certificate or container (process CPU time and
    // wall time), for reading off how the cost grows.
    double items = static_cast<double>(certs ? certs : containers) * static_cast<double>(state.iterations());
    if (items > 0 && (certs == 0 || containers == 0)) {
        state.counters["cpu_us_per_item"] = cpu * 1e6 / items;
        state.counters["wall_us_per_item"] = wall * 1e6 / items;
    }
}

}  // namespace

// The store alone, the containers alone, and the target mix.
BENCHMARK(BM_GetAllCertInfo)
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({0, 10})
    ->Args({0, 100})
    ->Args({0, 1000})
    ->Args({1000, 100})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
