// Requests made with the real providers: every request's signature is checked
// with the openssl tool, the request carries the keys that the container
// holds afterwards, and failures leave the provider as they should.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include "platform/base/OpenSslPtr.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "request/CertificateRequisition.h"
#include "request/PKCS10Request.h"
#include "tests/request/RequestTestUtil.h"
#include "request/SubjectDN.h"
#include "tests/support/TestSupport.h"
#include "diag/ResultCode.h"

using request_test::Bytes;
using request_test::ParsedRequest;
using tessaro_test::FromHex;
using tessaro_test::ToHex;

namespace {

// The vendor token providers registered in every new prefix.
const WCHAR kVendorRsa[] = u"Tessaro RSA Token CSP v1.0";
const WCHAR kVendorSm2[] = u"Tessaro SM2 Token CSP v1.0";
const WCHAR kSubject[] = u"CN=Test User,OU=Unit,O=Tessaro,C=CN";

DWORD TypeOf(LPCWSTR provider) {
    return std::u16string(provider) == MS_ENH_RSA_AES_PROV_W ? PROV_RSA_AES : PROV_RSA_FULL;
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out.push_back(static_cast<char>(c));
    return out;
}

struct RequestResult {
    HRESULT hr = E_FAIL;
    std::u16string container;
    std::string text;
};

RequestResult MakeRequest(LPCWSTR provider, LONG type, BOOL bRSA, LONG length, DWORD flags, ALG_ID hash,
                          LPCWSTR subject = kSubject) {
    RequestResult r;
    LPWSTR pwszContainer = nullptr;
    char* pszRequest = nullptr;
    int nRequest = -1;
    r.hr = PKCS10CertRequisition(&pwszContainer, provider, subject, type, type == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE,
                                 bRSA, length, flags, hash, &pszRequest, &nRequest);
    if (r.hr == 0) {
        EXPECT_NE(pwszContainer, nullptr);
        EXPECT_NE(pszRequest, nullptr);
        if (pwszContainer) r.container = pwszContainer;
        if (pszRequest) {
            EXPECT_EQ(std::strlen(pszRequest), static_cast<size_t>(nRequest));
            r.text.assign(pszRequest, static_cast<size_t>(nRequest));
        }
    } else {
        EXPECT_EQ(pwszContainer, nullptr);
        EXPECT_EQ(pszRequest, nullptr);
    }
    delete[] pwszContainer;
    delete[] pszRequest;
    return r;
}

std::set<std::string> ListContainers(LPCWSTR provider) {
    std::set<std::string> names;
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, nullptr, provider, TypeOf(provider), CRYPT_VERIFYCONTEXT)) {
        ADD_FAILURE() << "cannot open " << Narrow(provider) << ": " << std::hex << GetLastError();
        return names;
    }
    DWORD flags = CRYPT_FIRST;
    for (int i = 0; i < 10000; ++i) {
        BYTE buf[1024] = {};
        DWORD cb = sizeof(buf);
        if (!CryptGetProvParam(h, PP_ENUMCONTAINERS, buf, &cb, flags)) break;
        names.insert(reinterpret_cast<const char*>(buf));
        flags = CRYPT_NEXT;
    }
    CryptReleaseContext(h, 0);
    return names;
}

// What a container holds under one key spec.
struct KeyState {
    bool exists = false;
    DWORD bits = 0;
    ALG_ID algid = 0;
    Bytes rsaPublicKey;  // RSA: the RSAPublicKey
    Bytes sm2Point;      // SM2: 04 x y
};

KeyState ReadKey(LPCWSTR provider, const std::u16string& container, DWORD spec, bool bSM2) {
    KeyState s;
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, container.c_str(), provider, TypeOf(provider), 0)) {
        ADD_FAILURE() << "container " << Narrow(container) << " not found: " << std::hex << GetLastError();
        return s;
    }
    HCRYPTKEY k = 0;
    if (CryptGetUserKey(h, spec, &k)) {
        s.exists = true;
        DWORD cb = sizeof(s.bits);
        CryptGetKeyParam(k, KP_KEYLEN, reinterpret_cast<BYTE*>(&s.bits), &cb, 0);
        cb = sizeof(s.algid);
        CryptGetKeyParam(k, KP_ALGID, reinterpret_cast<BYTE*>(&s.algid), &cb, 0);
        if (bSM2) {
            BYTE blob[1024] = {};
            DWORD cbBlob = sizeof(blob);
            if (CryptExportKey(k, 0, PUBLICKEYBLOB, 0, blob, &cbBlob)) {
                BYTE point[SM2_POINT_SIZE];
                if (ConvertSM2PublicKeyBlobToPoint(blob, cbBlob, point) == 0)
                    s.sm2Point.assign(point, point + sizeof(point));
            }
        } else {
            DWORD cbInfo = 0;
            if (CryptExportPublicKeyInfo(h, spec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &cbInfo)) {
                std::unique_ptr<BYTE[]> info(new BYTE[cbInfo]);
                if (CryptExportPublicKeyInfo(h, spec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                             reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(info.get()), &cbInfo)) {
                    auto* p = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(info.get());
                    s.rsaPublicKey.assign(p->PublicKey.pbData, p->PublicKey.pbData + p->PublicKey.cbData);
                }
            }
        }
        CryptDestroyKey(k);
    }
    CryptReleaseContext(h, 0);
    return s;
}

Bytes ExpectedSubject(LPCWSTR subject) {
    BYTE* pb = nullptr;
    int n = 0;
    EXPECT_EQ(ComposeSubject(subject, &pb, &n), 0);
    Bytes b(pb, pb + n);
    delete[] pb;
    return b;
}

// The BIT STRING content of a SubjectPublicKeyInfo, after its 00 octet.
Bytes PublicKeyBits(const Bytes& spki) {
    request_test::Tlv root;
    if (!request_test::ReadTlv(spki, 0, &root)) return {};
    auto kids = request_test::Children(spki, root);
    if (kids.size() != 2 || kids[1].tag != 0x03) return {};
    Bytes bits = request_test::Content(spki, kids[1]);
    if (bits.empty()) return {};
    return Bytes(bits.begin() + 1, bits.end());
}

// The exchange key inside the second attribute, and checks its wrapping.
Bytes ExchangeKeyOfAttributes(const Bytes& attrs) {
    request_test::Tlv a0;
    if (!request_test::ReadTlv(attrs, 0, &a0) || a0.tag != 0xA0) return {};
    auto list = request_test::Children(attrs, a0);
    if (list.size() != 2) return {};
    const Bytes challenge = request_test::Whole(attrs, list[0]);
    EXPECT_EQ(ToHex(challenge), ToHex(FromHex("30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 34 39 33 30 32 37")));
    auto kids = request_test::Children(attrs, list[1]);
    if (kids.size() != 2 || kids[1].tag != 0x04) return {};
    EXPECT_EQ(ToHex(request_test::Whole(attrs, kids[0])), "06092A864886F70D01093F");
    Bytes outer = request_test::Content(attrs, kids[1]);
    request_test::Tlv seq;
    if (!request_test::ReadTlv(outer, 0, &seq) || seq.tag != 0x30 || seq.End() != outer.size()) return {};
    auto inner = request_test::Children(outer, seq);
    if (inner.size() != 2 || request_test::Whole(outer, inner[0]) != Bytes{0x02, 0x01, 0x01} || inner[1].tag != 0x04)
        return {};
    return request_test::Content(outer, inner[1]);
}

size_t RsaModulusBits(const Bytes& rsaPublicKey) {
    request_test::Tlv root;
    if (!request_test::ReadTlv(rsaPublicKey, 0, &root)) return 0;
    auto kids = request_test::Children(rsaPublicKey, root);
    if (kids.size() != 2 || kids[0].tag != 0x02) return 0;
    Bytes n = request_test::Content(rsaPublicKey, kids[0]);
    size_t i = 0;
    while (i < n.size() && n[i] == 0) ++i;
    if (i == n.size()) return 0;
    size_t bits = (n.size() - i) * 8;
    for (uint8_t top = n[i]; !(top & 0x80); top <<= 1) --bits;
    return bits;
}

#define ASSERT_TRUE_OR_RETURN(cond, value) \
    do {                                     \
        if (!(cond)) {                       \
            ADD_FAILURE() << #cond;          \
            return value;                    \
        }                                    \
    } while (0)

const char* kRsaAlgorithm = "300D06092A864886F70D0101010500";
const char* kSha1WithRsa = "300D06092A864886F70D0101050500";
const char* kMd5WithRsa = "300D06092A864886F70D0101040500";
const char* kSm3WithSm2 = "300C06082A811CCF550183750500";

// Checks a successful RSA request end to end; returns the parsed request.
ParsedRequest CheckRsaRequest(const RequestResult& r, LPCWSTR provider, LONG type, size_t bits, ALG_ID hash) {
    ParsedRequest req;
    EXPECT_EQ(r.hr, 0) << std::hex << r.hr;
    if (r.hr != 0) return req;
    EXPECT_EQ(r.container.size(), 38u);
    EXPECT_EQ(r.container.front(), u'{');
    EXPECT_EQ(r.container.back(), u'}');
    if (!request_test::ParseRequestText(r.text, &req)) return req;

    EXPECT_EQ(req.subject, ExpectedSubject(kSubject));
    EXPECT_EQ(ToHex(req.signatureAlgorithm), hash == CALG_MD5 ? kMd5WithRsa : kSha1WithRsa);
    request_test::Tlv spki;
    ASSERT_TRUE_OR_RETURN(request_test::ReadTlv(req.publicKeyInfo, 0, &spki), req);
    auto spkiParts = request_test::Children(req.publicKeyInfo, spki);
    ASSERT_TRUE_OR_RETURN(spkiParts.size() == 2, req);
    EXPECT_EQ(ToHex(request_test::Whole(req.publicKeyInfo, spkiParts[0])), kRsaAlgorithm);
    const Bytes signKey = PublicKeyBits(req.publicKeyInfo);
    EXPECT_EQ(RsaModulusBits(signKey), bits);
    EXPECT_EQ(req.signatureValue.size(), bits / 8);

    const DWORD signSpec = type == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
    KeyState sign = ReadKey(provider, r.container, signSpec, false);
    EXPECT_TRUE(sign.exists);
    EXPECT_EQ(sign.bits, bits);
    EXPECT_EQ(ToHex(sign.rsaPublicKey), ToHex(signKey)) << "the request carries the container's key";

    std::string diag;
    const std::string hashName = hash == CALG_MD5 ? "md5" : "sha1";
    if (type == 1) {
        EXPECT_EQ(req.requestInfoElements, 3u);
        EXPECT_TRUE(req.attributes.empty());
        EXPECT_FALSE(ReadKey(provider, r.container, AT_SIGNATURE, false).exists);
        EXPECT_TRUE(request_test::OpensslVerifyRequest(r.text, false, &diag)) << diag;
    } else {
        EXPECT_EQ(req.requestInfoElements, 4u);
        const Bytes exchangeKey = ExchangeKeyOfAttributes(req.attributes);
        EXPECT_EQ(RsaModulusBits(exchangeKey), 1024u) << "the temporary exchange key is always 1024 bits";
        KeyState exchange = ReadKey(provider, r.container, AT_KEYEXCHANGE, false);
        EXPECT_TRUE(exchange.exists);
        EXPECT_EQ(exchange.bits, 1024u);
        EXPECT_EQ(ToHex(exchange.rsaPublicKey), ToHex(exchangeKey));
    }
    // Type 2 cannot be loaded by request parsers (attribute values without a
    // SET), so both types are also checked over the CertificationRequestInfo.
    EXPECT_TRUE(request_test::OpensslVerifyRequestInfo(req, hashName, false, &diag)) << diag;
    return req;
}

ParsedRequest CheckSm2Request(const RequestResult& r, LONG type) {
    ParsedRequest req;
    EXPECT_EQ(r.hr, 0) << std::hex << r.hr;
    if (r.hr != 0) return req;
    EXPECT_EQ(r.container.size(), 38u);
    if (!request_test::ParseRequestText(r.text, &req)) return req;

    EXPECT_EQ(req.subject, ExpectedSubject(kSubject));
    EXPECT_EQ(ToHex(req.signatureAlgorithm), ToHex(FromHex(kSm3WithSm2)));
    EXPECT_EQ(req.publicKeyInfo.size(), 91u);
    EXPECT_EQ(ToHex(request_test::Slice(req.publicKeyInfo, 0, 27)),
              ToHex(FromHex("30 59 30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D 03 42 00 04")));

    const DWORD signSpec = type == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
    KeyState sign = ReadKey(kVendorSm2, r.container, signSpec, true);
    EXPECT_TRUE(sign.exists);
    EXPECT_EQ(sign.algid, type == 1 ? static_cast<ALG_ID>(CALG_SM2_KEYX) : static_cast<ALG_ID>(CALG_SM2_SIGN));
    EXPECT_EQ(ToHex(sign.sm2Point), ToHex(PublicKeyBits(req.publicKeyInfo)));

    std::string diag;
    if (type == 1) {
        EXPECT_EQ(req.requestInfoElements, 3u);
        EXPECT_FALSE(ReadKey(kVendorSm2, r.container, AT_SIGNATURE, true).exists);
        EXPECT_TRUE(request_test::OpensslVerifyRequest(r.text, true, &diag)) << diag;
    } else {
        EXPECT_EQ(req.requestInfoElements, 4u);
        EXPECT_EQ(ToHex(request_test::Slice(req.attributes, 0, 3)), "A081B7");
        const Bytes record = ExchangeKeyOfAttributes(req.attributes);
        EXPECT_EQ(record.size(), 136u);
        EXPECT_EQ(ToHex(request_test::Slice(record, 0, 8)), "00B4000000010000");
        KeyState exchange = ReadKey(kVendorSm2, r.container, AT_KEYEXCHANGE, true);
        EXPECT_TRUE(exchange.exists);
        EXPECT_EQ(exchange.algid, static_cast<ALG_ID>(CALG_SM2_KEYX));
        // The record's coordinates are the exchange key's, big-endian.
        EXPECT_EQ(ToHex(request_test::Slice(record, 8, 32)), ToHex(request_test::Slice(exchange.sm2Point, 1, 32)));
        EXPECT_EQ(ToHex(request_test::Slice(record, 72, 32)), ToHex(request_test::Slice(exchange.sm2Point, 33, 32)));
    }
    EXPECT_TRUE(request_test::OpensslVerifyRequestInfo(req, "sm3", true, &diag)) << diag;
    return req;
}

}  // namespace

TEST(RsaRequest, SingleCertificateWithEachRsaProvider) {
    const LPCWSTR providers[] = {MS_DEF_PROV_W, MS_ENHANCED_PROV_W, MS_STRONG_PROV_W, MS_ENH_RSA_AES_PROV_W,
                                 kVendorRsa};
    std::set<std::u16string> names;
    for (LPCWSTR provider : providers) {
        SCOPED_TRACE(Narrow(provider));
        RequestResult r = MakeRequest(provider, 1, KEY_ALGORITHM_RSA, 1024, 0, CALG_SHA1);
        CheckRsaRequest(r, provider, 1, 1024, CALG_SHA1);
        names.insert(r.container);
    }
    EXPECT_EQ(names.size(), 5u) << "every request gets a container of its own";
}

TEST(RsaRequest, Md5SingleCertificate512) {
    RequestResult r = MakeRequest(MS_DEF_PROV_W, 1, KEY_ALGORITHM_RSA, 512, CRYPT_EXPORTABLE, CALG_MD5);
    CheckRsaRequest(r, MS_DEF_PROV_W, 1, 512, CALG_MD5);
}

TEST(RsaRequest, DoubleCertificateCarriesTheExchangeKey) {
    RequestResult r = MakeRequest(MS_ENHANCED_PROV_W, 2, KEY_ALGORITHM_RSA, 2048, CRYPT_EXPORTABLE, CALG_SHA1);
    CheckRsaRequest(r, MS_ENHANCED_PROV_W, 2, 2048, CALG_SHA1);

    RequestResult m = MakeRequest(kVendorRsa, 2, KEY_ALGORITHM_RSA, 1024, 0, CALG_MD5);
    CheckRsaRequest(m, kVendorRsa, 2, 1024, CALG_MD5);
}

TEST(RsaRequest, LargeKey4096) {
    RequestResult r = MakeRequest(MS_ENH_RSA_AES_PROV_W, 1, KEY_ALGORITHM_RSA, 4096, 0, CALG_SHA1);
    CheckRsaRequest(r, MS_ENH_RSA_AES_PROV_W, 1, 4096, CALG_SHA1);
}

TEST(Sm2Request, SingleAndDoubleCertificate) {
    {
        SCOPED_TRACE("type 1");
        CheckSm2Request(MakeRequest(kVendorSm2, 1, KEY_ALGORITHM_SM2, 256, 0, CALG_SHA1), 1);
    }
    {
        SCOPED_TRACE("type 2, MD5 asked for");
        // The hash argument does not matter for SM2: SM3withSM2 is used.
        CheckSm2Request(MakeRequest(kVendorSm2, 2, KEY_ALGORITHM_SM2, 256, CRYPT_EXPORTABLE, CALG_MD5), 2);
    }
}

namespace {

// SM2 verification in process with the default identity, for the many
// signatures of the loop below (the openssl tool checks a sample of them).
bool VerifySm2InProcess(const Bytes& spki, const Bytes& data, const Bytes& signature) {
    const unsigned char* p = spki.data();
    tessaro::UniquePtr<EVP_PKEY> key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
    if (!key) return false;
    tessaro::UniquePtr<EVP_MD_CTX> md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    if (!md || !pctx) {
        EVP_PKEY_CTX_free(pctx);
        return false;
    }
    static const char kId[] = "1234567812345678";
    if (EVP_PKEY_CTX_set1_id(pctx, kId, 16) <= 0) {
        EVP_PKEY_CTX_free(pctx);
        return false;
    }
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx);  // md does not take ownership
    bool ok = EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key.get()) == 1 &&
              EVP_DigestVerify(md.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_set_pkey_ctx(md.get(), nullptr);
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

// Checks that an INTEGER is in its shortest form; tells whether the 32-byte
// value it came from began with a zero octet.
bool MinimalInteger(const Bytes& content, bool* bLeadingZero) {
    if (content.empty() || content.size() > 33) return false;
    if (content.size() > 1 && content[0] == 0x00 && !(content[1] & 0x80)) return false;
    if (content.size() > 1 && content[0] == 0xFF && (content[1] & 0x80)) return false;
    if (content[0] & 0x80) return false;  // r and s are positive
    const size_t significant = content[0] == 0 && content.size() > 1 ? content.size() - 1 : content.size();
    *bLeadingZero = significant < 32;
    return true;
}

}  // namespace

TEST(Sm2Request, SignaturesWithLeadingZeroOctetsVerify) {
    RequestResult first = MakeRequest(kVendorSm2, 1, KEY_ALGORITHM_SM2, 256, 0, CALG_SHA1);
    ASSERT_EQ(first.hr, 0) << std::hex << first.hr;

    HCRYPTPROV h = 0;
    ASSERT_TRUE(CryptAcquireContextW(&h, first.container.c_str(), kVendorSm2, PROV_RSA_FULL, 0));
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGetUserKey(h, AT_KEYEXCHANGE, &k));
    BYTE blob[1024] = {};
    DWORD cbBlob = sizeof(blob);
    ASSERT_TRUE(CryptExportKey(k, 0, PUBLICKEYBLOB, 0, blob, &cbBlob));
    CryptDestroyKey(k);

    PKCS10_REQUEST_INFO info = {};
    info.dwKeySpec = AT_KEYEXCHANGE;
    info.hProv = h;
    info.pwszSubject = kSubject;
    info.pszAlgorithmOID = SZOID_EC_PUBLIC_KEY;
    info.pszParameterOID = SZOID_SM2_CURVE;
    info.pbSignPublicKey = blob;
    info.cbSignPublicKey = cbBlob;
    info.algHash = CALG_SM3;
    info.pszSignAlgorithmOID = SZOID_SM3_WITH_SM2;
    info.bSM2 = TRUE;

    // About one signature in 128 has an r or s that begins with a zero octet.
    int withLeadingZero = 0;
    int made = 0;
    for (; made < 3000 && withLeadingZero < 2; ++made) {
        char* psz = nullptr;
        int n = 0;
        ASSERT_EQ(PKCS10RequestBase64(info, &psz, &n), 0);
        std::string text(psz, static_cast<size_t>(n));
        delete[] psz;
        ParsedRequest req;
        ASSERT_TRUE(request_test::ParseRequestText(text, &req));

        request_test::Tlv seq;
        ASSERT_TRUE(request_test::ReadTlv(req.signatureValue, 0, &seq));
        ASSERT_EQ(seq.End(), req.signatureValue.size());
        auto ints = request_test::Children(req.signatureValue, seq);
        ASSERT_EQ(ints.size(), 2u);
        bool leading = false;
        for (const auto& t : ints) {
            ASSERT_EQ(t.tag, 0x02);
            bool zero = false;
            ASSERT_TRUE(MinimalInteger(request_test::Content(req.signatureValue, t), &zero))
                << ToHex(req.signatureValue);
            leading = leading || zero;
        }
        ASSERT_TRUE(VerifySm2InProcess(req.publicKeyInfo, req.requestInfo, req.signatureValue))
            << ToHex(req.signatureValue);
        if (leading) {
            ++withLeadingZero;
            std::string diag;
            EXPECT_TRUE(request_test::OpensslVerifyRequest(text, true, &diag)) << diag << ToHex(req.signatureValue);
        }
    }
    CryptReleaseContext(h, 0);
    EXPECT_GE(withLeadingZero, 1) << "no such signature in " << made;
    std::printf("%d signatures, %d with a leading zero octet\n", made, withLeadingZero);
}

TEST(RequestFailure, BadSubjectCreatesNoContainer) {
    struct {
        LPCWSTR provider;
        BOOL bRSA;
        LONG length;
    } cases[] = {{MS_ENHANCED_PROV_W, KEY_ALGORITHM_RSA, 1024}, {kVendorSm2, KEY_ALGORITHM_SM2, 256}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.provider));
        const auto before = ListContainers(c.provider);
        EXPECT_EQ(MakeRequest(c.provider, 2, c.bRSA, c.length, 0, CALG_SHA1, u"CN=a,,O=b").hr, NTE_BAD_DATA);
        EXPECT_EQ(MakeRequest(c.provider, 1, c.bRSA, c.length, 0, CALG_SHA1, u"CN=").hr, E_FAIL);
        EXPECT_LT(MakeRequest(c.provider, 1, c.bRSA, c.length, 0, CALG_SHA1, u"CN=a,b=c").hr, 0);
        EXPECT_EQ(ListContainers(c.provider), before);
    }
}

TEST(RequestFailure, UnknownHashAlgorithmKeepsTheGeneratedKeys) {
    const auto before = ListContainers(MS_ENHANCED_PROV_W);
    RequestResult r = MakeRequest(MS_ENHANCED_PROV_W, 2, KEY_ALGORITHM_RSA, 1024, 0, CALG_SHA_256);
    EXPECT_EQ(r.hr, KEVO_E_HASH_ALG);
    const auto after = ListContainers(MS_ENHANCED_PROV_W);
    ASSERT_EQ(after.size(), before.size() + 1);
    std::u16string created;
    for (const auto& name : after)
        if (!before.count(name)) created.assign(name.begin(), name.end());
    EXPECT_TRUE(ReadKey(MS_ENHANCED_PROV_W, created, AT_KEYEXCHANGE, false).exists);
    EXPECT_TRUE(ReadKey(MS_ENHANCED_PROV_W, created, AT_SIGNATURE, false).exists);
}

TEST(RequestFailure, ExistingContainerIsNotTouchedByCreateNew) {
    RequestResult r = MakeRequest(MS_STRONG_PROV_W, 1, KEY_ALGORITHM_RSA, 512, 0, CALG_SHA1);
    ASSERT_EQ(r.hr, 0);
    const KeyState before = ReadKey(MS_STRONG_PROV_W, r.container, AT_KEYEXCHANGE, false);
    ASSERT_TRUE(before.exists);

    std::u16string name = r.container;
    LPWSTR pwszName = name.data();
    HCRYPTPROV h = 0;
    BYTE* pbKey = nullptr;
    DWORD cbKey = 0;
    EXPECT_EQ(CreatePublicKey(&pwszName, 1024, MS_STRONG_PROV_W, KEY_ALGORITHM_RSA, AT_KEYEXCHANGE, TRUE, &h, 0,
                              &pbKey, &cbKey),
              NTE_EXISTS);
    EXPECT_EQ(pwszName, name.data());
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(pbKey, nullptr);
    const KeyState after = ReadKey(MS_STRONG_PROV_W, r.container, AT_KEYEXCHANGE, false);
    EXPECT_TRUE(after.exists);
    EXPECT_EQ(after.bits, 512u);
    EXPECT_EQ(after.rsaPublicKey, before.rsaPublicKey);
}

TEST(CreatePublicKey, ProviderTypeFollowsTheProviderName) {
    struct {
        LPCWSTR provider;
        DWORD type;
    } cases[] = {{MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES}, {MS_ENHANCED_PROV_W, PROV_RSA_FULL}, {kVendorRsa, PROV_RSA_FULL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.provider));
        LPWSTR pwszName = nullptr;
        HCRYPTPROV h = 0;
        BYTE* pbKey = nullptr;
        DWORD cbKey = 0;
        ASSERT_EQ(CreatePublicKey(&pwszName, 512, c.provider, KEY_ALGORITHM_RSA, AT_SIGNATURE, TRUE, &h,
                                  CRYPT_EXPORTABLE, &pbKey, &cbKey),
                  0);
        std::unique_ptr<WCHAR[]> name(pwszName);
        std::unique_ptr<BYTE[]> key(pbKey);
        ASSERT_NE(h, 0u);
        DWORD type = 0;
        DWORD cb = sizeof(type);
        EXPECT_TRUE(CryptGetProvParam(h, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &cb, 0));
        EXPECT_EQ(type, c.type);

        // The handle names the container that was handed back.
        BYTE* pbContainer = nullptr;
        DWORD cbContainer = 0;
        ASSERT_EQ(GetProviderInfo(h, PP_CONTAINER, &pbContainer, &cbContainer), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pbContainer)), Narrow(name.get()));
        delete[] pbContainer;
        EXPECT_EQ(std::u16string(name.get()).size(), 38u);
        CryptReleaseContext(h, 0);

        const KeyState sign = ReadKey(c.provider, name.get(), AT_SIGNATURE, false);
        EXPECT_TRUE(sign.exists);
        EXPECT_EQ(sign.bits, 512u);
        auto* info = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(key.get());
        EXPECT_EQ(ToHex(info->PublicKey.pbData, info->PublicKey.cbData), ToHex(sign.rsaPublicKey));
    }
}

TEST(CreatePublicKey, GivenContainerNameIsUsedAndHandedBack) {
    std::u16string given = u"request-test container";
    LPWSTR pwszName = given.data();
    HCRYPTPROV h = 0;
    BYTE* pbKey = nullptr;
    DWORD cbKey = 0;
    ASSERT_EQ(CreatePublicKey(&pwszName, 256, kVendorSm2, KEY_ALGORITHM_SM2, AT_SIGNATURE, TRUE, &h, 0, &pbKey,
                              &cbKey),
              0);
    std::unique_ptr<BYTE[]> key(pbKey);
    ASSERT_NE(pwszName, given.data());
    EXPECT_EQ(std::u16string(pwszName), given);
    delete[] pwszName;
    EXPECT_GE(cbKey, static_cast<DWORD>(SM2_PUBLICKEYBLOB_MIN_SIZE));

    // A second key through the same handle goes into the same container.
    LPWSTR pwszSame = given.data();
    BYTE* pbKey2 = nullptr;
    DWORD cbKey2 = 0;
    ASSERT_EQ(CreatePublicKey(&pwszSame, 256, kVendorSm2, KEY_ALGORITHM_SM2, AT_KEYEXCHANGE, FALSE, &h, 0, &pbKey2,
                              &cbKey2),
              0);
    delete[] pbKey2;
    EXPECT_EQ(pwszSame, given.data()) << "nothing handed out without create-new";
    CryptReleaseContext(h, 0);

    const KeyState sign = ReadKey(kVendorSm2, given, AT_SIGNATURE, true);
    const KeyState exchange = ReadKey(kVendorSm2, given, AT_KEYEXCHANGE, true);
    EXPECT_EQ(sign.algid, static_cast<ALG_ID>(CALG_SM2_SIGN));
    EXPECT_EQ(exchange.algid, static_cast<ALG_ID>(CALG_SM2_KEYX));
    EXPECT_EQ(sign.bits, 256u);
    BYTE point[SM2_POINT_SIZE];
    ASSERT_EQ(ConvertSM2PublicKeyBlobToPoint(key.get(), cbKey, point), 0);
    EXPECT_EQ(ToHex(point, sizeof(point)), ToHex(sign.sm2Point));
}

// A key length the provider refuses makes CryptGenKey fail: in the call that
// created the container the container goes again (RSA: CRYPT_DELETEKEYSET,
// SM2: the provider's own deletion value); in the second call of a double
// request the container keeps its exchange key.
TEST(RequestFailure, KeyGenerationFailureLeavesTheProviderAsDesigned) {
    struct {
        LPCWSTR provider;
        BOOL bRSA;
        LONG badLength;
    } cases[] = {{MS_ENHANCED_PROV_W, KEY_ALGORITHM_RSA, 1001}, {kVendorRsa, KEY_ALGORITHM_RSA, 1001},
                 {kVendorSm2, KEY_ALGORITHM_SM2, 512}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.provider));
        const bool bSM2 = !c.bRSA;
        const auto before = ListContainers(c.provider);
        EXPECT_EQ(MakeRequest(c.provider, 1, c.bRSA, c.badLength, 0, CALG_SHA1).hr, NTE_BAD_FLAGS);
        EXPECT_EQ(ListContainers(c.provider), before) << "the new container is removed";

        EXPECT_EQ(MakeRequest(c.provider, 2, c.bRSA, c.badLength, 0, CALG_SHA1).hr, NTE_BAD_FLAGS);
        const auto after = ListContainers(c.provider);
        ASSERT_EQ(after.size(), before.size() + 1);
        std::u16string kept;
        for (const auto& name : after)
            if (!before.count(name)) kept.assign(name.begin(), name.end());
        const KeyState exchange = ReadKey(c.provider, kept, AT_KEYEXCHANGE, bSM2);
        EXPECT_TRUE(exchange.exists);
        EXPECT_EQ(exchange.bits, bSM2 ? 256u : 1024u);
        EXPECT_FALSE(ReadKey(c.provider, kept, AT_SIGNATURE, bSM2).exists);
    }
}

// Generation flags the provider does not know fail the same way.
TEST(RequestFailure, UnknownGenerationFlagInCreatingCallRemovesContainer) {
    const auto before = ListContainers(MS_DEF_PROV_W);
    EXPECT_EQ(MakeRequest(MS_DEF_PROV_W, 1, KEY_ALGORITHM_RSA, 512, 0x0020, CALG_SHA1).hr, NTE_BAD_FLAGS);
    EXPECT_EQ(ListContainers(MS_DEF_PROV_W), before);
}
