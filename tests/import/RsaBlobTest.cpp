// Byte layouts handed to the providers (PRIVATEKEYBLOB, SIMPLEBLOB, the RSA
// envelope and both vendor blobs) and the plain-path routines that open the
// session and private keys in a key set of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/import/ImportTestUtil.h"
#include "tests/import/OpenSslSide.h"
#include "tessaro/Handles.h"
#include "diag/ResultCode.h"

using namespace importenc_test;
using tessaro_test::ToHex;

namespace {

const char16_t kEnhanced[] = u"Microsoft Enhanced Cryptographic Provider v1.0";

// DER INTEGER of a big-endian magnitude (a zero octet before a high bit).
Bytes Int(const Bytes& magnitude) {
    Bytes c = magnitude;
    if (c.empty() || (c[0] & 0x80)) c.insert(c.begin(), 0x00);
    return Tlv(0x02, c);
}

Bytes Pkcs1(const std::vector<Bytes>& numbers) {
    Bytes content = Tlv(0x02, {0x00});
    for (const auto& n : numbers) content = Cat({content, Int(n)});
    return Tlv(0x30, content);
}

// A little-endian slot of the blob holding the big-endian number.
Bytes Slot(const Bytes& be, size_t size) {
    Bytes s(be.rbegin(), be.rend());
    s.resize(size, 0);
    return s;
}

Bytes Dword(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

struct BlobResult {
    HRESULT hr = E_FAIL;
    Bytes blob;
};

BlobResult MakeBlob(const Bytes& der, DWORD bits) {
    BlobResult r;
    tessaro::SecureBytes out;
    r.hr = getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(der.data(), static_cast<DWORD>(der.size()), bits, out);
    r.blob = ToBytes(out.data(), out.size());
    return r;
}

// 512-bit numbers in their slots' sizes (contents are layout only).
std::vector<Bytes> Numbers512() {
    Bytes n = Sequential(64, 0x81), e = {0x01, 0x00, 0x01}, d = Sequential(64, 0x40);
    Bytes p = Sequential(32, 0xC1), q = Sequential(32, 0xA1), dp = Sequential(32, 0x11), dq = Sequential(32, 0x21),
          qi = Sequential(32, 0x31);
    return {n, e, d, p, q, dp, dq, qi};
}

using Prov = tessaro::UniqueCryptProv;
using Key = tessaro::UniqueCryptKey;

std::vector<std::string> EnhancedContainers() {
    std::vector<std::string> names;
    Prov p;
    if (!CryptAcquireContextW(p.put(), nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return {"<none>"};
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        char name[512] = {};
        DWORD cb = sizeof name;
        if (!CryptGetProvParam(p.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &cb, flags)) break;
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// ---- PRIVATEKEYBLOB ------------------------------------------------------------

TEST(PrivateKeyBlob, LayoutOfAKnownKey) {
    RsaKey k = NewRsaKey(1024);
    ASSERT_FALSE(k.pkcs1.empty());
    BlobResult r = MakeBlob(k.pkcs1, 1024);
    ASSERT_EQ(r.hr, KEVO_OK);
    ASSERT_EQ(r.blob.size(), 596u);
    Bytes expected = Cat({{0x07, 0x02, 0x00, 0x00}, Dword(0xA400), Dword(0x32415352), Dword(1024), Dword(65537),
                          Slot(k.n, 128), Slot(k.p, 64), Slot(k.q, 64), Slot(k.dp, 64), Slot(k.dq, 64),
                          Slot(k.qinv, 64), Slot(k.d, 128)});
    EXPECT_EQ(ToHex(r.blob), ToHex(expected));

    // The layout is the provider's: the blob imports and the key signs.
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key key;
    ASSERT_TRUE(CryptImportKey(p.get(), r.blob.data(), static_cast<DWORD>(r.blob.size()), 0, 0, key.put()));
    DWORD bits = 0, cb = sizeof bits;
    ASSERT_TRUE(CryptGetKeyParam(key.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &cb, 0));
    EXPECT_EQ(bits, 1024u);
}

TEST(PrivateKeyBlob, SizesFollowTheAgentKeyLength) {
    RsaKey k = NewRsaKey(2048);
    BlobResult r = MakeBlob(k.pkcs1, 2048);
    ASSERT_EQ(r.hr, KEVO_OK);
    EXPECT_EQ(r.blob.size(), 1172u);
    // A 2048-bit key while the agent says 1024, and the other way round.
    EXPECT_EQ(MakeBlob(k.pkcs1, 1024).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(MakeBlob(NewRsaKey(1024).pkcs1, 2048).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    // Slots need whole octets of a half modulus.
    EXPECT_EQ(MakeBlob(k.pkcs1, 2040).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(MakeBlob(k.pkcs1, 0).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(MakeBlob(k.pkcs1, 0xFFFFFFF0u).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
}

TEST(PrivateKeyBlob, ShortNumbersArePaddedAtTheirHighEnd) {
    auto nums = Numbers512();
    nums[2] = Sequential(63, 0x40);  // privateExponent
    nums[5] = Sequential(31, 0x11);  // exponent1
    nums[6] = Sequential(30, 0x21);  // exponent2
    nums[7] = Sequential(31, 0x31);  // coefficient
    nums[1] = {0x03};                // publicExponent, read from the key
    BlobResult r = MakeBlob(Pkcs1(nums), 512);
    ASSERT_EQ(r.hr, KEVO_OK);
    ASSERT_EQ(r.blob.size(), 308u);
    Bytes expected = Cat({{0x07, 0x02, 0x00, 0x00}, Dword(0xA400), Dword(0x32415352), Dword(512), Dword(3),
                          Slot(nums[0], 64), Slot(nums[3], 32), Slot(nums[4], 32), Slot(nums[5], 32),
                          Slot(nums[6], 32), Slot(nums[7], 32), Slot(nums[2], 64)});
    EXPECT_EQ(ToHex(r.blob), ToHex(expected));
}

TEST(PrivateKeyBlob, MalformedKeysAreRefused) {
    const auto base = Numbers512();
    auto with = [&](size_t i, const Bytes& v) {
        auto n = base;
        n[i] = v;
        return Pkcs1(n);
    };
    EXPECT_EQ(MakeBlob(Pkcs1(base), 512).hr, KEVO_OK);
    // A modulus one octet short or long.
    EXPECT_EQ(MakeBlob(with(0, Sequential(63, 0x81)), 512).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(MakeBlob(with(0, Sequential(65, 0x81)), 512).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    // A prime longer than its slot.
    EXPECT_EQ(MakeBlob(with(3, Sequential(33, 0xC1)), 512).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    // A public exponent that does not fit 32 bits, or is zero.
    EXPECT_EQ(MakeBlob(with(1, {0x01, 0x00, 0x00, 0x00, 0x01}), 512).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(MakeBlob(with(1, {0x00}), 512).hr, KEVO_E_IMPORT_ENCRYPT_CERT);

    // An empty INTEGER, and an OCTET STRING in an INTEGER's place.
    std::vector<Bytes> elements = {Tlv(0x02, {0x00})};
    for (const auto& n : base) elements.push_back(Int(n));
    auto encode = [](const std::vector<Bytes>& e) {
        Bytes c;
        for (const auto& x : e) c = Cat({c, x});
        return Tlv(0x30, c);
    };
    EXPECT_EQ(MakeBlob(encode(elements), 512).hr, KEVO_OK);
    auto emptyE = elements;
    emptyE[2] = {0x02, 0x00};
    EXPECT_EQ(MakeBlob(encode(emptyE), 512).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    auto emptyDq = elements;
    emptyDq[7] = {0x02, 0x00};
    EXPECT_EQ(MakeBlob(encode(emptyDq), 512).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
    auto octets = elements;
    octets[6][0] = 0x04;
    EXPECT_EQ(MakeBlob(encode(octets), 512).hr, KEVO_E_IMPORT_ENCRYPT_CERT);
}

TEST(PrivateKeyBlob, StructureErrorsCarryTheParserCodes) {
    auto nums = Numbers512();
    nums.pop_back();  // eight elements
    EXPECT_EQ(MakeBlob(Pkcs1(nums), 512).hr, KEVO_E_ASN1_DECODE);
    EXPECT_EQ(MakeBlob({0x30}, 512).hr, KEVO_E_ASN1_DECODE);
    EXPECT_EQ(MakeBlob({}, 512).hr, KEVO_E_ASN1_DECODE);
    // A child running past its parent: a failure below the root, as it comes.
    EXPECT_EQ(MakeBlob({0x30, 0x04, 0x02, 0x09, 0x00, 0x00}, 512).hr, static_cast<HRESULT>(-1));
}

// ---- SIMPLEBLOB ----------------------------------------------------------------

TEST(SimpleBlob, LayoutIsAReversedPkcs1BlockBehindTheHeader) {
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    const Bytes key = Sequential(24, 0x01);
    tessaro::SecureBytes blob;
    ASSERT_EQ(ComposePlainSessionBlob(p.get(), CALG_3DES, CALG_RSA_KEYX, 1024, key.data(), 24, blob),
              KEVO_OK);
    Bytes b = ToBytes(blob.data(), blob.size());
    ASSERT_EQ(b.size(), 140u);
    EXPECT_EQ(ToHex(Bytes(b.begin(), b.begin() + 12)), "010200000366000000A40000");
    EXPECT_EQ(Bytes(b.begin() + 12, b.begin() + 36), Bytes(key.rbegin(), key.rend()));
    EXPECT_EQ(b[36], 0);
    for (size_t i = 37; i < 138; ++i) EXPECT_NE(b[i], 0) << i;
    EXPECT_EQ(b[138], 2);
    EXPECT_EQ(b[139], 0);
}

TEST(SimpleBlob, KeysLongerThanOneBlockCanCarryAreRefusedFirst) {
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    const Bytes key(200, 0x5A);
    tessaro::SecureBytes blob;
    EXPECT_EQ(ComposePlainSessionBlob(p.get(), CALG_3DES, CALG_RSA_KEYX, 1024, key.data(), 117, blob),
              KEVO_OK);
    EXPECT_EQ(blob.size(), 140u);
    const Bytes composed(blob.begin(), blob.end());
    for (DWORD n : {118u, 128u, 129u, 0xFFFFFFF0u}) {
        EXPECT_EQ(ComposePlainSessionBlob(p.get(), CALG_3DES, CALG_RSA_KEYX, 1024, key.data(), n, blob), NTE_BAD_LEN)
            << n;
        EXPECT_EQ(Bytes(blob.begin(), blob.end()), composed);  // the caller's buffer is left as it was
    }
    EXPECT_EQ(ComposePlainSessionBlob(p.get(), CALG_3DES, CALG_RSA_KEYX, 80, key.data(), 1, blob),
              NTE_BAD_LEN);
}

TEST(SimpleBlob, ImportThroughTheExponentOneKeyKeepsTheKeyBytes) {
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key one, session;
    ASSERT_EQ(CreatePrivateExponentOneKey(p.get(), one.put()), KEVO_OK);
    const Bytes key = Sequential(24, 0x31);
    ASSERT_EQ(ImportPlainSessionBlob(p.get(), one.get(), CALG_3DES, key.data(), 24, session.put()), KEVO_OK);
    DWORD mode = CRYPT_MODE_ECB;
    ASSERT_TRUE(CryptSetKeyParam(session.get(), KP_MODE, reinterpret_cast<BYTE*>(&mode), 0));
    const Bytes plain = Sequential(13, 0x61);
    Bytes buf = plain;
    buf.resize(32);
    DWORD n = 13;
    ASSERT_TRUE(CryptEncrypt(session.get(), 0, TRUE, 0, buf.data(), &n, 32));
    buf.resize(n);
    EXPECT_EQ(ToHex(buf), ToHex(TripleDesEcbEncrypt(key, plain)));

    // Wrong sizes never become a key.
    Key bad;
    const Bytes big(200, 0x77);
    EXPECT_EQ(ImportPlainSessionBlob(p.get(), one.get(), CALG_3DES, big.data(), 118, bad.put()), NTE_BAD_LEN);
    EXPECT_EQ(ImportPlainSessionBlob(p.get(), one.get(), CALG_3DES, big.data(), 200, bad.put()), NTE_BAD_LEN);
    EXPECT_EQ(ImportPlainSessionBlob(p.get(), one.get(), CALG_3DES, big.data(), 16, bad.put()), NTE_BAD_DATA);
    EXPECT_EQ(ImportPlainSessionBlob(p.get(), one.get(), 0x1234, key.data(), 24, bad.put()), NTE_BAD_ALGID);
    EXPECT_EQ(bad.get(), 0u);
}

// ---- The private key in a key set of its own ------------------------------------

TEST(PlainPrivateKey, DecryptsWithTheSessionKeyAndLeavesNoKeySet) {
    const auto before = EnhancedContainers();
    const Bytes session = Sequential(24, 0x07), secret = Sequential(100, 0x20);
    const Bytes encrypted = TripleDesEcbEncrypt(session, secret);
    tessaro::SecureBytes out;
    ASSERT_EQ(DecryptPrivateKeywithSessionKey(out, CALG_3DES, session.data(), 24,
                                              encrypted.data(), static_cast<DWORD>(encrypted.size())),
              KEVO_OK);
    EXPECT_EQ(ToBytes(out.data(), out.size()), secret);
    EXPECT_EQ(EnhancedContainers(), before);

    // Another session key: the padding does not come out (or, rarely, the
    // bytes are garbage); either way no key set stays behind.
    const Bytes other = Sequential(24, 0x08);
    HRESULT hr = DecryptPrivateKeywithSessionKey(out, CALG_3DES, other.data(), 24,
                                                 encrypted.data(), static_cast<DWORD>(encrypted.size()));
    if (SUCCEEDED(hr)) EXPECT_NE(ToBytes(out.data(), out.size()), secret);
    else EXPECT_EQ(hr, NTE_BAD_DATA);
    EXPECT_EQ(EnhancedContainers(), before);

    // A session key of the wrong size fails in the plain-blob step.
    EXPECT_EQ(DecryptPrivateKeywithSessionKey(out, CALG_3DES, session.data(), 16,
                                              encrypted.data(), static_cast<DWORD>(encrypted.size())),
              KEVO_E_IMPORT_ENCRYPT_CERT);
    // Ciphertext that is not whole blocks.
    EXPECT_EQ(DecryptPrivateKeywithSessionKey(out, CALG_3DES, session.data(), 24,
                                              encrypted.data(), 7),
              NTE_BAD_DATA);
    EXPECT_EQ(EnhancedContainers(), before);
}

// ---- The envelope path's structures ------------------------------------------------

TEST(RsaEnvelope, IdentifiersAreBareObjectIdentifiers) {
    std::vector<BYTE> oid;
    ASSERT_EQ(ComposeObjectIdentifier("1.3.6.1.4.1.4929.1.7", oid), KEVO_OK);
    EXPECT_EQ(ToHex(ToBytes(oid.data(), oid.size())), "06092B06010401A6410107");
    ASSERT_EQ(ComposeObjectIdentifier("1.2.840.113549.1.1.1", oid), KEVO_OK);
    EXPECT_EQ(ToHex(ToBytes(oid.data(), oid.size())), "06092A864886F70D010101");
}

TEST(RsaEnvelope, KeysTravelAsTheyCame) {
    const Bytes session = {0x01, 0x02, 0x03}, key = {0xAA, 0xBB};
    tessaro::SecureBytes env;
    ASSERT_EQ(ComposeRSAEVPPrivateKey(key.data(), 2, session.data(), 3, env), KEVO_OK);
    EXPECT_EQ(ToHex(ToBytes(env.data(), env.size())),
              "3022" "020101" "06092A864886F70D010101" "06092B06010401A6410107" "0403010203" "0402AABB");
    // Long keys get long length octets.
    const Bytes big = Sequential(300, 0);
    ASSERT_EQ(ComposeRSAEVPPrivateKey(big.data(), 300, big.data(), 128, env), KEVO_OK);
    Bytes b = ToBytes(env.data(), env.size());
    ASSERT_EQ(b.size(), 4u + 3 + 11 + 11 + 3 + 128 + 4 + 300);
    EXPECT_EQ(ToHex(Bytes(b.begin(), b.begin() + 4)), "308201CC");
    EXPECT_EQ(ToHex(Bytes(b.begin() + 29, b.begin() + 32)), "048180");
    EXPECT_EQ(ToHex(Bytes(b.begin() + 160, b.begin() + 164)), "0482012C");
}

TEST(VendorBlob, RsaBlobCarriesLengthsAndTheEnvelopeAddress) {
    const Bytes env = Sequential(10, 0);
    Bytes blob(RSA_VENDOR_IMPORT_BLOB_SIZE, 0xEE);
    ASSERT_EQ(FillRSAVendorImportBlob(2048, env.data(), 10, blob.data(), static_cast<DWORD>(blob.size())), KEVO_OK);
    const uintptr_t addr = reinterpret_cast<uintptr_t>(env.data());
    Bytes ptr(sizeof(void*));
    memcpy(ptr.data(), &addr, sizeof(void*));
    EXPECT_EQ(ToHex(blob), ToHex(Cat({{0x07, 0x02, 0x01, 0x00}, Dword(0xA400), Dword(0xA400), Dword(2048),
                                      Dword(80), ptr})));
    EXPECT_EQ(blob.size(), 20 + sizeof(void*));
    EXPECT_EQ(FillRSAVendorImportBlob(2048, env.data(), 10, blob.data(), 24 + 8), E_INVALIDARG);
}

TEST(VendorBlob, Sm2BlobCarriesTheCiphertextLengthAndAddress) {
    const Bytes ct = Sequential(128, 0);
    Bytes blob(SM2_VENDOR_IMPORT_BLOB_SIZE, 0xEE);
    ASSERT_EQ(FillSM2VendorImportBlob(ct.data(), 128, blob.data(), static_cast<DWORD>(blob.size())), KEVO_OK);
    const uintptr_t addr = reinterpret_cast<uintptr_t>(ct.data());
    Bytes ptr(sizeof(void*));
    memcpy(ptr.data(), &addr, sizeof(void*));
    EXPECT_EQ(ToHex(blob),
              ToHex(Cat({{0x07, 0x02, 0x01, 0x00}, Dword(0xBE00), Dword(0xBE00), Dword(1024), ptr})));
    EXPECT_EQ(blob.size(), 16 + sizeof(void*));
    EXPECT_EQ(FillSM2VendorImportBlob(ct.data(), 128, blob.data(), 19), E_INVALIDARG);
}
