#include "tools/testca/Der.h"

#include <cstring>

namespace testca {

bool DerElement::ContentEquals(const uint8_t* p, size_t n) const {
    return length == n && (n == 0 || std::memcmp(content, p, n) == 0);
}

bool ReadDerElement(const uint8_t* p, const uint8_t* end, DerElement& out, std::string& err) {
    if (p == nullptr || end < p || end - p < 2) {
        err = "DER element truncated before its length";
        return false;
    }
    size_t avail = static_cast<size_t>(end - p);
    uint8_t tag = p[0];
    if ((tag & 0x1F) == 0x1F) {
        err = "DER element with a multi-octet tag";
        return false;
    }
    size_t pos = 1;
    uint8_t first = p[pos++];
    size_t len = 0;
    if (first < 0x80) {
        len = first;
    } else if (first == 0x80) {
        err = "indefinite length is not DER";
        return false;
    } else {
        size_t count = first & 0x7F;
        if (count > 4) {
            err = "DER length field too long";
            return false;
        }
        if (avail - pos < count) {
            err = "DER element truncated inside its length";
            return false;
        }
        if (p[pos] == 0) {
            err = "DER length with a leading zero octet";
            return false;
        }
        for (size_t i = 0; i < count; ++i) len = len << 8 | p[pos + i];
        pos += count;
        if (len < 0x80) {
            err = "DER length in long form below 128";
            return false;
        }
    }
    if (len > avail - pos) {
        err = "DER element longer than its buffer";
        return false;
    }
    out.tag = tag;
    out.start = p;
    out.content = p + pos;
    out.length = len;
    out.size = pos + len;
    return true;
}

bool ReadDerWhole(const Bytes& buf, DerElement& out, std::string& err) {
    if (!ReadDerElement(buf.data(), buf.data() + buf.size(), out, err)) return false;
    if (out.size != buf.size()) {
        err = "bytes after the DER element";
        return false;
    }
    return true;
}

bool ReadDerChildren(const DerElement& parent, std::vector<DerElement>& children, std::string& err) {
    children.clear();
    if ((parent.tag & 0x20) == 0) {
        err = "DER element is not constructed";
        return false;
    }
    const uint8_t* p = parent.content;
    const uint8_t* end = parent.content + parent.length;
    while (p < end) {
        DerElement child;
        if (!ReadDerElement(p, end, child, err)) return false;
        children.push_back(child);
        p += child.size;
    }
    return true;
}

bool ReadDerUnsignedInteger(const DerElement& e, Bytes& magnitude, std::string& err) {
    if (e.tag != kTagInteger || e.length == 0) {
        err = "expected a non-empty INTEGER";
        return false;
    }
    if (e.content[0] & 0x80) {
        err = "negative INTEGER";
        return false;
    }
    if (e.length > 1 && e.content[0] == 0 && (e.content[1] & 0x80) == 0) {
        err = "INTEGER not in its shortest form";
        return false;
    }
    const uint8_t* p = e.content;
    size_t n = e.length;
    if (n > 1 && p[0] == 0) {
        ++p;
        --n;
    }
    magnitude.assign(p, p + n);
    return true;
}

void AppendDerLength(Bytes& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
        return;
    }
    uint8_t octets[sizeof(size_t)];
    size_t count = 0;
    for (size_t v = n; v != 0; v >>= 8) octets[count++] = static_cast<uint8_t>(v);
    out.push_back(static_cast<uint8_t>(0x80 | count));
    while (count) out.push_back(octets[--count]);
}

Bytes DerTlv(uint8_t tag, const Bytes& content) {
    Bytes out;
    out.reserve(content.size() + 6);
    out.push_back(tag);
    AppendDerLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes DerSequence(const std::vector<Bytes>& children) {
    Bytes content;
    for (const auto& c : children) content.insert(content.end(), c.begin(), c.end());
    return DerTlv(kTagSequence, content);
}

Bytes DerUnsignedInteger(const Bytes& magnitude) {
    size_t i = 0;
    while (i + 1 < magnitude.size() && magnitude[i] == 0) ++i;
    Bytes content;
    if (magnitude.empty()) {
        content.push_back(0);
    } else {
        if (magnitude[i] & 0x80) content.push_back(0);
        content.insert(content.end(), magnitude.begin() + static_cast<std::ptrdiff_t>(i), magnitude.end());
    }
    return DerTlv(kTagInteger, content);
}

Bytes DerSmallInteger(uint32_t v) {
    Bytes mag;
    for (int shift = 24; shift >= 0; shift -= 8) mag.push_back(static_cast<uint8_t>(v >> shift));
    return DerUnsignedInteger(mag);
}

}  // namespace testca
