// RSA-2048 through the providers against the same work done directly with
// OpenSSL, in one run:
//   KeyGenExportSign: new container, key pair generated and persisted, public
//   key exported (CryptExportPublicKeyInfo), 1 KiB hashed and signed (SHA-1);
//   ImportExportSign: the same without the key generation, whose run time
//   varies most: a fixed key pair imported (PRIVATEKEYBLOB) into a new
//   container, against OpenSSL decoding the same key from DER;
//   Sign: hashing and signing alone with an existing key (the provider checks
//   the stored key each time).
// RSA key generation time varies a lot with the primes found, so the pair
// runs many iterations; compare the means.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "win/windows.h"
#include "win/wincrypt.h"

namespace {

std::vector<BYTE> Payload() { return std::vector<BYTE>(1024, 0x5A); }

std::u16string Name(int i) {
    std::string s = "bench-" + std::to_string(getpid()) + "-" + std::to_string(i);
    return std::u16string(s.begin(), s.end());
}

// The same steps on both sides: the public key exported (SubjectPublicKeyInfo),
// then the payload hashed with SHA-1 and signed.
void ProviderExportPublicKey(HCRYPTPROV h) {
    DWORD cb = 0;
    CryptExportPublicKeyInfo(h, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &cb);
    std::vector<ULONG_PTR> info(cb / sizeof(ULONG_PTR) + 1);
    CryptExportPublicKeyInfo(h, AT_SIGNATURE, X509_ASN_ENCODING, reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(info.data()),
                             &cb);
}

bool ProviderHashAndSign(HCRYPTPROV h, const std::vector<BYTE>& data) {
    HCRYPTHASH hh = 0;
    CryptCreateHash(h, CALG_SHA1, 0, 0, &hh);
    CryptHashData(hh, data.data(), static_cast<DWORD>(data.size()), 0);
    BYTE sig[256];
    DWORD sl = sizeof(sig);
    const bool bSigned = CryptSignHashW(hh, AT_SIGNATURE, nullptr, 0, sig, &sl);
    benchmark::DoNotOptimize(sig);
    CryptDestroyHash(hh);
    return bSigned;
}

void OpenSslExportPublicKey(EVP_PKEY* k) {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(k, &der);
    benchmark::DoNotOptimize(n);
    OPENSSL_free(der);
}

void OpenSslHashAndSign(EVP_PKEY* k, const std::vector<BYTE>& data) {
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    unsigned char sig[256];
    size_t sl = sizeof(sig);
    EVP_DigestSignInit(c, nullptr, EVP_sha1(), nullptr, k);
    EVP_DigestSign(c, sig, &sl, data.data(), data.size());
    benchmark::DoNotOptimize(sig);
    EVP_MD_CTX_free(c);
}

void ProviderKeyGenExportSign(benchmark::State& state) {
    static int counter = 0;
    std::vector<BYTE> data = Payload();
    for (auto _ : state) {
        HCRYPTPROV h = 0;
        std::u16string name = Name(counter++);
        if (!CryptAcquireContextW(&h, name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
            state.SkipWithError("CryptAcquireContextW");
            break;
        }
        HCRYPTKEY k = 0;
        CryptGenKey(h, AT_SIGNATURE, 2048u << 16, &k);
        ProviderExportPublicKey(h);
        if (!ProviderHashAndSign(h, data)) state.SkipWithError("CryptSignHashW");
        CryptDestroyKey(k);
        CryptReleaseContext(h, 0);
    }
}

void OpenSslKeyGenExportSign(benchmark::State& state) {
    std::vector<BYTE> data = Payload();
    for (auto _ : state) {
        EVP_PKEY* k = EVP_RSA_gen(2048);
        OpenSslExportPublicKey(k);
        OpenSslHashAndSign(k, data);
        EVP_PKEY_free(k);
    }
}

// One fixed RSA-2048 key pair for the runs without key generation.
struct FixedKey {
    EVP_PKEY* pkey = EVP_RSA_gen(2048);
    std::vector<BYTE> der;
    std::vector<BYTE> blob;  // PRIVATEKEYBLOB, CALG_RSA_SIGN
    FixedKey() {
        unsigned char* p = nullptr;
        int n = i2d_PrivateKey(pkey, &p);
        der.assign(p, p + n);
        OPENSSL_free(p);
        blob = {7, 2, 0, 0, 0x00, 0x24, 0, 0, 'R', 'S', 'A', '2', 0x00, 0x08, 0, 0, 0x01, 0x00, 0x01, 0x00};
        const struct {
            const char* name;
            int len;
        } parts[] = {{OSSL_PKEY_PARAM_RSA_N, 256},         {OSSL_PKEY_PARAM_RSA_FACTOR1, 128},
                     {OSSL_PKEY_PARAM_RSA_FACTOR2, 128},   {OSSL_PKEY_PARAM_RSA_EXPONENT1, 128},
                     {OSSL_PKEY_PARAM_RSA_EXPONENT2, 128}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 128},
                     {OSSL_PKEY_PARAM_RSA_D, 256}};
        for (const auto& part : parts) {
            BIGNUM* b = nullptr;
            EVP_PKEY_get_bn_param(pkey, part.name, &b);
            std::vector<BYTE> v(static_cast<size_t>(part.len));
            BN_bn2lebinpad(b, v.data(), part.len);
            BN_clear_free(b);
            blob.insert(blob.end(), v.begin(), v.end());
        }
    }
};

FixedKey& Fixed() {
    static FixedKey k;
    return k;
}

void ProviderImportExportSign(benchmark::State& state) {
    static int counter = 0;
    std::vector<BYTE> data = Payload();
    const std::vector<BYTE>& blob = Fixed().blob;
    for (auto _ : state) {
        HCRYPTPROV h = 0;
        std::u16string name = Name(2000000 + counter++);
        if (!CryptAcquireContextW(&h, name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
            state.SkipWithError("CryptAcquireContextW");
            break;
        }
        HCRYPTKEY k = 0;
        if (!CryptImportKey(h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k)) state.SkipWithError("import");
        ProviderExportPublicKey(h);
        if (!ProviderHashAndSign(h, data)) state.SkipWithError("CryptSignHashW");
        CryptDestroyKey(k);
        CryptReleaseContext(h, 0);
    }
}

void OpenSslDecodeExportSign(benchmark::State& state) {
    std::vector<BYTE> data = Payload();
    const std::vector<BYTE>& der = Fixed().der;
    for (auto _ : state) {
        const unsigned char* p = der.data();
        EVP_PKEY* k = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()));
        OpenSslExportPublicKey(k);
        OpenSslHashAndSign(k, data);
        EVP_PKEY_free(k);
    }
}

void ProviderSign(benchmark::State& state) {
    std::vector<BYTE> data = Payload();
    static int run = 0;
    HCRYPTPROV h = 0;
    std::u16string name = Name(1000000 + run++);
    CryptAcquireContextW(&h, name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET);
    HCRYPTKEY k = 0;
    CryptGenKey(h, AT_SIGNATURE, 2048u << 16, &k);
    for (auto _ : state) {
        if (!ProviderHashAndSign(h, data)) state.SkipWithError("CryptSignHashW");
    }
    CryptDestroyKey(k);
    CryptReleaseContext(h, 0);
}

void OpenSslSign(benchmark::State& state) {
    std::vector<BYTE> data = Payload();
    EVP_PKEY* k = EVP_RSA_gen(2048);
    for (auto _ : state) {
        OpenSslHashAndSign(k, data);
    }
    EVP_PKEY_free(k);
}

}  // namespace

BENCHMARK(ProviderKeyGenExportSign)->Unit(benchmark::kMillisecond)->MinTime(20.0);
BENCHMARK(OpenSslKeyGenExportSign)->Unit(benchmark::kMillisecond)->MinTime(20.0);
BENCHMARK(ProviderImportExportSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslDecodeExportSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(ProviderSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslSign)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    // The providers keep their containers in a prefix of the run's own.
    char dir[] = "/tmp/tessaro-bench-csp-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    setenv("TESSARO_PREFIX", dir, 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(dir);
    return 0;
}
