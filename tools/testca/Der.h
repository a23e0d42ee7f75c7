// Strict DER reading and a few writing helpers for the test CA. The CA reads
// requests with its own reader because double-certificate requests carry
// attribute values outside a SET, which OpenSSL's request parser refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testca {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagBitString = 0x03;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagNull = 0x05;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagPrintableString = 0x13;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagSet = 0x31;
constexpr uint8_t kTagContext0 = 0xA0;

// One element inside a buffer that outlives it.
struct DerElement {
    uint8_t tag = 0;
    const uint8_t* start = nullptr;    // the tag octet
    size_t size = 0;                   // tag, length octets and content
    const uint8_t* content = nullptr;
    size_t length = 0;

    Bytes Whole() const { return Bytes(start, start + size); }
    Bytes Content() const { return Bytes(content, content + length); }
    bool ContentEquals(const uint8_t* p, size_t n) const;
};

// Reads the element at p; only single-octet tags and minimal definite lengths
// are DER, everything else is refused with a message in err.
bool ReadDerElement(const uint8_t* p, const uint8_t* end, DerElement& out, std::string& err);

// Reads a buffer that must hold exactly one element and nothing after it.
bool ReadDerWhole(const Bytes& buf, DerElement& out, std::string& err);

// The children of a constructed element; they must fill its content exactly.
bool ReadDerChildren(const DerElement& parent, std::vector<DerElement>& children, std::string& err);

// Content of a non-negative INTEGER without its sign octet; refuses negative
// and non-minimal encodings.
bool ReadDerUnsignedInteger(const DerElement& e, Bytes& magnitude, std::string& err);

void AppendDerLength(Bytes& out, size_t n);
Bytes DerTlv(uint8_t tag, const Bytes& content);
Bytes DerSequence(const std::vector<Bytes>& children);
// A non-negative INTEGER from big-endian magnitude bytes (leading zeros dropped).
Bytes DerUnsignedInteger(const Bytes& magnitude);
Bytes DerSmallInteger(uint32_t v);

}  // namespace testca
