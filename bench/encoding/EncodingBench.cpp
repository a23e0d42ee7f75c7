// Codec, composer and parser figures, each beside an OpenSSL reference doing
// the same work in the same run.
#include <benchmark/benchmark.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "encoding/ASN1Composer.h"
#include "encoding/ASN1Engine.h"
#include "encoding/Codec.h"
#include "request/SubjectDN.h"

// The platform's structure-type constant shadows OpenSSL's type name.
#undef X509_NAME

namespace {

std::vector<BYTE> PseudoRandom(size_t n) {
    std::vector<BYTE> v(n);
    uint32_t x = 0x12345678;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<BYTE>(x >> 24);
    }
    return v;
}

// A 2 KiB request body as Base64 in 64-character lines, as pages send it.
struct Base64Inputs {
    std::string wrapped;
    std::string plain;
    Base64Inputs() {
        std::vector<BYTE> data = PseudoRandom(2048);
        std::vector<unsigned char> out(4 * 2048 / 3 + 8);
        int n = EVP_EncodeBlock(out.data(), data.data(), 2048);
        plain.assign(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n));
        for (size_t i = 0; i < plain.size(); i += 64) {
            if (i) wrapped += "\r\n";
            wrapped += plain.substr(i, 64);
        }
    }
};
const Base64Inputs g_b64;

void BM_Base64Decode_Ours(benchmark::State& state) {
    for (auto _ : state) {
        BYTE* p = nullptr;
        int n = 0;
        Base64DecodeEx(g_b64.wrapped.data(), static_cast<int>(g_b64.wrapped.size()), &p, &n);
        benchmark::DoNotOptimize(p);
        delete[] p;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(g_b64.wrapped.size()));
}
BENCHMARK(BM_Base64Decode_Ours);

void BM_Base64Decode_OpenSSL_DecodeUpdate(benchmark::State& state) {
    std::vector<unsigned char> out(g_b64.wrapped.size());
    for (auto _ : state) {
        EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
        EVP_DecodeInit(ctx);
        int n = 0, m = 0;
        EVP_DecodeUpdate(ctx, out.data(), &n, reinterpret_cast<const unsigned char*>(g_b64.wrapped.data()),
                         static_cast<int>(g_b64.wrapped.size()));
        EVP_DecodeFinal(ctx, out.data() + n, &m);
        EVP_ENCODE_CTX_free(ctx);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(g_b64.wrapped.size()));
}
BENCHMARK(BM_Base64Decode_OpenSSL_DecodeUpdate);

void BM_Base64Decode_OpenSSL_DecodeBlock_Unwrapped(benchmark::State& state) {
    std::vector<unsigned char> out(g_b64.plain.size());
    for (auto _ : state) {
        int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(g_b64.plain.data()),
                                static_cast<int>(g_b64.plain.size()));
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(g_b64.plain.size()));
}
BENCHMARK(BM_Base64Decode_OpenSSL_DecodeBlock_Unwrapped);

void BM_Base64EncodeAndRewrap_Ours(benchmark::State& state) {
    std::vector<BYTE> data = PseudoRandom(2048);
    for (auto _ : state) {
        char* p = nullptr;
        int n = 0;
        Base64EncodeEx(data.data(), 2048, &p, &n);
        char* q = nullptr;
        int m = 0;
        TransformBase64EncodedDatatoHoldCRLFPer64Chars(p, n, &q, &m);
        benchmark::DoNotOptimize(q);
        delete[] p;
        delete[] q;
    }
}
BENCHMARK(BM_Base64EncodeAndRewrap_Ours);

void BM_Base64Encode_OpenSSL_EncodeBlock(benchmark::State& state) {
    std::vector<BYTE> data = PseudoRandom(2048);
    std::vector<unsigned char> out(4 * 2048 / 3 + 8);
    for (auto _ : state) {
        int n = EVP_EncodeBlock(out.data(), data.data(), 2048);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_Base64Encode_OpenSSL_EncodeBlock);

const char16_t kSubject[] = u"CN=Zhang San,OU=Retail,O=Example Bank,L=Beijing,S=Beijing,C=CN";

void BM_ComposeSubject_Ours(benchmark::State& state) {
    for (auto _ : state) {
        BYTE* p = nullptr;
        int n = 0;
        ComposeSubject(kSubject, &p, &n);
        benchmark::DoNotOptimize(p);
        delete[] p;
    }
}
BENCHMARK(BM_ComposeSubject_Ours);

void BM_ComposeSubject_OpenSSL_X509_NAME(benchmark::State& state) {
    // Same RDNs, same order and string types as ours.
    struct Entry {
        const char* field;
        int type;
        const char* value;
    };
    const Entry entries[] = {{"C", V_ASN1_PRINTABLESTRING, "CN"}, {"ST", V_ASN1_UTF8STRING, "Beijing"},
                             {"L", V_ASN1_UTF8STRING, "Beijing"}, {"O", V_ASN1_UTF8STRING, "Example Bank"},
                             {"OU", V_ASN1_UTF8STRING, "Retail"}, {"CN", V_ASN1_UTF8STRING, "Zhang San"}};
    for (auto _ : state) {
        X509_NAME* name = X509_NAME_new();
        for (const Entry& e : entries)
            X509_NAME_add_entry_by_txt(name, e.field, e.type, reinterpret_cast<const unsigned char*>(e.value), -1,
                                       -1, 0);
        unsigned char* der = nullptr;
        int n = i2d_X509_NAME(name, &der);
        benchmark::DoNotOptimize(n);
        OPENSSL_free(der);
        X509_NAME_free(name);
    }
}
BENCHMARK(BM_ComposeSubject_OpenSSL_X509_NAME);

// About 2 KiB: SEQUENCE of 40 SEQUENCE { INTEGER, OCTET STRING(40), SET { OID } }.
std::vector<BYTE> MakeStructure() {
    auto wrap = [](BYTE tag, const std::vector<BYTE>& c) {
        std::vector<BYTE> v = {tag};
        if (c.size() < 128) {
            v.push_back(static_cast<BYTE>(c.size()));
        } else {
            v.push_back(0x82);
            v.push_back(static_cast<BYTE>(c.size() >> 8));
            v.push_back(static_cast<BYTE>(c.size()));
        }
        v.insert(v.end(), c.begin(), c.end());
        return v;
    };
    std::vector<BYTE> all;
    for (int i = 0; i < 40; ++i) {
        std::vector<BYTE> item = wrap(0x02, {0x01, static_cast<BYTE>(i)});
        auto os = wrap(0x04, PseudoRandom(35));
        auto set = wrap(0x31, wrap(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}));
        item.insert(item.end(), os.begin(), os.end());
        item.insert(item.end(), set.begin(), set.end());
        auto seq = wrap(0x30, item);
        all.insert(all.end(), seq.begin(), seq.end());
    }
    return wrap(0x30, all);
}
const std::vector<BYTE> g_structure = MakeStructure();

void BM_ParseASN1_Ours(benchmark::State& state) {
    for (auto _ : state) {
        CASN1Node* root = nullptr;
        LONG r = DecodeASN1Memory(&root, g_structure.data(), static_cast<DWORD>(g_structure.size()));
        benchmark::DoNotOptimize(r);
        delete root;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(g_structure.size()));
    state.counters["bytes"] = static_cast<double>(g_structure.size());
}
BENCHMARK(BM_ParseASN1_Ours);

// Visits every element the same way (descending into constructed ones) and
// counts them, without building a tree.
int WalkOpenSSL(const unsigned char* p, long len) {
    int count = 0;
    const unsigned char* end = p + len;
    while (p < end) {
        long l = 0;
        int tag = 0, cls = 0;
        const unsigned char* q = p;
        int ret = ASN1_get_object(&q, &l, &tag, &cls, end - p);
        if (ret & 0x80) return -1;
        ++count;
        if (ret & V_ASN1_CONSTRUCTED) count += WalkOpenSSL(q, l);
        p = q + l;
    }
    return count;
}

void BM_ParseASN1_OpenSSL_ASN1_get_object(benchmark::State& state) {
    for (auto _ : state) {
        int n = WalkOpenSSL(g_structure.data(), static_cast<long>(g_structure.size()));
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(g_structure.size()));
}
BENCHMARK(BM_ParseASN1_OpenSSL_ASN1_get_object);

}  // namespace

BENCHMARK_MAIN();
