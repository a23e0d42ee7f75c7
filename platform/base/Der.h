// The platform's DER reader and writer, after BoringSSL's CBS/CBB: elements
// read with every length checked against the buffer, strictly as DER requires
// (definite, minimal lengths), and written in that form. Certificates,
// PKCS#7, OIDs and times are read through OpenSSL; this is for the structures
// OpenSSL does not parse for us and for the original encodings CryptoAPI
// hands out byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "win/windows.h"

namespace tessaro::der {

constexpr BYTE kTagBoolean = 0x01;
constexpr BYTE kTagInteger = 0x02;
constexpr BYTE kTagBitString = 0x03;
constexpr BYTE kTagOctetString = 0x04;
constexpr BYTE kTagOid = 0x06;
constexpr BYTE kTagUtf8String = 0x0C;
constexpr BYTE kTagBmpString = 0x1E;
constexpr BYTE kTagUtcTime = 0x17;
constexpr BYTE kTagGeneralizedTime = 0x18;
constexpr BYTE kTagSequence = 0x30;
constexpr BYTE kTagSet = 0x31;
// [n] IMPLICIT of a primitive type, and [n] EXPLICIT (constructed).
constexpr BYTE ContextTag(int n) { return static_cast<BYTE>(0x80 | n); }
constexpr BYTE ContextConstructed(int n) { return static_cast<BYTE>(0xA0 | n); }

// Why an element could not be read.
enum class Error : uint8_t {
    kNone,
    kTruncated,      // the data ends inside the element or its header
    kIndefinite,     // the indefinite length form, which DER forbids
    kNonMinimal,     // a long length form where a shorter one would do
    kTooLong,        // more than four length octets
    kUnexpectedTag,  // another tag than the one asked for
    kTrailingData,   // bytes after what should have been the last element
};

// One element: its first tag octet, where its header starts (for the original
// encoding) and its content.
struct Element {
    BYTE tag = 0;
    const BYTE* header = nullptr;
    const BYTE* content = nullptr;
    size_t len = 0;
    const BYTE* end() const { return content + len; }
    size_t size() const { return static_cast<size_t>(end() - header); }
};

// Decodes the element starting at p, n bytes available: the platform's one
// reading of DER tags and lengths. High tag numbers are skipped over; the tag
// kept is the first octet.
Error ParseElement(const BYTE* p, size_t n, Element* out);

// A cursor over a DER buffer. The first malformation leaves the reader failed
// with its reason; every later read fails with it too.
class Reader {
public:
    // A null buffer reads as empty, whatever its length.
    Reader(const BYTE* p, size_t n) : m_p(p), m_end(p ? p + n : p) {}
    explicit Reader(const Element& e) : Reader(e.content, e.len) {}

    // One element of the given tag, whole.
    bool Read(BYTE tag, Element* out);
    // One element of whatever tag.
    bool ReadAny(Element* out);
    // The next element when it has the given tag; true with *present false
    // when it has another or the data is used up.
    bool ReadOptional(BYTE tag, Element* out, bool* present);
    // One element of the given tag, its content only.
    bool Next(BYTE tag, const BYTE** content, size_t* len);
    // Fails unless everything was read.
    bool ExpectEnd();

    bool Peek(BYTE tag) const { return !Failed() && m_p != m_end && *m_p == tag; }
    bool Empty() const { return m_p == m_end; }
    bool AtEnd() const { return !Failed() && m_p == m_end; }
    bool Failed() const { return m_error != Error::kNone; }
    Error error() const { return m_error; }
    const BYTE* Position() const { return m_p; }
    size_t Remaining() const { return static_cast<size_t>(m_end - m_p); }

private:
    bool Fail(Error e) {
        if (m_error == Error::kNone) m_error = e;
        return false;
    }
    const BYTE* m_p;
    const BYTE* m_end;
    Error m_error = Error::kNone;
};

// Reads all of p..p+n as one element of the given tag.
inline bool ReadWhole(const BYTE* p, size_t n, BYTE tag, Element* out, Error* err) {
    Reader r(p, n);
    bool ok = r.Read(tag, out) && r.ExpectEnd();
    *err = r.error();
    return ok;
}

void AppendLength(std::vector<BYTE>& out, size_t n);

inline void AppendElement(std::vector<BYTE>& out, BYTE tag, const BYTE* p, size_t n) {
    out.push_back(tag);
    AppendLength(out, n);
    if (n) out.insert(out.end(), p, p + n);
}

inline void AppendElement(std::vector<BYTE>& out, BYTE tag, const std::vector<BYTE>& content) {
    AppendElement(out, tag, content.data(), content.size());
}

// A non-negative INTEGER from big-endian magnitude bytes, in minimal form.
void AppendUnsignedInteger(std::vector<BYTE>& out, const BYTE* p, size_t n);

// OBJECT IDENTIFIER content octets from dotted text: at least two decimal
// arcs, the first 0..2, the second below 40 unless the first is 2. False,
// with nothing appended, for anything else.
bool AppendOidContent(std::vector<BYTE>& out, const char* dotted);

// Content of a non-negative INTEGER as a fixed-width big-endian number;
// false when negative, empty or too large for the width.
bool ReadUnsignedFixed(const BYTE* c, size_t n, BYTE* out, size_t width);

}  // namespace tessaro::der
