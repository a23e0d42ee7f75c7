// The request's elements from fixed inputs: algorithm identifiers, public key
// data, the attributes of a double request, the SM2 exchange key record and
// the signature layout, byte for byte; and the argument checks that must
// refuse a request before any provider is asked for anything.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "request/CertificateRequisition.h"
#include "request/PKCS10Request.h"
#include "tests/request/RequestTestUtil.h"
#include "tests/support/TestSupport.h"

using request_test::Bytes;
using tessaro_test::FromHex;
using tessaro_test::ToHex;

namespace {

std::string Hex(const std::string& spaced) { return ToHex(FromHex(spaced)); }

// An SM2 PUBLICKEYBLOB whose X coordinate is 01..20 and Y coordinate 41..60
// (least significant byte first), with recognisable filler after each.
Bytes MakeSm2Blob(size_t size = SM2_PUBLICKEYBLOB_MIN_SIZE) {
    Bytes b = FromHex("06 02 00 00 00 3E 00 00  00 01 00 00");
    for (int i = 0; i < 32; ++i) b.push_back(static_cast<uint8_t>(0x01 + i));
    for (int i = 0; i < 32; ++i) b.push_back(static_cast<uint8_t>(0xE0 + i));
    for (int i = 0; i < 32; ++i) b.push_back(static_cast<uint8_t>(0x41 + i));
    for (int i = 0; i < 32; ++i) b.push_back(static_cast<uint8_t>(0xC0 + i));
    b.resize(size, 0x5A);
    return b;
}

Bytes Range(int from, int count, int step) {
    Bytes b;
    for (int i = 0; i < count; ++i) b.push_back(static_cast<uint8_t>(from + i * step));
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The x and y of MakeSm2Blob, big-endian.
Bytes Sm2PointX() { return Range(0x20, 32, -1); }
Bytes Sm2PointY() { return Range(0x60, 32, -1); }

// A DER RSAPublicKey of 1024 bits (modulus 00 C1 .., exponent 65537): 140 bytes.
Bytes MakeRsaPublicKey1024() {
    Bytes modulus = {0x00};
    for (int i = 0; i < 128; ++i) modulus.push_back(static_cast<uint8_t>(0xC1 + i));
    Bytes b = FromHex("30 81 89 02 81 81");
    b.insert(b.end(), modulus.begin(), modulus.end());
    Bytes e = FromHex("02 03 01 00 01");
    b.insert(b.end(), e.begin(), e.end());
    return b;
}

struct Out {
    BYTE* pb = nullptr;
    int n = 0;
    ~Out() { delete[] pb; }
    Bytes Get() const { return pb ? Bytes(pb, pb + n) : Bytes(); }
};

}  // namespace

TEST(RequestAlgorithmElements, SignatureAlgorithmsEndWithNull) {
    struct {
        const char* oid;
        const char* expected;
    } cases[] = {
        {SZOID_SHA1_WITH_RSA, "30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00"},
        {SZOID_MD5_WITH_RSA, "30 0D 06 09 2A 86 48 86 F7 0D 01 01 04 05 00"},
        {SZOID_SM3_WITH_SM2, "30 0C 06 08 2A 81 1C CF 55 01 83 75 05 00"},
    };
    for (const auto& c : cases) {
        Out o;
        ASSERT_EQ(ComposeSignAlgorithm(c.oid, &o.pb, &o.n), 0) << c.oid;
        EXPECT_EQ(ToHex(o.Get()), Hex(c.expected)) << c.oid;
    }
}

TEST(RequestAlgorithmElements, RsaPublicKeyInfoHasNullParameter) {
    const Bytes key = MakeRsaPublicKey1024();
    Out o;
    ASSERT_EQ(ComposeSignPublicKeyData(SZOID_RSA_ENCRYPTION, "", key.data(), static_cast<int>(key.size()), &o.pb,
                                       &o.n),
              0);
    const Bytes expected =
        Cat({FromHex("30 81 9F 30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00 03 81 8D 00"), key});
    EXPECT_EQ(ToHex(o.Get()), ToHex(expected));

    // A null parameter identifier is the same as an empty one.
    Out o2;
    ASSERT_EQ(ComposeSignPublicKeyData(SZOID_RSA_ENCRYPTION, nullptr, key.data(), static_cast<int>(key.size()),
                                       &o2.pb, &o2.n),
              0);
    EXPECT_EQ(o2.Get(), expected);
}

TEST(RequestAlgorithmElements, Sm2PublicKeyInfoCarriesCurveAndPoint) {
    const Bytes blob = MakeSm2Blob();
    BYTE point[SM2_POINT_SIZE] = {};
    ASSERT_EQ(ConvertSM2PublicKeyBlobToPoint(blob.data(), static_cast<DWORD>(blob.size()), point), 0);
    const Bytes expectedPoint = Cat({{0x04}, Sm2PointX(), Sm2PointY()});
    ASSERT_EQ(ToHex(point, sizeof(point)), ToHex(expectedPoint));

    Out o;
    ASSERT_EQ(ComposeSignPublicKeyData(SZOID_EC_PUBLIC_KEY, SZOID_SM2_CURVE, point, sizeof(point), &o.pb, &o.n), 0);
    const Bytes expected = Cat({FromHex("30 59 30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D "
                                        "03 42 00"),
                                expectedPoint});
    EXPECT_EQ(ToHex(o.Get()), ToHex(expected));
}

TEST(RequestAlgorithmElements, PublicKeyDataRefusesMissingOrBadInput) {
    const Bytes key = MakeRsaPublicKey1024();
    Out o;
    EXPECT_EQ(ComposeSignPublicKeyData(SZOID_RSA_ENCRYPTION, "", nullptr, 10, &o.pb, &o.n), E_INVALIDARG);
    EXPECT_EQ(ComposeSignPublicKeyData(SZOID_RSA_ENCRYPTION, "", key.data(), 0, &o.pb, &o.n), E_INVALIDARG);
    EXPECT_EQ(ComposeSignPublicKeyData(nullptr, "", key.data(), 10, &o.pb, &o.n), E_INVALIDARG);
    // A malformed identifier is refused by the encoder, not written.
    EXPECT_LT(ComposeSignPublicKeyData("1.2..3", "", key.data(), 10, &o.pb, &o.n), 0);
    EXPECT_LT(ComposeSignPublicKeyData(SZOID_EC_PUBLIC_KEY, "x", key.data(), 10, &o.pb, &o.n), 0);
    EXPECT_EQ(o.pb, nullptr);
}

TEST(Sm2KeyBlob, ExchangeKeyRecordReversesOnlyTheCoordinates) {
    const Bytes blob = MakeSm2Blob();
    BYTE record[SM2_EXCHANGE_KEY_RECORD_SIZE] = {};
    ASSERT_EQ(ComposeSM2ExchangeKeyRecord(blob.data(), static_cast<DWORD>(blob.size()), record), 0);
    const Bytes expected = Cat({FromHex("00 B4 00 00 00 01 00 00"), Sm2PointX(), Range(0xE0, 32, 1), Sm2PointY(),
                                Range(0xC0, 32, 1)});
    EXPECT_EQ(ToHex(record, sizeof(record)), ToHex(expected));
}

TEST(Sm2KeyBlob, ShortBlobIsRefusedNotReadPastItsEnd) {
    // Exactly sized heap buffers, so a read past the end shows under ASan.
    for (size_t size : {size_t{0}, size_t{8}, size_t{76}, size_t{139}}) {
        std::unique_ptr<BYTE[]> blob(new BYTE[size ? size : 1]);
        const Bytes full = MakeSm2Blob();
        std::copy(full.begin(), full.begin() + static_cast<long>(size), blob.get());
        BYTE point[SM2_POINT_SIZE] = {};
        BYTE record[SM2_EXCHANGE_KEY_RECORD_SIZE] = {};
        EXPECT_EQ(ConvertSM2PublicKeyBlobToPoint(blob.get(), static_cast<DWORD>(size), point), NTE_BAD_PUBLIC_KEY)
            << size;
        EXPECT_EQ(ComposeSM2ExchangeKeyRecord(blob.get(), static_cast<DWORD>(size), record), NTE_BAD_PUBLIC_KEY)
            << size;
    }
    // 140 bytes exactly is enough.
    std::unique_ptr<BYTE[]> blob(new BYTE[SM2_PUBLICKEYBLOB_MIN_SIZE]);
    const Bytes full = MakeSm2Blob();
    std::copy(full.begin(), full.end(), blob.get());
    BYTE point[SM2_POINT_SIZE] = {};
    EXPECT_EQ(ConvertSM2PublicKeyBlobToPoint(blob.get(), SM2_PUBLICKEYBLOB_MIN_SIZE, point), 0);
}

TEST(Sm2KeyBlob, RequestWithShortBlobFailsBeforeTheProviderIsUsed) {
    const Bytes good = MakeSm2Blob();
    std::unique_ptr<BYTE[]> shortBlob(new BYTE[139]);
    std::copy(good.begin(), good.begin() + 139, shortBlob.get());

    PKCS10_REQUEST_INFO info = {};
    info.dwKeySpec = AT_KEYEXCHANGE;
    info.hProv = 0;  // never reached
    info.pwszSubject = u"CN=a";
    info.pszAlgorithmOID = SZOID_EC_PUBLIC_KEY;
    info.pszParameterOID = SZOID_SM2_CURVE;
    info.pbSignPublicKey = shortBlob.get();
    info.cbSignPublicKey = 139;
    info.algHash = CALG_SM3;
    info.pszSignAlgorithmOID = SZOID_SM3_WITH_SM2;
    info.bSM2 = TRUE;
    char* psz = nullptr;
    int n = -1;
    EXPECT_EQ(PKCS10RequestBase64(info, &psz, &n), NTE_BAD_PUBLIC_KEY);
    EXPECT_EQ(psz, nullptr);
    EXPECT_EQ(n, -1);

    // The signing key is fine, the exchange key of a double request is short.
    info.dwKeySpec = AT_SIGNATURE;
    info.pbSignPublicKey = good.data();
    info.cbSignPublicKey = static_cast<DWORD>(good.size());
    info.pbExchangePublicKey = shortBlob.get();
    info.cbExchangePublicKey = 139;
    EXPECT_EQ(PKCS10RequestBase64(info, &psz, &n), NTE_BAD_PUBLIC_KEY);
    EXPECT_EQ(psz, nullptr);
}

TEST(RequestAttributes, Sm2DoubleRequestAttributes) {
    const Bytes blob = MakeSm2Blob();
    BYTE record[SM2_EXCHANGE_KEY_RECORD_SIZE] = {};
    ASSERT_EQ(ComposeSM2ExchangeKeyRecord(blob.data(), static_cast<DWORD>(blob.size()), record), 0);
    Out o;
    ASSERT_EQ(ComposeAttributes(record, sizeof(record), &o.pb, &o.n), 0);
    const Bytes expected =
        Cat({FromHex("A0 81 B7"
                     // challengePassword, value directly after the identifier
                     "30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 34 39 33 30 32 37"
                     // exchange key: OCTET STRING { SEQUENCE { 1, OCTET STRING { record } } }
                     "30 81 9F 06 09 2A 86 48 86 F7 0D 01 09 3F 04 81 91 30 81 8E 02 01 01 04 81 88"),
             Bytes(record, record + sizeof(record))});
    EXPECT_EQ(ToHex(o.Get()), ToHex(expected));
}

TEST(RequestAttributes, RsaDoubleRequestAttributes) {
    const Bytes key = MakeRsaPublicKey1024();
    Out o;
    ASSERT_EQ(ComposeAttributes(key.data(), static_cast<int>(key.size()), &o.pb, &o.n), 0);
    const Bytes expected =
        Cat({FromHex("A0 81 BB"
                     "30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 34 39 33 30 32 37"
                     "30 81 A3 06 09 2A 86 48 86 F7 0D 01 09 3F 04 81 95 30 81 92 02 01 01 04 81 8C"),
             key});
    EXPECT_EQ(ToHex(o.Get()), ToHex(expected));
}

TEST(RequestAttributes, EmptyExchangeKeyIsRefused) {
    Out o;
    const BYTE b = 0;
    EXPECT_EQ(ComposeAttributes(&b, 0, &o.pb, &o.n), E_INVALIDARG);
    EXPECT_EQ(ComposeAttributes(nullptr, 4, &o.pb, &o.n), E_INVALIDARG);
    EXPECT_EQ(o.pb, nullptr);
}

TEST(RequestSignatureElement, RsaSignatureIsABitString) {
    Out o;
    const BYTE sig[] = {0xAA, 0xBB};
    ASSERT_EQ(ComposeSignature(FALSE, sig, 2, &o.pb, &o.n), 0);
    EXPECT_EQ(ToHex(o.Get()), "030300AABB");

    Bytes big = Range(0x80, 128, 1);
    Out o2;
    ASSERT_EQ(ComposeSignature(FALSE, big.data(), 128, &o2.pb, &o2.n), 0);
    EXPECT_EQ(ToHex(o2.Get()), ToHex(Cat({FromHex("03 81 81 00"), big})));
}

TEST(RequestSignatureElement, Sm2SignatureIsMinimalDerInBitString) {
    // r with its top bit set keeps one 00 before it.
    Bytes raw = Cat({Bytes{0x80}, Bytes(31, 0), Bytes{0x01}, Bytes(31, 0)});
    Out o;
    ASSERT_EQ(ComposeSignature(TRUE, raw.data(), 64, &o.pb, &o.n), 0);
    EXPECT_EQ(ToHex(o.Get()), ToHex(Cat({FromHex("03 48 00 30 45 02 21 00 80"), Bytes(31, 0), FromHex("02 20 01"),
                                         Bytes(31, 0)})));

    // Leading zero octets are dropped: r = 00 7F .., s = 00 00 00 05 ...
    Bytes r = Cat({FromHex("00 7F"), Range(1, 30, 1)});
    Bytes s = Cat({FromHex("00 00 00 05"), Range(0x90, 28, 1)});
    Bytes raw2 = Cat({r, s});
    Out o2;
    ASSERT_EQ(ComposeSignature(TRUE, raw2.data(), 64, &o2.pb, &o2.n), 0);
    const Bytes der = Cat({FromHex("30 40 02 1F"), Bytes(r.begin() + 1, r.end()), FromHex("02 1D"),
                           Bytes(s.begin() + 3, s.end())});
    EXPECT_EQ(ToHex(o2.Get()), ToHex(Cat({FromHex("03 43 00"), der})));

    // A zero half is the INTEGER 0.
    Bytes raw3 = Cat({Bytes(32, 0), Bytes(31, 0), Bytes{0x01}});
    Out o3;
    ASSERT_EQ(ComposeSignature(TRUE, raw3.data(), 64, &o3.pb, &o3.n), 0);
    EXPECT_EQ(ToHex(o3.Get()), "0309003006020100020101");
}

TEST(RequestSignatureElement, Sm2SignatureMustBe64Bytes) {
    Bytes raw(65, 0x11);
    Out o;
    EXPECT_EQ(ComposeSignature(TRUE, raw.data(), 63, &o.pb, &o.n), static_cast<HRESULT>(0x8007000D));
    EXPECT_EQ(ComposeSignature(TRUE, raw.data(), 65, &o.pb, &o.n), static_cast<HRESULT>(0x8007000D));
    EXPECT_EQ(o.pb, nullptr);
}

namespace {

PKCS10_REQUEST_INFO RsaInfo(const Bytes& key, LPCWSTR subject) {
    PKCS10_REQUEST_INFO info = {};
    info.dwKeySpec = AT_KEYEXCHANGE;
    info.pwszSubject = subject;
    info.pszAlgorithmOID = SZOID_RSA_ENCRYPTION;
    info.pszParameterOID = "";
    info.pbSignPublicKey = key.data();
    info.cbSignPublicKey = static_cast<DWORD>(key.size());
    info.algHash = CALG_SHA1;
    info.pszSignAlgorithmOID = SZOID_SHA1_WITH_RSA;
    return info;
}

}  // namespace

TEST(RequestInfoElement, SingleRequestHasNoAttributes) {
    const Bytes key = MakeRsaPublicKey1024();
    PKCS10_REQUEST_INFO info = RsaInfo(key, u"CN=a");
    Out o;
    ASSERT_EQ(ComposeCertRequestInfo(info, &o.pb, &o.n), 0);
    const Bytes spki = Cat({FromHex("30 81 9F 30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00 03 81 8D 00"), key});
    const Bytes content = Cat({FromHex("02 01 00  30 0C 31 0A 30 08 06 03 55 04 03 0C 01 61"), spki});
    ASSERT_EQ(content.size(), 0xB3u);
    EXPECT_EQ(ToHex(o.Get()), ToHex(Cat({FromHex("30 81 B3"), content})));
}

TEST(RequestInfoElement, DoubleRequestAppendsAttributes) {
    const Bytes blob = MakeSm2Blob();
    BYTE point[SM2_POINT_SIZE];
    BYTE record[SM2_EXCHANGE_KEY_RECORD_SIZE];
    ASSERT_EQ(ConvertSM2PublicKeyBlobToPoint(blob.data(), static_cast<DWORD>(blob.size()), point), 0);
    ASSERT_EQ(ComposeSM2ExchangeKeyRecord(blob.data(), static_cast<DWORD>(blob.size()), record), 0);
    PKCS10_REQUEST_INFO info = {};
    info.dwKeySpec = AT_SIGNATURE;
    info.pwszSubject = u"CN=a,C=CN";
    info.pszAlgorithmOID = SZOID_EC_PUBLIC_KEY;
    info.pszParameterOID = SZOID_SM2_CURVE;
    info.pbSignPublicKey = point;
    info.cbSignPublicKey = sizeof(point);
    info.pbExchangePublicKey = record;
    info.cbExchangePublicKey = sizeof(record);
    info.bSM2 = TRUE;
    Out o;
    ASSERT_EQ(ComposeCertRequestInfo(info, &o.pb, &o.n), 0);

    Out attrs;
    ASSERT_EQ(ComposeAttributes(record, sizeof(record), &attrs.pb, &attrs.n), 0);
    const Bytes name = FromHex("30 19 31 0B 30 09 06 03 55 04 06 13 02 43 4E 31 0A 30 08 06 03 55 04 03 0C 01 61");
    const Bytes spki = Cat({FromHex("30 59 30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D 03 42 00"),
                            Bytes(point, point + sizeof(point))});
    const Bytes content = Cat({FromHex("02 01 00"), name, spki, attrs.Get()});
    ASSERT_EQ(content.size(), 3u + 27u + 91u + 186u);
    EXPECT_EQ(ToHex(o.Get()), ToHex(Cat({FromHex("30 82 01 33"), content})));
}

TEST(RequestInfoElement, BadSubjectFailsTheComposition) {
    const Bytes key = MakeRsaPublicKey1024();
    Out o;
    EXPECT_EQ(ComposeCertRequestInfo(RsaInfo(key, u"CN=a,,O=b"), &o.pb, &o.n), NTE_BAD_DATA);
    EXPECT_EQ(ComposeCertRequestInfo(RsaInfo(key, u"CN=a=b"), &o.pb, &o.n), NTE_BAD_DATA);
    EXPECT_EQ(ComposeCertRequestInfo(RsaInfo(key, u"CN="), &o.pb, &o.n), E_FAIL);
    EXPECT_LT(ComposeCertRequestInfo(RsaInfo(key, u"CN=a,XX=b"), &o.pb, &o.n), 0);
    EXPECT_EQ(o.pb, nullptr);
}

// Checks that refuse a request before a provider or container is involved.
TEST(RequestArguments, RequisitionRefusesBadArgumentsUpFront) {
    LPWSTR pwszContainer = nullptr;
    char* pszRequest = nullptr;
    int nRequest = -1;
    auto call = [&](LPCWSTR subject, LONG type, LONG length, DWORD flags) {
        return PKCS10CertRequisition(&pwszContainer, u"No Such Provider", subject, type, AT_KEYEXCHANGE,
                                     KEY_ALGORITHM_RSA, length, flags, CALG_SHA1, &pszRequest, &nRequest);
    };
    EXPECT_EQ(call(nullptr, 1, 1024, 0), E_INVALIDARG);
    EXPECT_EQ(call(u"CN=a", 0, 1024, 0), E_INVALIDARG);
    EXPECT_EQ(call(u"CN=a", 3, 1024, 0), E_INVALIDARG);
    EXPECT_EQ(call(u"CN=a", 1, 0, 0), E_INVALIDARG);
    EXPECT_EQ(call(u"CN=a", 1, -1024, 0), E_INVALIDARG);
    EXPECT_EQ(call(u"CN=a", 1, 0x10000, 0), E_INVALIDARG);
    EXPECT_EQ(call(u"CN=a", 2, 1024, 0x10001), E_INVALIDARG);
    // The subject is checked before any key exists; with a provider that does
    // not exist, reaching the provider would give another code.
    EXPECT_EQ(call(u"CN=a,,O=b", 1, 1024, 0), NTE_BAD_DATA);
    EXPECT_EQ(call(u"CN=", 2, 1024, 0), E_FAIL);
    EXPECT_EQ(pwszContainer, nullptr);
    EXPECT_EQ(pszRequest, nullptr);
    EXPECT_EQ(nRequest, -1);

    EXPECT_EQ(PKCS10CertRequisition(nullptr, u"P", u"CN=a", 1, AT_KEYEXCHANGE, KEY_ALGORITHM_RSA, 1024, 0, CALG_SHA1,
                                    &pszRequest, &nRequest),
              E_POINTER);
}

TEST(RequestArguments, CreatePublicKeyRefusesLengthsAndFlagsThatDoNotFit) {
    HCRYPTPROV hProv = 0;
    LPWSTR pwszContainer = nullptr;
    BYTE* pbKey = nullptr;
    DWORD cbKey = 0;
    struct {
        LONG length;
        DWORD flags;
    } cases[] = {{0, 0}, {-1, 0}, {0x10000, 0}, {0x7FFFFFFF, 0}, {1024, 0x10000}, {1024, 0x80000001}};
    for (const auto& c : cases) {
        EXPECT_EQ(CreatePublicKey(&pwszContainer, c.length, MS_ENHANCED_PROV_W, KEY_ALGORITHM_RSA, AT_SIGNATURE, TRUE,
                                  &hProv, c.flags, &pbKey, &cbKey),
                  E_INVALIDARG)
            << c.length << " " << c.flags;
    }
    EXPECT_EQ(hProv, 0u);
    EXPECT_EQ(pwszContainer, nullptr);
    EXPECT_EQ(pbKey, nullptr);
}
