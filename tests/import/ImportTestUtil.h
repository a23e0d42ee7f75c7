// Builders of envelope texts and DER pieces for the import tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "import/ImportEncryptCert.h"
#include "tests/support/TestSupport.h"

namespace importenc_test {

using Bytes = std::vector<uint8_t>;

inline std::u16string W(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A 16-character field, zero-padded.
inline std::string Field(long long v) {
    std::string s = std::to_string(v);
    return std::string(16 - s.size(), '0') + s;
}

using tessaro_test::Tlv;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// SEQUENCE { INTEGER 1, OCTET STRING data }: what each envelope part wraps.
inline Bytes Wrapped(const Bytes& data) { return Tlv(0x30, Cat({Tlv(0x02, {0x01}), Tlv(0x04, data)})); }

inline std::string Base64(const Bytes& b) { return tessaro_test::Base64Encode(b); }

// Length field and part text (the part as given, comma included or not).
inline std::string LengthAndPart(const std::string& part) { return Field(static_cast<long long>(part.size())) + part; }

inline std::string Envelope(long long device, long long encrypt, long long session, const std::string& sessionPart,
                            const std::string& keyPart) {
    return Field(device) + Field(encrypt) + Field(session) + LengthAndPart(sessionPart) + LengthAndPart(keyPart);
}

inline Bytes Sequential(size_t n, uint8_t start) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
    return b;
}

inline Bytes ToBytes(const BYTE* p, DWORD n) { return p ? Bytes(p, p + n) : Bytes(); }

}  // namespace importenc_test
