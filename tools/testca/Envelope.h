// The encrypted key envelope a CA returns with an encryption certificate.
#pragma once

#include <string>

#include "Authority.h"
#include "Request.h"

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
};

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
