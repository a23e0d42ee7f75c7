// SM2 through the token provider's CryptoAPI calls, side by side with the same
// work done by direct OpenSSL calls. The provider figures include creating
// and persisting the container (SQLite-backed registry in a scratch prefix).
#include <benchmark/benchmark.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "win/windows.h"
#include "win/wincrypt.h"

namespace {

const char16_t kSm2Name[] = u"Tessaro SM2 Token CSP v1.0";
const char kUserId[] = "1234567812345678";

std::vector<BYTE> Message() { return std::vector<BYTE>(700, 0x5A); }  // about a request's size

// Every container of the run gets a new name: the benchmark library calls each
// function several times while it settles the iteration count.
std::u16string ContainerName() {
    static int64_t n = 0;
    std::string s = "{bench-" + std::to_string(getpid()) + "-" + std::to_string(++n) + "}";
    return std::u16string(s.begin(), s.end());
}

bool ProviderSign(HCRYPTPROV h, DWORD spec, const std::vector<BYTE>& msg, BYTE sig[64]) {
    HCRYPTHASH hh = 0;
    if (!CryptCreateHash(h, CALG_SM3, 0, 0, &hh)) return false;
    DWORD n = 64;
    bool ok = CryptHashData(hh, msg.data(), static_cast<DWORD>(msg.size()), 0) &&
              CryptSignHashW(hh, spec, nullptr, 0, sig, &n);
    CryptDestroyHash(hh);
    return ok;
}

void BM_Provider_NewContainerGenExportSign(benchmark::State& state) {
    std::vector<BYTE> msg = Message();
    for (auto _ : state) {
        HCRYPTPROV h = 0;
        std::u16string name = ContainerName();
        if (!CryptAcquireContextW(&h, name.c_str(), kSm2Name, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
            state.SkipWithError(("CryptAcquireContextW " + std::to_string(GetLastError())).c_str());
            break;
        }
        HCRYPTKEY k = 0;
        BYTE blob[140];
        DWORD len = sizeof blob;
        BYTE sig[64];
        bool ok = CryptGenKey(h, CALG_SM2_SIGN, 256u << 16, &k) &&
                  CryptExportKey(k, 0, PUBLICKEYBLOB, 0, blob, &len) && ProviderSign(h, AT_SIGNATURE, msg, sig);
        if (k) CryptDestroyKey(k);
        CryptReleaseContext(h, 0);
        if (!ok) {
            state.SkipWithError("provider call failed");
            break;
        }
        benchmark::DoNotOptimize(sig);
    }
}
BENCHMARK(BM_Provider_NewContainerGenExportSign)->Unit(benchmark::kMicrosecond);

// The same steps with OpenSSL alone: key pair, public point, serialized
// private key (what persistence would store), signature over Z || M.
void BM_OpenSsl_GenExportSign(benchmark::State& state) {
    std::vector<BYTE> msg = Message();
    for (auto _ : state) {
        EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
        EVP_PKEY* key = nullptr;
        EVP_PKEY_keygen_init(kctx);
        EVP_PKEY_keygen(kctx, &key);
        EVP_PKEY_CTX_free(kctx);
        BIGNUM *x = nullptr, *y = nullptr, *d = nullptr;
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x);
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y);
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d);
        BYTE xb[32], yb[32], db[32];
        BN_bn2lebinpad(x, xb, 32);
        BN_bn2lebinpad(y, yb, 32);
        BN_bn2binpad(d, db, 32);
        BN_free(x);
        BN_free(y);
        BN_clear_free(d);

        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
        EVP_PKEY_CTX_set1_id(pctx, kUserId, 16);
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        BYTE sig[80];
        size_t sigLen = sizeof sig;
        bool ok = EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, key) == 1 &&
                  EVP_DigestSign(md, sig, &sigLen, msg.data(), msg.size()) == 1;
        EVP_MD_CTX_free(md);
        EVP_PKEY_CTX_free(pctx);
        EVP_PKEY_free(key);
        if (!ok) {
            state.SkipWithError("OpenSSL sign failed");
            break;
        }
        benchmark::DoNotOptimize(sig);
        benchmark::DoNotOptimize(db);
    }
}
BENCHMARK(BM_OpenSsl_GenExportSign)->Unit(benchmark::kMicrosecond);

// Signing alone with a key already in a container: the provider reads the key
// from the container for every signature, as a token would.
void BM_Provider_SignExistingKey(benchmark::State& state) {
    std::vector<BYTE> msg = Message();
    HCRYPTPROV h = 0;
    std::u16string name = ContainerName();
    HCRYPTKEY k = 0;
    if (!CryptAcquireContextW(&h, name.c_str(), kSm2Name, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
        !CryptGenKey(h, AT_SIGNATURE, 0, &k)) {
        state.SkipWithError("setup");
        return;
    }
    CryptDestroyKey(k);
    for (auto _ : state) {
        BYTE sig[64];
        if (!ProviderSign(h, AT_SIGNATURE, msg, sig)) {
            state.SkipWithError("sign");
            break;
        }
        benchmark::DoNotOptimize(sig);
    }
    CryptReleaseContext(h, 0);
}
BENCHMARK(BM_Provider_SignExistingKey)->Unit(benchmark::kMicrosecond);

void BM_OpenSsl_SignExistingKey(benchmark::State& state) {
    std::vector<BYTE> msg = Message();
    EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_keygen_init(kctx);
    EVP_PKEY_keygen(kctx, &key);
    EVP_PKEY_CTX_free(kctx);
    for (auto _ : state) {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
        EVP_PKEY_CTX_set1_id(pctx, kUserId, 16);
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        BYTE sig[80];
        size_t sigLen = sizeof sig;
        EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, key);
        EVP_DigestSign(md, sig, &sigLen, msg.data(), msg.size());
        EVP_MD_CTX_free(md);
        EVP_PKEY_CTX_free(pctx);
        benchmark::DoNotOptimize(sig);
    }
    EVP_PKEY_free(key);
}
BENCHMARK(BM_OpenSsl_SignExistingKey)->Unit(benchmark::kMicrosecond);

}  // namespace

// A scratch prefix for the run, removed afterwards.
int main(int argc, char** argv) {
    char tmpl[] = "/tmp/tessaro-bench-sm2-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) return 1;
    setenv("TESSARO_PREFIX", dir, 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
