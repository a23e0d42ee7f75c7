// Distinguished names as text, the way CryptoAPI renders them: attribute
// short names (CN, O, OU, ...), OID.x.y.z for the others, its quoting rules
// and separators.
#include <cstring>
#include <new>

#include "platform/crypt32/Crypt32Internal.h"

namespace crypt32 {

namespace {

struct AttrName {
    const char* oid;
    const char16_t* name;
};

const AttrName kAttrNames[] = {
    {"2.5.4.3", u"CN"},
    {"2.5.4.7", u"L"},
    {"2.5.4.10", u"O"},
    {"2.5.4.11", u"OU"},
    {"1.2.840.113549.1.9.1", u"E"},
    {"2.5.4.6", u"C"},
    {"2.5.4.8", u"S"},
    {"2.5.4.9", u"STREET"},
    {"2.5.4.12", u"T"},
    {"2.5.4.42", u"G"},
    {"2.5.4.43", u"I"},
    {"2.5.4.4", u"SN"},
    {"0.9.2342.19200300.100.1.25", u"DC"},
    {"2.5.4.5", u"SERIALNUMBER"},
    {"2.5.4.17", u"POSTALCODE"},
    {"2.5.4.13", u"Description"},
    {"2.5.4.18", u"POBox"},
    {"2.5.4.20", u"Phone"},
    {"2.5.4.24", u"X21Address"},
    {"2.5.4.46", u"dnQualifier"},
    {"1.2.840.113549.1.9.2", u"UnstructuredName"},
    {"1.2.840.113549.1.9.8", u"UnstructuredAddress"},
};

const char16_t* ShortName(const std::string& oid) {
    for (const auto& a : kAttrNames)
        if (oid == a.oid) return a.name;
    return nullptr;
}

void AppendCodePoint(std::u16string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<char16_t>(cp);
    }
}

// Strict UTF-8 check (no overlongs, no surrogates).
bool ValidUtf8(const BYTE* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        BYTE b = p[i];
        size_t k;
        uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            k = 1;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            k = 2;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            k = 3;
            cp = b & 0x07;
        } else {
            return false;
        }
        for (size_t j = 1; j <= k; ++j) {
            if (i + j >= n || (p[i + j] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + j] & 0x3F);
        }
        if ((k == 1 && cp < 0x80) || (k == 2 && cp < 0x800) || (k == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += k + 1;
    }
    return true;
}

std::u16string HexOf(const BYTE* p, size_t n) {
    static const char16_t hex[] = u"0123456789ABCDEF";
    std::u16string s;
    for (size_t i = 0; i < n; ++i) {
        s += hex[p[i] >> 4];
        s += hex[p[i] & 15];
    }
    return s;
}

// Empty values, values with a blank at either end, and values holding any of
// , + = " newline < > # ; are quoted.
bool NeedsQuotes(const std::u16string& v) {
    if (v.empty()) return true;
    if (v.front() == u' ' || v.back() == u' ') return true;
    for (char16_t c : v)
        if (c == u',' || c == u'+' || c == u'=' || c == u'"' || c == u'\n' || c == u'<' || c == u'>' || c == u'#' ||
            c == u';')
            return true;
    return false;
}

}  // namespace

HRESULT ParseName(const BYTE* p, size_t n, std::vector<NameRdn>& out) {
    out.clear();
    Element seq;
    der::Error err = der::Error::kNone;
    if (!der::ReadWhole(p, n, der::kTagSequence, &seq, &err)) return Asn1Code(err);
    for (der::Reader rdns(seq); !rdns.Empty();) {
        Element set;
        if (!rdns.Read(der::kTagSet, &set)) return Asn1Code(rdns);
        NameRdn rdn;
        for (der::Reader atvs(set); !atvs.Empty();) {
            Element atv, oid, val;
            if (!atvs.Read(der::kTagSequence, &atv)) return Asn1Code(atvs);
            der::Reader r(atv);
            if (!r.Read(der::kTagOid, &oid) || !r.ReadAny(&val) || !r.ExpectEnd()) return Asn1Code(r);
            NameAttr a;
            if (!DecodeOid(oid, a.oid)) return CRYPT_E_ASN1_CORRUPT;
            a.value = val;
            rdn.push_back(std::move(a));
        }
        out.push_back(std::move(rdn));
    }
    return S_OK;
}

bool ValueToText(const NameAttr& a, std::u16string& out) {
    out.clear();
    const BYTE* p = a.value.content;
    size_t n = a.value.len;
    switch (a.value.tag) {
        case 0x0C:  // UTF8String
            if (n) out = Utf8To16(std::string(reinterpret_cast<const char*>(p), n));
            return true;
        case 0x14:  // TeletexString: UTF-8 when it is valid UTF-8, else Latin-1
            if (ValidUtf8(p, n)) {
                if (n) out = Utf8To16(std::string(reinterpret_cast<const char*>(p), n));
                return true;
            }
            [[fallthrough]];
        case 0x12:  // NumericString
        case 0x13:  // PrintableString
        case 0x15:  // VideotexString
        case 0x16:  // IA5String
        case 0x19:  // GraphicString
        case 0x1A:  // VisibleString
        case 0x1B:  // GeneralString
            for (size_t i = 0; i < n; ++i) out += static_cast<char16_t>(p[i]);
            return true;
        case 0x1E:  // BMPString, big-endian
            for (size_t i = 0; i + 1 < n; i += 2) out += static_cast<char16_t>((p[i] << 8) | p[i + 1]);
            return true;
        case 0x1C:  // UniversalString, big-endian UCS-4
            for (size_t i = 0; i + 3 < n; i += 4)
                AppendCodePoint(out, (static_cast<uint32_t>(p[i]) << 24) | (p[i + 1] << 16) | (p[i + 2] << 8) |
                                         p[i + 3]);
            return true;
        default:
            return false;
    }
}

std::u16string NameToString(const std::vector<NameRdn>& rdns, DWORD strType) {
    DWORD type = strType & 0xFFFF;
    bool quote = !(strType & CERT_NAME_STR_NO_QUOTING_FLAG);
    const char16_t* rdnSep = u", ";
    if (strType & CERT_NAME_STR_SEMICOLON_FLAG)
        rdnSep = u"; ";
    else if (strType & CERT_NAME_STR_CRLF_FLAG)
        rdnSep = u"\r\n";
    const char16_t* plusSep = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";
    std::u16string out;
    size_t count = rdns.size();
    for (size_t k = 0; k < count; ++k) {
        const NameRdn& rdn = (strType & CERT_NAME_STR_REVERSE_FLAG) ? rdns[count - 1 - k] : rdns[k];
        if (k) out += rdnSep;
        for (size_t j = 0; j < rdn.size(); ++j) {
            const NameAttr& a = rdn[j];
            if (j) out += plusSep;
            if (type == CERT_OID_NAME_STR) {
                out += Utf8To16(a.oid) + u"=";
            } else if (type == CERT_X500_NAME_STR) {
                const char16_t* sn = ShortName(a.oid);
                out += sn ? std::u16string(sn) : u"OID." + Utf8To16(a.oid);
                out += u"=";
            }
            std::u16string v;
            if (!ValueToText(a, v)) {
                out += u"#" + HexOf(a.value.header, a.value.size());
                continue;
            }
            if (quote && NeedsQuotes(v)) {
                out += u'"';
                for (char16_t c : v) {
                    if (c == u'"') out += u'"';
                    out += c;
                }
                out += u'"';
            } else {
                out += v;
            }
        }
    }
    return out;
}

}  // namespace crypt32

using namespace crypt32;

namespace {

// Copies text into the caller's buffer as CryptoAPI does: the size with the
// terminator when no buffer is given, else as much as fits, always terminated.
DWORD ReturnString(const std::u16string& s, LPWSTR psz, DWORD csz) {
    DWORD need = static_cast<DWORD>(s.size()) + 1;
    if (!psz || csz == 0) return need;
    DWORD n = need <= csz ? need - 1 : csz - 1;
    memcpy(psz, s.data(), n * sizeof(WCHAR));
    psz[n] = 0;
    return n + 1;
}

// First value of the attribute with the given OID, in encoded order.
bool FindAttr(const std::vector<NameRdn>& rdns, const char* oid, std::u16string& out) {
    for (const auto& rdn : rdns)
        for (const auto& a : rdn)
            if (a.oid == oid && ValueToText(a, out)) return true;
    return false;
}

// First general name of the given context tag in an alternative-name extension.
bool FindAltName(const CERT_INFO* ci, bool issuer, BYTE tag, std::u16string& out) {
    const char* oid = issuer ? "2.5.29.18" : "2.5.29.17";
    for (DWORD i = 0; i < ci->cExtension; ++i) {
        const CERT_EXTENSION& e = ci->rgExtension[i];
        if (!e.pszObjId || strcmp(e.pszObjId, oid) != 0 || !e.Value.pbData) continue;
        Element seq, gn;
        der::Reader outer(e.Value.pbData, e.Value.cbData);
        if (!outer.Read(der::kTagSequence, &seq)) return false;
        for (der::Reader names(seq); !names.Empty();) {
            if (!names.ReadAny(&gn)) return false;
            if (gn.tag == tag) {
                out.clear();
                for (size_t k = 0; k < gn.len; ++k) out += static_cast<char16_t>(gn.content[k]);
                return true;
            }
        }
    }
    return false;
}

}  // namespace

DWORD CertNameToStrW(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPWSTR psz, DWORD csz) try {
    if (psz && csz) psz[0] = 0;
    if (!pName) {
        SetError(E_INVALIDARG);
        return 1;
    }
    DWORD type = dwStrType & 0xFFFF;
    if (type != CERT_SIMPLE_NAME_STR && type != CERT_OID_NAME_STR && type != CERT_X500_NAME_STR) {
        SetError(E_INVALIDARG);
        return 1;
    }
    std::vector<NameRdn> rdns;
    HRESULT hr = ParseName(pName->pbData, pName->cbData, rdns);
    if (FAILED(hr)) {
        SetError(hr);
        return 1;
    }
    return ReturnString(NameToString(rdns, dwStrType), psz, csz);
} catch (const std::bad_alloc&) {
    if (psz && csz) psz[0] = 0;
    SetError(E_OUTOFMEMORY);
    return 1;
}

DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPWSTR pszNameString, DWORD cchNameString) try {
    if (pszNameString && cchNameString) pszNameString[0] = 0;
    ApiLock g;
    ContextImpl* c = CheckedContext(pCertContext);
    if (!c) return 1;
    const CERT_INFO* ci = &c->data->info;
    bool issuer = (dwFlags & CERT_NAME_ISSUER_FLAG) != 0;
    const CERT_NAME_BLOB& nameBlob = issuer ? ci->Issuer : ci->Subject;
    std::vector<NameRdn> rdns;
    if (FAILED(ParseName(nameBlob.pbData, nameBlob.cbData, rdns))) rdns.clear();
    std::u16string s;
    switch (dwType) {
        case CERT_NAME_EMAIL_TYPE:
            if (!FindAltName(ci, issuer, 0x81, s)) FindAttr(rdns, "1.2.840.113549.1.9.1", s);
            break;
        case CERT_NAME_RDN_TYPE: {
            DWORD strType = pvTypePara ? *static_cast<const DWORD*>(pvTypePara) : CERT_SIMPLE_NAME_STR;
            if ((strType & 0xFFFF) == 0) strType |= CERT_SIMPLE_NAME_STR;
            s = NameToString(rdns, strType);
            break;
        }
        case CERT_NAME_ATTR_TYPE:
            if (!pvTypePara) {
                SetError(E_INVALIDARG);
                return ReturnString(u"", pszNameString, cchNameString);
            }
            if (!FindAttr(rdns, static_cast<const char*>(pvTypePara), s) &&
                strcmp(static_cast<const char*>(pvTypePara), "1.2.840.113549.1.9.1") == 0)
                FindAltName(ci, issuer, 0x81, s);
            break;
        case CERT_NAME_FRIENDLY_DISPLAY_TYPE:
            if (!issuer) {
                auto it = c->props.find(CERT_FRIENDLY_NAME_PROP_ID);
                if (it != c->props.end() && it->second.data.size() >= 2) {
                    const Bytes& b = it->second.data;
                    for (size_t i = 0; i + 1 < b.size(); i += 2) {
                        char16_t ch = static_cast<char16_t>(b[i] | (b[i + 1] << 8));
                        if (!ch) break;
                        s += ch;
                    }
                    if (!s.empty()) break;
                }
            }
            [[fallthrough]];
        case CERT_NAME_SIMPLE_DISPLAY_TYPE:
            if (!FindAttr(rdns, "2.5.4.3", s) && !FindAttr(rdns, "2.5.4.11", s) && !FindAttr(rdns, "2.5.4.10", s) &&
                !FindAttr(rdns, "1.2.840.113549.1.9.1", s) && !FindAltName(ci, issuer, 0x81, s)) {
                // Nothing preferred: the first attribute that is text.
                for (const auto& rdn : rdns) {
                    bool found = false;
                    for (const auto& a : rdn)
                        if (ValueToText(a, s)) {
                            found = true;
                            break;
                        }
                    if (found) break;
                }
            }
            break;
        case CERT_NAME_DNS_TYPE:
            if (!FindAltName(ci, issuer, 0x82, s)) FindAttr(rdns, "2.5.4.3", s);
            break;
        case CERT_NAME_URL_TYPE:
            FindAltName(ci, issuer, 0x86, s);
            break;
        default:
            SetError(E_INVALIDARG);
            return ReturnString(u"", pszNameString, cchNameString);
    }
    return ReturnString(s, pszNameString, cchNameString);
} catch (const std::bad_alloc&) {
    if (pszNameString && cchNameString) pszNameString[0] = 0;
    SetError(E_OUTOFMEMORY);
    return 1;
}
