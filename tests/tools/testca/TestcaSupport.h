// Requests built byte by byte in the agent's layouts, with keys made by
// OpenSSL, and helpers to run the test CA and read what it returns.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestPki.h"
#include "tests/support/TestSupport.h"

namespace testca_test {

using Bytes = std::vector<uint8_t>;

using Pkey = tessaro::UniquePtr<EVP_PKEY>;
using Cert = tessaro::UniquePtr<X509>;

// DER pieces.
using tessaro_test::Tlv;
Bytes Cat(const std::vector<Bytes>& parts);
Bytes Str(const std::string& s);

// The subject used by the tests: C=CN, O=Tessaro Bank, CN=张三 (UTF8String).
Bytes TestSubject();

using tessaro_test::pki::NewRsaKey;
using tessaro_test::pki::NewSm2Key;
Bytes RsaPublicKeyDer(EVP_PKEY* key);      // PKCS#1 RSAPublicKey
Bytes Sm2Point(EVP_PKEY* key);             // 04 || X || Y
Bytes Sm2ExchangeKeyRecord(EVP_PKEY* key); // the 136-byte record

enum class Hash { SHA1, MD5, SM3 };

struct RequestSpec {
    EVP_PKEY* signKey = nullptr;
    EVP_PKEY* exchangeKey = nullptr;  // type 2 when set
    Hash hash = Hash::SHA1;
    Bytes subject;                    // TestSubject() when empty
    std::string sm2Identity = "1234567812345678";
};

struct BuiltRequest {
    Bytes der;
    Bytes requestInfo;
    Bytes subjectPublicKeyInfo;
};

inline RequestSpec Spec(EVP_PKEY* signKey, EVP_PKEY* exchangeKey = nullptr, Hash hash = Hash::SHA1) {
    RequestSpec s;
    s.signKey = signKey;
    s.exchangeKey = exchangeKey;
    s.hash = hash;
    return s;
}

// A request in the agent's layout, signed with the signing key.
BuiltRequest BuildRequest(const RequestSpec& spec);
// Signs arbitrary CertificationRequestInfo bytes and wraps them.
Bytes SignAndWrap(const Bytes& requestInfo, EVP_PKEY* key, Hash hash, const std::string& sm2Identity);

// Base64 of the request as the agent returns it: 64-character lines joined by CR LF.
std::string AgentText(const Bytes& der);
std::string B64(const Bytes& der);
Bytes UnB64(const std::string& text);

// Runs the test CA program.
tessaro_test::ProcessResult RunCa(const std::vector<std::string>& args, const std::string& input = "");

// A fresh CA directory made with `init`, shared by the tests of one process.
const std::string& SharedCaDir();

Cert CertFromB64(const std::string& b64line);
Cert CertFromPemFile(const std::string& path);
Pkey PrivateKeyFromPem(const std::string& pem);
using tessaro_test::ReadFile;
void WriteFile(const std::string& path, const std::string& data);

// The string value of a key in a one-line JSON object printed by the tool.
std::string JsonString(const std::string& json, const std::string& key);

// Verifies a certificate's signature with a key; SM2 with the given identity.
bool VerifyCert(X509* cert, EVP_PKEY* key, const char* sm2Identity = nullptr);

Bytes CertSubjectDer(X509* cert);
Bytes CertSpkiDer(X509* cert);

}  // namespace testca_test
