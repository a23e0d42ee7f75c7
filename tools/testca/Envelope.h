// The encrypted key envelope a CA returns with an encryption certificate.
#pragma once

#include <set>
#include <string>

#include "tools/testca/Authority.h"
#include "tools/testca/Request.h"

namespace testca {

struct EnvelopeOptions {
    int bits = 0;                  // RSA key size; 0: that of the request's signing key
    bool c1c2c3 = false;           // SM2 ciphertext order; C1C3C2 unless set
    long long deviceType = 1;
    long long encryptType = 1;
    long long sessionKeyType = -1; // -1: 306 (3DES) for RSA, 0 (none) for SM2
    size_t sessionKeyBytes = 24;   // 24, or 32 (a 3DES key followed by 8 more bytes)
    uint32_t partInteger = 1;      // the INTEGER before each encrypted part
    int days = 365;
    std::set<std::string> defects;  // names from EnvelopeDefectNames()
};

// Deliberate faults for envelopes the agent must refuse:
//   session-no-comma, key-no-comma          the part lacks its final comma
//   session-one-element, key-one-element    SEQUENCE { OCTET STRING }
//   session-three-elements, key-three-elements
//                                           SEQUENCE { INTEGER, OCTET STRING, NULL }
//   session-length-plus-one, key-length-plus-one
//                                           the length field says one more
//   truncated                               only the first 40 characters
const std::set<std::string>& EnvelopeDefectNames();

struct EnvelopeResult {
    X509Ptr certificate;
    EvpPkeyPtr privateKey;
    std::string text;
};

constexpr long long kMaxFieldValue = 9999999999999999LL;

// One fixed-width numeric field: 16 decimal digits, zero-padded.
std::string EnvelopeField(long long value);

bool BuildEnvelope(const Issuer& issuer, const ParsedRequest& request, const EnvelopeOptions& options,
                   EnvelopeResult& out, std::string& err);

}  // namespace testca
