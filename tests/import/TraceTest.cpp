// What the import writes to the diagnostic channel: its steps and refusals
// under the unit name, with the step and reason texts operators look for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "diag/Diagnostics.h"
#include "tests/import/ImportTestUtil.h"
#include "diag/ResultCode.h"
#include "win/evntrace.h"

using namespace importenc_test;

namespace {

void SetGlobalLogger(DWORD start, DWORD flags) { ASSERT_TRUE(tessaro_test::SetTraceSession(start, flags)); }

std::string TraceText() {
    std::ifstream f(std::string(std::getenv("TESSARO_PREFIX")) + "/trace/kevo.log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class ImportTrace : public ::testing::Test {
protected:
    void SetUp() override {
        KevoTraceRegister();
        SetGlobalLogger(1, 0xF);
        TraceRefreshProviders();
    }
    void TearDown() override {
        SetGlobalLogger(0, 0);
        TraceRefreshProviders();
        KevoTraceUnregister();
    }
};

HRESULT Parse(const std::string& text) {
    tessaro::SecureBytes s, k;
    ALG_ID alg = 0;
    return ParseEncryptCertPrivateKeyData(W(text), s, alg, k);
}

}  // namespace

TEST_F(ImportTrace, RefusalsNameTheirStepAndReason) {
    const std::string key = Base64(Wrapped(Sequential(40, 1))) + ",";
    EXPECT_EQ(Parse(Envelope(1, 1, 306, "QUJD", key)), KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(Parse(Envelope(5, 1, 306, "QUJD,", key)), KEVO_E_DEVICE_TYPE);
    EXPECT_EQ(Parse(Envelope(1, 1, 306, Base64(Tlv(0x30, Tlv(0x04, {1}))) + ",", key)),
              KEVO_E_IMPORT_ENCRYPT_CERT);
    tessaro::SecureBytes out;
    EXPECT_EQ(ConvertC1C3C2ToC1C2C3(Sequential(20, 0).data(), 20, out), KEVO_E_IMPORT_ENCRYPT_CERT);

    const std::string text = TraceText();
    for (const char* line :
         {"[ImportEncryptCert(", "] GetBase64KeyFromEncryptedData - Check endl character [Reason:L',' != "
                                 "keyBase64Encoded[nKeyLength - 1]]",
          "] GetSessionKeyandPrivateKeyASN1Obj - get session key encoded with base64 [Reason:FAILED(hResult)]",
          "] GetSessionKeyandPrivateKeyASN1Obj - Check device type [Reason:TRUE]",
          "] GetSessionKeyorPrivateKeyFromASN1Obj - Level 1: 2 nodes(INTEGER and OCTET STRING can not be found "
          "[Reason:TRUE]",
          "] ParseEncryptCertPrivateKeyData - get session key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj) "
          "[Reason:FAILED(hResult)]",
          "] ConvertC1C3C2ToC1C2C3 - Check ciphertext length [Reason:cbCiphertext < 96]"})
        EXPECT_NE(std::string::npos, text.find(line)) << line << "\n" << text.substr(0, 3000);
}

TEST_F(ImportTrace, PlainKeyStepsAreTracedWithoutTheKeys) {
    const Bytes session = Sequential(24, 0x51), secret = Sequential(48, 0xC0);
    tessaro::SecureBytes out;
    // 3DES-ECB of the secret under the session key, made by the provider
    // the same way the authority does it.
    HCRYPTPROV p = 0;
    ASSERT_TRUE(CryptAcquireContextW(&p, nullptr, u"Microsoft Enhanced Cryptographic Provider v1.0", PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
    Bytes blob = Cat({{0x08, 0x02, 0x00, 0x00, 0x03, 0x66, 0x00, 0x00, 24, 0, 0, 0}, session});
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptImportKey(p, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k));
    DWORD mode = CRYPT_MODE_ECB;
    ASSERT_TRUE(CryptSetKeyParam(k, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0));
    Bytes enc = secret;
    enc.resize(64);
    DWORD n = 48;
    ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, 0, enc.data(), &n, 64));
    enc.resize(n);
    CryptDestroyKey(k);
    CryptReleaseContext(p, 0);

    ASSERT_EQ(DecryptPrivateKeywithSessionKey(out, CALG_3DES, session.data(), 24, enc.data(),
                                              static_cast<DWORD>(enc.size())),
              KEVO_OK);
    EXPECT_EQ(ToBytes(out.data(), out.size()), secret);
    const std::string text = TraceText();
    for (const char* step : {"DecryptPrivateKeywithSessionKey - CryptAcquireContext",
                             "DecryptPrivateKeywithSessionKey - CreatePrivateExponentOneKey",
                             "DecryptPrivateKeywithSessionKey - ImportPlainSessionBlob",
                             "DecryptPrivateKeywithSessionKey - CryptSetKeyParam",
                             "DecryptPrivateKeywithSessionKey - CryptDecrypt"})
        EXPECT_NE(std::string::npos, text.find("\t" + std::string(step) + " 0x00000000\n")) << step;
    // Neither key appears in the trace.
    for (const Bytes& b : {session, secret}) {
        std::string hex = tessaro_test::ToHex(b);
        std::string lower = hex;
        for (auto& c : lower) c = static_cast<char>(tolower(c));
        EXPECT_EQ(std::string::npos, text.find(hex.substr(0, 16)));
        EXPECT_EQ(std::string::npos, text.find(lower.substr(0, 16)));
    }
}
