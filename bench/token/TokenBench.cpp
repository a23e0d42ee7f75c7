// A double-certificate request through a running host on the token beside
// the same key generations and signature made straight through the module;
// signing a request-sized message (1 KiB, SHA-256, RSA-2048) through the
// PKCS#11 token provider against the same work done directly with the token
// (OpenSSL's digest, then C_SignInit/C_Sign on the same SoftHSM2 key), and
// against the vendor RSA provider whose keys live in the prefix, in one run.
// The difference to the direct column is what the provider adds per
// signature (finding the key objects again, the CryptoAPI layers).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "win/windows.h"
#include "win/wincrypt.h"
#include "win/winreg.h"

#include "bench/support/HostDriver.h"
#include "tests/support/TokenSession.h"

namespace {

const char kModule[] = "/usr/lib/softhsm/libsofthsm2.so";
const char kLabel[] = "bench-token";
const char16_t kProvider[] = u"Bench Token Provider";
const char16_t kContainer[] = u"{bench-token-container}";

std::string g_dir;

bool WriteText(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// A prefix, a SoftHSM2 token and a pinentry of their own, and the provider
// registered for them; false (with the reason) when that cannot be made.
bool Setup(std::string* why) {
    if (access(kModule, R_OK) != 0) return *why = "softhsm2 is not installed", false;
    char tmpl[] = "/tmp/tessaro-bench-token-XXXXXX";
    if (!mkdtemp(tmpl)) return *why = "mkdtemp", false;
    g_dir = tmpl;
    mkdir((g_dir + "/tokens").c_str(), 0700);
    setenv("TESSARO_PREFIX", (g_dir + "/prefix").c_str(), 1);
    setenv("SOFTHSM2_CONF", (g_dir + "/softhsm2.conf").c_str(), 1);
    setenv("TESSARO_PINENTRY", (g_dir + "/pinentry").c_str(), 1);
    WriteText(g_dir + "/softhsm2.conf", "directories.tokendir = " + g_dir + "/tokens\n");
    WriteText(g_dir + "/pinentry",
              "#!/bin/sh\necho OK\nwhile read -r l; do case \"$l\" in GETPIN) echo 'D 4711'; echo OK;; "
              "BYE) echo OK; exit 0;; *) echo OK;; esac; done\n");
    chmod((g_dir + "/pinentry").c_str(), 0700);
    std::string init = "softhsm2-util --init-token --free --label " + std::string(kLabel) +
                       " --pin 4711 --so-pin 123456 >/dev/null";
    if (system(init.c_str()) != 0) return *why = "softhsm2-util --init-token failed", false;
    DWORD type = 0, cb = 0;
    CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &cb);  // the built-in registrations first
    HKEY k = nullptr;
    std::u16string path = std::u16string(u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + kProvider;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr))
        return *why = "registry", false;
    DWORD t = PROV_RSA_FULL;
    std::u16string module(kModule, kModule + sizeof kModule - 1), label(kLabel, kLabel + sizeof kLabel - 1);
    RegSetValueExW(k, u"Type", 0, REG_DWORD, reinterpret_cast<BYTE*>(&t), sizeof t);
    RegSetValueExW(k, u"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(module.c_str()),
                   static_cast<DWORD>((module.size() + 1) * 2));
    RegSetValueExW(k, u"Token Label", 0, REG_SZ, reinterpret_cast<const BYTE*>(label.c_str()),
                   static_cast<DWORD>((label.size() + 1) * 2));
    RegCloseKey(k);
    return true;
}

const std::vector<BYTE>& Payload() {
    static std::vector<BYTE> p(1024, 0x5A);
    return p;
}

bool ProviderSign(HCRYPTPROV h) {
    HCRYPTHASH hh = 0;
    CryptCreateHash(h, CALG_SHA_256, 0, 0, &hh);
    CryptHashData(hh, Payload().data(), static_cast<DWORD>(Payload().size()), 0);
    BYTE sig[256];
    DWORD sl = sizeof sig;
    bool ok = CryptSignHashW(hh, AT_SIGNATURE, nullptr, 0, sig, &sl);
    benchmark::DoNotOptimize(sig);
    CryptDestroyHash(hh);
    return ok;
}

// A container with a 2048-bit signature key in the provider.
HCRYPTPROV ContainerWithKey(const char16_t* provider, const char16_t* container) {
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, container, provider, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
        !CryptAcquireContextW(&h, container, provider, PROV_RSA_FULL, 0))
        return 0;
    HCRYPTKEY k = 0;
    if (!CryptGenKey(h, AT_SIGNATURE, 2048 << 16, &k)) {
        CryptReleaseContext(h, 0);
        return 0;
    }
    CryptDestroyKey(k);
    return h;
}

void BM_TokenProviderSign(benchmark::State& state) {
    HCRYPTPROV h = ContainerWithKey(kProvider, kContainer);
    if (!h) return state.SkipWithError("token provider container");
    for (auto _ : state)
        if (!ProviderSign(h)) return state.SkipWithError("CryptSignHashW");
    CryptReleaseContext(h, 0);
}

// A session of this process on the bench token, straight through the module
// (logged in already: the provider's login is the process's).
struct Direct : tessaro_test::TokenSession {
    Direct() : TokenSession(kModule, kLabel) {}
    // PKCS#1 v1.5 over SHA-256 of the payload, the digest made by OpenSSL.
    bool Sign(CK_OBJECT_HANDLE key) {
        static const BYTE prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        BYTE info[sizeof prefix + 32];
        memcpy(info, prefix, sizeof prefix);
        unsigned int dl32 = 32;
        EVP_Digest(Payload().data(), Payload().size(), info + sizeof prefix, &dl32, EVP_sha256(), nullptr);
        CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
        BYTE sig[512];
        CK_ULONG sl = sizeof sig;
        bool ok = f->C_SignInit(s, &m, key) == CKR_OK && f->C_Sign(s, info, sizeof info, sig, &sl) == CKR_OK;
        benchmark::DoNotOptimize(sig);
        return ok;
    }
    // A key pair as the provider makes one: token objects, private and
    // sensitive, not extractable, labelled.
    bool GenerateKeyPair(CK_ULONG bits, CK_OBJECT_HANDLE* pub, CK_OBJECT_HANDLE* priv) {
        CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        BYTE e[] = {1, 0, 1};
        char label[] = "{bench-direct}";
        CK_ATTRIBUTE pt[] = {{CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits},
                             {CKA_PUBLIC_EXPONENT, e, 3}, {CKA_LABEL, label, sizeof label - 1}, {CKA_VERIFY, &yes, 1}};
        CK_ATTRIBUTE vt[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SENSITIVE, &yes, 1},
                             {CKA_EXTRACTABLE, &no, 1}, {CKA_LABEL, label, sizeof label - 1}, {CKA_SIGN, &yes, 1}};
        return f->C_GenerateKeyPair(s, &m, pt, 5, vt, 6, pub, priv) == CKR_OK;
    }
};

// The reference: the same digest and signature straight through the module,
// with the key the provider made.
void BM_Pkcs11DirectSign(benchmark::State& state) {
    HCRYPTPROV h = ContainerWithKey(kProvider, kContainer);
    if (!h || !ProviderSign(h)) return state.SkipWithError("token provider container");
    Direct d;
    if (!d.s) return state.SkipWithError("module");
    std::string label = "{bench-token-container}";
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, label.data(), label.size()}};
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG found = 0;
    d.f->C_FindObjectsInit(d.s, t, 2);
    d.f->C_FindObjects(d.s, &key, 1, &found);
    d.f->C_FindObjectsFinal(d.s);
    if (!found) return state.SkipWithError("private key not visible");
    for (auto _ : state)
        if (!d.Sign(key)) return state.SkipWithError("C_Sign");
    CryptReleaseContext(h, 0);
}

// Removes the containers the host made (all but the signing benchmarks' own).
void DeleteRequestContainers() {
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, nullptr, kProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return;
    std::vector<std::u16string> names;
    char buf[300];
    DWORD flags = CRYPT_FIRST, cb = sizeof buf;
    while (CryptGetProvParam(h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buf), &cb, flags)) {
        std::string n(buf);
        if (n != "{bench-token-container}") names.emplace_back(n.begin(), n.end());
        flags = CRYPT_NEXT;
        cb = sizeof buf;
    }
    CryptReleaseContext(h, 0);
    for (const std::u16string& n : names)
        CryptAcquireContextW(&h, n.c_str(), kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

// A double-certificate request (RSA-2048) through a running host with the
// token provider: the temporary exchange key (RSA-1024) and the signing key
// generated on the token, the request signed there. Beside it the same two
// key generations and one signature made straight through the module. Each
// side's keys are removed after each request, outside the timing.
void BM_HostType2RequestOnToken(benchmark::State& state) {
    signal(SIGPIPE, SIG_IGN);
    bench_host::Host host(TESSARO_HOST_PATH, g_dir + "/prefix");
    std::string provider(kProvider, kProvider + std::char_traits<char16_t>::length(kProvider));
    if (!host.Setup(2048, provider.c_str(), "RSA"))
        return state.SkipWithError(("the host refused the settings: " + host.response()).c_str());
    for (auto _ : state) {
        if (!host.Request(2)) return state.SkipWithError(("the request failed: " + host.response()).c_str());
        state.PauseTiming();
        DeleteRequestContainers();
        state.ResumeTiming();
    }
}

void BM_Pkcs11DirectType2(benchmark::State& state) {
    HCRYPTPROV h = ContainerWithKey(kProvider, kContainer);  // logs this process in
    Direct d;
    if (!h || !d.s) return state.SkipWithError("module");
    for (auto _ : state) {
        CK_OBJECT_HANDLE k[4];
        if (!d.GenerateKeyPair(1024, &k[0], &k[1]) || !d.GenerateKeyPair(2048, &k[2], &k[3]) || !d.Sign(k[3]))
            return state.SkipWithError("C_GenerateKeyPair or C_Sign");
        state.PauseTiming();
        for (CK_OBJECT_HANDLE o : k) d.f->C_DestroyObject(d.s, o);
        state.ResumeTiming();
    }
    CryptReleaseContext(h, 0);
}

// The vendor RSA provider, keys in the prefix: the software side of the same call.
void BM_VendorSoftwareSign(benchmark::State& state) {
    HCRYPTPROV h = ContainerWithKey(u"Tessaro RSA Token CSP v1.0", u"bench-software");
    if (!h) return state.SkipWithError("vendor provider container");
    for (auto _ : state)
        if (!ProviderSign(h)) return state.SkipWithError("CryptSignHashW");
    CryptReleaseContext(h, 0);
}

BENCHMARK(BM_TokenProviderSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Pkcs11DirectSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VendorSoftwareSign)->Unit(benchmark::kMicrosecond);
// Key generation times vary with the primes found: many requests each.
BENCHMARK(BM_HostType2RequestOnToken)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(40);
BENCHMARK(BM_Pkcs11DirectType2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(40);

}  // namespace

int main(int argc, char** argv) {
    std::string why;
    if (!Setup(&why)) {
        std::fprintf(stderr, "bench_token: skipped: %s\n", why.c_str());
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    return 0;
}
