// A small DER reader for the fields CryptoAPI exposes byte for byte (names,
// serial numbers, parameters, extension values): OpenSSL validates the
// certificate, but CERT_INFO must carry the original encodings.
#include "platform/crypt32/Crypt32Internal.h"

namespace crypt32 {

HRESULT ReadTlv(const BYTE*& p, const BYTE* end, Tlv& out) {
    if (p == nullptr || p >= end) return CRYPT_E_ASN1_EOD;
    const BYTE* q = p;
    out.start = q;
    out.tag = *q++;
    if ((out.tag & 0x1F) == 0x1F) {  // high tag number: skip its octets
        while (true) {
            if (q >= end) return CRYPT_E_ASN1_EOD;
            BYTE b = *q++;
            if (!(b & 0x80)) break;
        }
    }
    if (q >= end) return CRYPT_E_ASN1_EOD;
    BYTE l = *q++;
    uint64_t len = 0;
    if (l < 0x80) {
        len = l;
    } else if (l == 0x80) {
        return CRYPT_E_ASN1_CORRUPT;  // indefinite length is not DER
    } else {
        int n = l & 0x7F;
        if (n > 4) return CRYPT_E_ASN1_LARGE;
        for (int i = 0; i < n; ++i) {
            if (q >= end) return CRYPT_E_ASN1_EOD;
            len = (len << 8) | *q++;
        }
    }
    uint64_t avail = static_cast<uint64_t>(end - q);
    if (len > avail) return CRYPT_E_ASN1_EOD;
    out.content = q;
    out.len = static_cast<size_t>(len);
    p = q + len;
    return S_OK;
}

HRESULT ReadTagged(const BYTE*& p, const BYTE* end, BYTE tag, Tlv& out) {
    if (p == nullptr || p >= end) return CRYPT_E_ASN1_EOD;
    if (*p != tag) return CRYPT_E_ASN1_BADTAG;
    return ReadTlv(p, end, out);
}

bool DecodeOid(const BYTE* p, size_t n, std::string& out) {
    out.clear();
    if (n == 0) return false;
    bool first = true;
    uint64_t v = 0;
    size_t digits = 0;
    for (size_t i = 0; i < n; ++i) {
        if (digits == 0 && p[i] == 0x80) return false;  // non-minimal
        if (v > (UINT64_MAX >> 7)) return false;
        v = (v << 7) | (p[i] & 0x7F);
        ++digits;
        if (!(p[i] & 0x80)) {
            if (first) {
                uint64_t a = v < 40 ? 0 : (v < 80 ? 1 : 2);
                out += std::to_string(a) + "." + std::to_string(v - a * 40);
                first = false;
            } else {
                out += "." + std::to_string(v);
            }
            v = 0;
            digits = 0;
        }
    }
    return digits == 0;
}

namespace {

bool Digits(const BYTE*& p, const BYTE* end, int n, int& v) {
    v = 0;
    for (int i = 0; i < n; ++i) {
        if (p >= end || *p < '0' || *p > '9') return false;
        v = v * 10 + (*p++ - '0');
    }
    return true;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int64_t DaysSince1601(int64_t y, int64_t m, int64_t d) { return DaysFromCivil(y, m, d) - DaysFromCivil(1601, 1, 1); }

}  // namespace

bool DecodeTime(const Tlv& t, FILETIME& ft) {
    const BYTE* p = t.content;
    const BYTE* end = t.content + t.len;
    int year = 0, mon = 0, day = 0, hour = 0, min = 0, sec = 0;
    if (t.tag == 0x17) {
        int yy;
        if (!Digits(p, end, 2, yy)) return false;
        year = yy >= 50 ? 1900 + yy : 2000 + yy;
    } else if (t.tag == 0x18) {
        if (!Digits(p, end, 4, year)) return false;
    } else {
        return false;
    }
    if (!Digits(p, end, 2, mon) || !Digits(p, end, 2, day) || !Digits(p, end, 2, hour) ||
        !Digits(p, end, 2, min))
        return false;
    if (p < end && *p >= '0' && *p <= '9') {
        if (!Digits(p, end, 2, sec)) return false;
    }
    int64_t fraction100ns = 0;
    if (t.tag == 0x18 && p < end && (*p == '.' || *p == ',')) {
        ++p;
        int64_t scale = 1000000;
        bool any = false;
        while (p < end && *p >= '0' && *p <= '9') {
            if (scale > 0) fraction100ns += (*p - '0') * scale;
            scale /= 10;
            ++p;
            any = true;
        }
        if (!any) return false;
    }
    int offsetMin = 0;
    if (p < end && *p == 'Z') {
        ++p;
    } else if (p < end && (*p == '+' || *p == '-')) {
        int sign = *p++ == '+' ? 1 : -1;
        int oh, om;
        if (!Digits(p, end, 2, oh) || !Digits(p, end, 2, om)) return false;
        offsetMin = sign * (oh * 60 + om);
    }
    if (p != end) return false;
    if (mon < 1 || mon > 12 || day < 1 || day > 31 || hour > 23 || min > 59 || sec > 60) return false;
    if (year < 1601) return false;
    int64_t days = DaysSince1601(year, mon, day);
    int64_t secs = days * 86400 + hour * 3600 + min * 60 + sec - offsetMin * 60;
    if (secs < 0) return false;
    uint64_t v = static_cast<uint64_t>(secs) * 10000000ull + static_cast<uint64_t>(fraction100ns);
    ft.dwLowDateTime = static_cast<DWORD>(v);
    ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
    return true;
}

std::u16string Utf8To16(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) return {};
    std::u16string r(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), r.data(), n);
    return r;
}

}  // namespace crypt32
