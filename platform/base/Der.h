// The platform's DER reader and writer: elements read and written with every
// length checked against the buffer, strictly as DER requires (definite,
// minimal lengths). Certificates, PKCS#7, OIDs and times are read through
// OpenSSL; this is for the structures OpenSSL does not parse for us.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "win/windows.h"

namespace tessaro::der {

constexpr BYTE kTagInteger = 0x02;
constexpr BYTE kTagOctetString = 0x04;
constexpr BYTE kTagOid = 0x06;
constexpr BYTE kTagSequence = 0x30;

// A cursor over a DER buffer. Next() reads one element of the expected tag and
// hands out its content; any malformation leaves the reader failed.
class Reader {
public:
    Reader(const BYTE* p, size_t n) : m_p(p), m_end(p + n) {}

    bool Next(BYTE tag, const BYTE** content, size_t* len) {
        if (m_failed || m_end - m_p < 2 || m_p[0] != tag) return Fail();
        const BYTE* q = m_p + 1;
        size_t avail = static_cast<size_t>(m_end - q);
        size_t l = 0;
        BYTE first = *q++;
        --avail;
        if (first < 0x80) {
            l = first;
        } else {
            size_t nLen = first & 0x7F;
            // 0x80 is the indefinite form; more than 4 length octets never
            // describes anything that fits our buffers.
            if (nLen == 0 || nLen > 4 || nLen > avail) return Fail();
            if (q[0] == 0) return Fail();  // not minimal
            for (size_t i = 0; i < nLen; ++i) l = (l << 8) | q[i];
            if (l < 0x80) return Fail();  // long form where short would do
            q += nLen;
            avail -= nLen;
        }
        if (l > avail) return Fail();
        *content = q;
        *len = l;
        m_p = q + l;
        return true;
    }

    bool AtEnd() const { return !m_failed && m_p == m_end; }
    bool Failed() const { return m_failed; }

private:
    bool Fail() {
        m_failed = true;
        return false;
    }
    const BYTE* m_p;
    const BYTE* m_end;
    bool m_failed = false;
};

inline void AppendLength(std::vector<BYTE>& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<BYTE>(n));
        return;
    }
    BYTE tmp[4];
    int k = 0;
    while (n) {
        tmp[k++] = static_cast<BYTE>(n & 0xFF);
        n >>= 8;
    }
    out.push_back(static_cast<BYTE>(0x80 | k));
    while (k) out.push_back(tmp[--k]);
}

inline void AppendElement(std::vector<BYTE>& out, BYTE tag, const BYTE* p, size_t n) {
    out.push_back(tag);
    AppendLength(out, n);
    out.insert(out.end(), p, p + n);
}

// A non-negative INTEGER from big-endian magnitude bytes, in minimal form.
inline void AppendUnsignedInteger(std::vector<BYTE>& out, const BYTE* p, size_t n) {
    while (n > 1 && p[0] == 0) {
        ++p;
        --n;
    }
    std::vector<BYTE> c;
    if (n == 0 || (p[0] & 0x80)) c.push_back(0);
    c.insert(c.end(), p, p + n);
    AppendElement(out, kTagInteger, c.data(), c.size());
}

// Content of a non-negative INTEGER as a fixed-width big-endian number;
// false when negative, empty or too large for the width.
inline bool ReadUnsignedFixed(const BYTE* c, size_t n, BYTE* out, size_t width) {
    if (n == 0 || (c[0] & 0x80)) return false;
    while (n > 0 && c[0] == 0) {
        ++c;
        --n;
    }
    if (n > width) return false;
    for (size_t i = 0; i < width - n; ++i) out[i] = 0;
    for (size_t i = 0; i < n; ++i) out[width - n + i] = c[i];
    return true;
}

}  // namespace tessaro::der
