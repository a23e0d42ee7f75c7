#include "platform/base/Der.h"

namespace tessaro::der {

Error ParseElement(const BYTE* p, size_t n, Element* out) {
    if (p == nullptr || n == 0) return Error::kTruncated;
    const BYTE* q = p;
    const BYTE* end = p + n;
    BYTE tag = *q++;
    if ((tag & 0x1F) == 0x1F) {  // high tag number: its octets run to one without bit 8
        do {
            if (q == end) return Error::kTruncated;
        } while (*q++ & 0x80);
    }
    if (q == end) return Error::kTruncated;
    BYTE first = *q++;
    size_t len = first;
    if (first & 0x80) {
        size_t nLen = first & 0x7F;
        if (nLen == 0) return Error::kIndefinite;
        // More than four length octets never describes anything that fits
        // our buffers.
        if (nLen > 4) return Error::kTooLong;
        if (static_cast<size_t>(end - q) < nLen) return Error::kTruncated;
        len = 0;
        for (size_t i = 0; i < nLen; ++i) len = (len << 8) | q[i];
        if (q[0] == 0 || len < 0x80) return Error::kNonMinimal;
        q += nLen;
    }
    if (len > static_cast<size_t>(end - q)) return Error::kTruncated;
    out->tag = tag;
    out->header = p;
    out->content = q;
    out->len = len;
    return Error::kNone;
}

bool Reader::ReadAny(Element* out) {
    if (Failed()) return false;
    Element e;
    Error err = ParseElement(m_p, Remaining(), &e);
    if (err != Error::kNone) return Fail(err);
    m_p = e.end();
    *out = e;
    return true;
}

bool Reader::Read(BYTE tag, Element* out) {
    if (Failed()) return false;
    if (m_p == m_end) return Fail(Error::kTruncated);
    if (*m_p != tag) return Fail(Error::kUnexpectedTag);
    return ReadAny(out);
}

bool Reader::ReadOptional(BYTE tag, Element* out, bool* present) {
    *present = Peek(tag);
    return Failed() ? false : !*present || ReadAny(out);
}

bool Reader::Next(BYTE tag, const BYTE** content, size_t* len) {
    Element e;
    if (!Read(tag, &e)) return false;
    *content = e.content;
    *len = e.len;
    return true;
}

bool Reader::ExpectEnd() {
    if (Failed()) return false;
    return m_p == m_end || Fail(Error::kTrailingData);
}

void AppendLength(std::vector<BYTE>& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<BYTE>(n));
        return;
    }
    BYTE tmp[sizeof(size_t)];
    int k = 0;
    for (; n; n >>= 8) tmp[k++] = static_cast<BYTE>(n & 0xFF);
    out.push_back(static_cast<BYTE>(0x80 | k));
    while (k) out.push_back(tmp[--k]);
}

void AppendUnsignedInteger(std::vector<BYTE>& out, const BYTE* p, size_t n) {
    while (n > 1 && p[0] == 0) {
        ++p;
        --n;
    }
    std::vector<BYTE> c;
    if (n == 0 || (p[0] & 0x80)) c.push_back(0);
    c.insert(c.end(), p, p + n);
    AppendElement(out, kTagInteger, c);
}

namespace {

void AppendBase128(std::vector<BYTE>& out, unsigned long long v) {
    BYTE tmp[10];
    int k = 0;
    do {
        tmp[k++] = static_cast<BYTE>(v & 0x7F);
        v >>= 7;
    } while (v != 0);
    while (k > 1) out.push_back(static_cast<BYTE>(tmp[--k] | 0x80));
    out.push_back(tmp[0]);
}

}  // namespace

bool AppendOidContent(std::vector<BYTE>& out, const char* dotted) {
    if (dotted == nullptr || *dotted == 0) return false;
    std::vector<unsigned long long> arcs;
    for (const char* p = dotted;;) {
        if (*p < '0' || *p > '9') return false;
        unsigned long long v = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            unsigned d = static_cast<unsigned>(*p - '0');
            if (v > (~0ull - d) / 10) return false;
            v = v * 10 + d;
        }
        arcs.push_back(v);
        if (*p == 0) break;
        if (*p++ != '.') return false;
    }
    if (arcs.size() < 2 || arcs[0] > 2) return false;
    if (arcs[0] < 2 && arcs[1] >= 40) return false;
    if (arcs[1] > ~0ull - 80) return false;
    AppendBase128(out, arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) AppendBase128(out, arcs[i]);
    return true;
}

bool ReadUnsignedFixed(const BYTE* c, size_t n, BYTE* out, size_t width) {
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
