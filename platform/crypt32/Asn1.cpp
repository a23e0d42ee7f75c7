// CryptoAPI's ASN.1 codes for the platform reader's failures, and the values
// OpenSSL reads for us: object identifiers and times.
#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <ctime>
#include <mutex>
#include <unordered_map>

#include "platform/base/OpenSslPtr.h"
#include "platform/crypt32/Crypt32Internal.h"

namespace crypt32 {

HRESULT Asn1Code(der::Error e) {
    switch (e) {
        case der::Error::kNone: return S_OK;
        case der::Error::kTruncated: return CRYPT_E_ASN1_EOD;
        case der::Error::kUnexpectedTag: return CRYPT_E_ASN1_BADTAG;
        case der::Error::kTooLong: return CRYPT_E_ASN1_LARGE;
        case der::Error::kIndefinite:
        case der::Error::kNonMinimal:
        case der::Error::kTrailingData: break;
    }
    return CRYPT_E_ASN1_CORRUPT;
}

namespace {

bool OidText(const Element& oid, std::string& out) {
    const unsigned char* p = oid.header;
    tessaro::UniquePtr<ASN1_OBJECT> obj(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid.size())));
    if (!obj) return false;
    int n = OBJ_obj2txt(nullptr, 0, obj.get(), 1);
    if (n <= 0) return false;
    out.assign(static_cast<size_t>(n) + 1, '\0');
    OBJ_obj2txt(out.data(), n + 1, obj.get(), 1);
    out.resize(static_cast<size_t>(n));
    return true;
}

}  // namespace

bool DecodeOid(const Element& oid, std::string& out) {
    out.clear();
    if (oid.tag != der::kTagOid) return false;
    // A certificate names the same few algorithms and extensions over and
    // over, and OpenSSL's conversion takes its global object lock each time:
    // the texts are remembered by their encoding. Bounded, so that a stream of
    // made-up identifiers cannot grow it.
    static std::mutex mutex;
    static std::unordered_map<std::string, std::string> known;
    const std::string key(reinterpret_cast<const char*>(oid.header), oid.size());
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = known.find(key);
        if (it != known.end()) {
            out = it->second;
            return true;
        }
    }
    if (!OidText(oid, out)) return false;
    std::lock_guard<std::mutex> lock(mutex);
    if (known.size() < 512) known.emplace(key, out);
    return true;
}

bool DecodeTime(const Element& t, FILETIME& ft) {
    if (t.tag != der::kTagUtcTime && t.tag != der::kTagGeneralizedTime) return false;
    const unsigned char* p = t.header;
    tessaro::UniquePtr<ASN1_STRING> time(d2i_ASN1_TIME(nullptr, &p, static_cast<long>(t.size())));
    struct tm tm {};
    if (!time || !ASN1_TIME_to_tm(time.get(), &tm)) return false;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(tm.tm_year + 1900);
    st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st.wDay = static_cast<WORD>(tm.tm_mday);
    st.wHour = static_cast<WORD>(tm.tm_hour);
    st.wMinute = static_cast<WORD>(tm.tm_min);
    st.wSecond = static_cast<WORD>(tm.tm_sec);
    if (tm.tm_year + 1900 < 1601 || !SystemTimeToFileTime(&st, &ft)) return false;
    // OpenSSL reads fractions of a second but does not keep them; FILETIME
    // counts 100ns.
    const BYTE* dot = t.content;
    while (dot < t.end() && *dot != '.') ++dot;
    uint64_t fraction = 0;
    uint64_t scale = 1000000;
    if (dot != t.end())
        for (const BYTE* d = dot + 1; d < t.end() && *d >= '0' && *d <= '9' && scale; ++d, scale /= 10)
            fraction += static_cast<uint64_t>(*d - '0') * scale;
    uint64_t v = ((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) + fraction;
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
