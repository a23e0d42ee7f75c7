// Reading and checking the enrollment agent's PKCS#10 requests.
#pragma once

#include <string>

#include "tools/testca/Der.h"
#include "tools/testca/Util.h"

namespace testca {

enum class KeyAlgorithm { RSA, SM2 };

struct ParsedRequest {
    KeyAlgorithm algorithm = KeyAlgorithm::RSA;
    Bytes der;                        // the whole CertificationRequest
    Bytes requestInfo;                // CertificationRequestInfo, tag and length included
    Bytes subject;                    // the Name element
    Bytes subjectPublicKeyInfo;
    EvpPkeyPtr publicKey;
    int publicKeyBits = 0;
    std::string signatureAlgorithm;   // OpenSSL's long name of the algorithm
    bool hasChallengePassword = false;
    std::string challengePassword;
    bool hasExchangeKey = false;
    Bytes exchangeKeyData;            // DER RSAPublicKey, or the 136-byte SM2 exchange key record
    EvpPkeyPtr exchangeKey;
    int exchangeKeyBits = 0;
    bool attributesInSet = false;     // standard form: attribute values wrapped in a SET
};

// Base64 text (CR LF line breaks and PEM armour allowed) to DER.
bool DecodeRequestText(const std::string& text, Bytes& der, std::string& err);

// Parses the request and verifies its signature with the key it carries.
bool ParseAndVerifyRequest(const Bytes& der, ParsedRequest& out, std::string& err);

// Public keys from the forms they take in requests.
bool RsaPublicKeyFromDer(const Bytes& rsaPublicKey, EvpPkeyPtr& out, std::string& err);
bool Sm2PublicKeyFromPoint(const uint8_t* x, const uint8_t* y, EvpPkeyPtr& out, std::string& err);

}  // namespace testca
