// Certificate contexts: decoding into CERT_INFO, reference counting, and the
// comparison, hashing and validity helpers that work on decoded certificates.
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

#include "platform/base/CheckedCertificates.h"
#include "platform/base/OpenSslPtr.h"
#include "platform/crypt32/Crypt32Internal.h"

namespace crypt32 {

namespace {

constexpr uint32_t kContextMagic = 0x43545843;  // "CXTC"

std::unordered_set<const void*>& LiveContexts() { return HandedOut<ContextImpl>(); }

HRESULT ParseAlgorithm(const Element& seq, std::string& oid, CRYPT_ALGORITHM_IDENTIFIER& alg) {
    der::Reader r(seq);
    Element o, par;
    if (!r.Read(der::kTagOid, &o)) return Asn1Code(r);
    if (!DecodeOid(o, oid)) return CRYPT_E_ASN1_CORRUPT;
    alg.Parameters.cbData = static_cast<DWORD>(r.Remaining());
    alg.Parameters.pbData = r.Empty() ? nullptr : const_cast<BYTE*>(r.Position());
    // The parameters must be one element.
    if (!r.Empty() && (!r.ReadAny(&par) || !r.ExpectEnd())) return Asn1Code(r);
    return S_OK;
}

HRESULT ParseBitString(const Element& t, CRYPT_BIT_STRING_BLOB& b) {
    if (t.len < 1 || t.content[0] > 7) return CRYPT_E_ASN1_CORRUPT;
    b.cUnusedBits = t.content[0];
    b.cbData = static_cast<DWORD>(t.len - 1);
    b.pbData = b.cbData ? const_cast<BYTE*>(t.content + 1) : nullptr;
    if (b.cbData == 0 && b.cUnusedBits != 0) return CRYPT_E_ASN1_CORRUPT;
    return S_OK;
}

CERT_NAME_BLOB Encoded(const Element& e) {
    return {static_cast<DWORD>(e.size()), const_cast<BYTE*>(e.header)};
}

HRESULT ParseValidity(const Element& t, CERT_INFO& ci) {
    der::Reader r(t);
    Element nb, na;
    if (!r.ReadAny(&nb) || !r.ReadAny(&na) || !r.ExpectEnd()) return Asn1Code(r);
    auto isTime = [](const Element& e) { return e.tag == der::kTagUtcTime || e.tag == der::kTagGeneralizedTime; };
    if (!isTime(nb) || !isTime(na)) return CRYPT_E_ASN1_BADTAG;
    if (!DecodeTime(nb, ci.NotBefore) || !DecodeTime(na, ci.NotAfter)) return CRYPT_E_ASN1_CORRUPT;
    return S_OK;
}

HRESULT ParseSpki(CertData& d, const Element& t) {
    d.spkiStart = t.header;
    d.spkiLen = t.size();
    der::Reader r(t);
    Element alg, key;
    if (!r.Read(der::kTagSequence, &alg)) return Asn1Code(r);
    if (HRESULT hr = ParseAlgorithm(alg, d.spkiOid, d.info.SubjectPublicKeyInfo.Algorithm); FAILED(hr)) return hr;
    if (!r.Read(der::kTagBitString, &key) || !r.ExpectEnd()) return Asn1Code(r);
    return ParseBitString(key, d.info.SubjectPublicKeyInfo.PublicKey);
}

HRESULT ParseExtensions(CertData& d, const Element& wrap) {
    der::Reader w(wrap);
    Element seq;
    if (!w.Read(der::kTagSequence, &seq) || !w.ExpectEnd()) return Asn1Code(w);
    for (der::Reader exts(seq); !exts.Empty();) {
        Element ext, oid, critical, val;
        if (!exts.Read(der::kTagSequence, &ext)) return Asn1Code(exts);
        der::Reader r(ext);
        bool hasCritical = false;
        if (!r.Read(der::kTagOid, &oid)) return Asn1Code(r);
        std::string s;
        if (!DecodeOid(oid, s)) return CRYPT_E_ASN1_CORRUPT;
        CERT_EXTENSION e{};
        if (!r.ReadOptional(der::kTagBoolean, &critical, &hasCritical)) return Asn1Code(r);
        if (hasCritical) {
            if (critical.len != 1) return CRYPT_E_ASN1_CORRUPT;
            e.fCritical = critical.content[0] ? TRUE : FALSE;
        }
        if (!r.Read(der::kTagOctetString, &val) || !r.ExpectEnd()) return Asn1Code(r);
        e.Value.cbData = static_cast<DWORD>(val.len);
        e.Value.pbData = val.len ? const_cast<BYTE*>(val.content) : nullptr;
        d.extOids.push_back(std::move(s));
        d.exts.push_back(e);
    }
    return S_OK;
}

HRESULT ParseTbs(CertData& d, const Element& tbs) {
    der::Reader r(tbs);
    Element t;
    bool present = false;
    HRESULT hr;
    CERT_INFO& ci = d.info;
    if (!r.ReadOptional(der::ContextConstructed(0), &t, &present)) return Asn1Code(r);
    if (present) {
        der::Reader v(t);
        Element i;
        if (!v.Read(der::kTagInteger, &i)) return Asn1Code(v);
        if (!v.Empty() || i.len != 1 || i.content[0] > 2) return CRYPT_E_ASN1_CORRUPT;
        ci.dwVersion = i.content[0];
    }
    if (!r.Read(der::kTagInteger, &t)) return Asn1Code(r);
    if (t.len == 0) return CRYPT_E_ASN1_CORRUPT;
    d.serialLE.assign(t.content, t.content + t.len);
    std::reverse(d.serialLE.begin(), d.serialLE.end());
    if (!r.Read(der::kTagSequence, &t)) return Asn1Code(r);
    if (FAILED(hr = ParseAlgorithm(t, d.sigOid, ci.SignatureAlgorithm))) return hr;
    if (!r.Read(der::kTagSequence, &t)) return Asn1Code(r);
    ci.Issuer = Encoded(t);
    if (!r.Read(der::kTagSequence, &t)) return Asn1Code(r);
    if (FAILED(hr = ParseValidity(t, ci))) return hr;
    if (!r.Read(der::kTagSequence, &t)) return Asn1Code(r);
    ci.Subject = Encoded(t);
    if (!r.Read(der::kTagSequence, &t)) return Asn1Code(r);
    if (FAILED(hr = ParseSpki(d, t))) return hr;
    if (!r.ReadOptional(der::ContextTag(1), &t, &present)) return Asn1Code(r);
    if (present && FAILED(hr = ParseBitString(t, ci.IssuerUniqueId))) return hr;
    if (!r.ReadOptional(der::ContextTag(2), &t, &present)) return Asn1Code(r);
    if (present && FAILED(hr = ParseBitString(t, ci.SubjectUniqueId))) return hr;
    if (!r.ReadOptional(der::ContextConstructed(3), &t, &present)) return Asn1Code(r);
    if (present && FAILED(hr = ParseExtensions(d, t))) return hr;
    return r.ExpectEnd() ? S_OK : Asn1Code(r);
}

// A library context whose only provider is the null one. d2i_X509 decodes the
// public key on the side, through the context's key decoders, and ignores
// what that decoding finds; that side work is most of its time. With no
// decoders it accepts and refuses exactly the same certificates.
OSSL_LIB_CTX* CertificateReadingContext() {
    static OSSL_LIB_CTX* const ctx = [] {
        OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
        if (c && !OSSL_PROVIDER_load(c, "null")) {
            OSSL_LIB_CTX_free(c);
            c = nullptr;  // the default context then: slower, same answers
        }
        return c;
    }();
    return ctx;
}

// True when OpenSSL reads the bytes as one certificate.
bool OpenSslReadsCertificate(const BYTE* p, size_t n) {
    X509* x = X509_new_ex(CertificateReadingContext(), nullptr);
    if (!x) return false;
    const unsigned char* q = p;
    d2i_X509(&x, &q, static_cast<long>(n));  // frees x and clears it when it fails
    return tessaro::UniquePtr<X509>(x) != nullptr;
}

}  // namespace

std::shared_ptr<CertData> ParseCertificate(const BYTE* pb, size_t n, HRESULT* err, bool bOpenSslCheck) {
    auto fail = [&](HRESULT hr) {
        if (err) *err = hr;
        return std::shared_ptr<CertData>();
    };
    // The structure first, for CryptoAPI's codes; then OpenSSL's full check.
    Element outer, tbs, alg, sig;
    der::Error e = der::Error::kNone;
    if (!der::ReadWhole(pb, n, der::kTagSequence, &outer, &e)) return fail(Asn1Code(e));
    auto d = std::make_shared<CertData>();
    d->der.assign(pb, pb + n);
    der::Reader r(d->der.data() + (outer.content - pb), outer.len);
    if (!r.Read(der::kTagSequence, &tbs) || !r.Read(der::kTagSequence, &alg) || !r.Read(der::kTagBitString, &sig) ||
        !r.ExpectEnd())
        return fail(Asn1Code(r));
    if (HRESULT hr = ParseTbs(*d, tbs); FAILED(hr)) return fail(hr);
    if (bOpenSslCheck && !OpenSslReadsCertificate(d->der.data(), n)) return fail(CRYPT_E_ASN1_CORRUPT);
    // Strings are final now: pointers into them stay valid.
    CERT_INFO& ci = d->info;
    ci.SerialNumber.cbData = static_cast<DWORD>(d->serialLE.size());
    ci.SerialNumber.pbData = d->serialLE.data();
    ci.SignatureAlgorithm.pszObjId = d->sigOid.data();
    ci.SubjectPublicKeyInfo.Algorithm.pszObjId = d->spkiOid.data();
    for (size_t i = 0; i < d->exts.size(); ++i) d->exts[i].pszObjId = d->extOids[i].data();
    ci.cExtension = static_cast<DWORD>(d->exts.size());
    ci.rgExtension = d->exts.empty() ? nullptr : d->exts.data();
    // The thumbprint names the certificate in its store: without it the
    // certificate would be filed under a wrong name, another's among them.
    unsigned int len = 0;
    if (!EVP_Digest(d->der.data(), d->der.size(), d->sha1, &len, EVP_sha1(), nullptr) || len != sizeof d->sha1)
        return fail(NTE_FAIL);
    return d;
}

std::recursive_mutex& Lock() {
    static auto* m = new std::recursive_mutex();
    return *m;
}

namespace {
thread_local int t_lockDepth = 0;
std::vector<HCRYPTPROV>& PendingReleases() {
    static auto* v = new std::vector<HCRYPTPROV>();
    return *v;
}
}  // namespace

ApiLock::ApiLock() {
    // Made here, where running out of memory can still be reported, so the
    // destructor never allocates.
    PendingReleases();
    Lock().lock();
    ++t_lockDepth;
}

ApiLock::~ApiLock() {
    std::vector<HCRYPTPROV> release;
    if (--t_lockDepth == 0) release.swap(PendingReleases());
    Lock().unlock();
    for (HCRYPTPROV h : release) CryptReleaseContext(h, 0);
}

void DeferProviderRelease(HCRYPTPROV h) {
    try {
        PendingReleases().push_back(h);
    } catch (const std::bad_alloc&) {
        CryptReleaseContext(h, 0);  // no room to wait: released at once
    }
}

ContextImpl* LiveContext(PCCERT_CONTEXT p) {
    if (p == nullptr) return nullptr;
    if (!LiveContexts().count(p)) return nullptr;
    auto* c = reinterpret_cast<ContextImpl*>(const_cast<CERT_CONTEXT*>(p));
    return c->magic == kContextMagic ? c : nullptr;
}

ContextImpl* CheckedContext(PCCERT_CONTEXT p) {
    ContextImpl* c = LiveContext(p);
    if (!c) SetError(E_INVALIDARG);
    return c;
}

ContextImpl* NewContext(std::shared_ptr<CertData> data) {
    std::unique_ptr<ContextImpl> c(new ContextImpl());
    c->magic = kContextMagic;
    c->refs = 1;
    c->data = std::move(data);
    c->ctx.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    c->ctx.pbCertEncoded = c->data->der.data();
    c->ctx.cbCertEncoded = static_cast<DWORD>(c->data->der.size());
    c->ctx.pCertInfo = &c->data->info;
    c->ctx.hCertStore = nullptr;
    LiveContexts().insert(&c->ctx);
    return c.release();
}

void AddRefContext(ContextImpl* c) {
    ++c->refs;
    if (c->store) ++c->store->contextRefs;
}

namespace {
void DestroyContext(ContextImpl* c) {
    LiveContexts().erase(&c->ctx);
    c->magic = 0;
    if (c->cachedProv) DeferProviderRelease(c->cachedProv);
    delete c;
}
}  // namespace

void ReleaseContext(ContextImpl* c) {
    StoreImpl* s = c->store;
    if (s) --s->contextRefs;
    if (--c->refs == 0) DestroyContext(c);
    if (s) MaybeDestroyStore(s);
}

void ReleaseMembership(ContextImpl* c) {
    c->inStore = false;
    if (--c->refs == 0) DestroyContext(c);
}

std::u16string ThumbprintName(const BYTE sha1[20]) {
    static const char16_t hex[] = u"0123456789ABCDEF";
    std::u16string s;
    for (int i = 0; i < 20; ++i) {
        s += hex[sha1[i] >> 4];
        s += hex[sha1[i] & 15];
    }
    return s;
}

}  // namespace crypt32

using namespace crypt32;

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) try {
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
        SetError(E_INVALIDARG);
        return nullptr;
    }
    HRESULT hr = S_OK;
    // Bytes just read back from a container were read by OpenSSL when stored.
    const bool checked = pbCertEncoded && tessaro::IsCheckedCertificate(pbCertEncoded, cbCertEncoded);
    auto data = ParseCertificate(pbCertEncoded, cbCertEncoded, &hr, !checked);
    if (!data) {
        SetError(hr);
        return nullptr;
    }
    ApiLock g;
    return &NewContext(std::move(data))->ctx;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return nullptr;
}

namespace {
// Applies f to a live context under the lock; E_INVALIDARG for one that is not.
template <typename F>
bool OnLiveContext(PCCERT_CONTEXT p, F f) {
    ApiLock g;
    ContextImpl* c = CheckedContext(p);
    if (c) f(c);
    return c != nullptr;
}
}  // namespace

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr) return nullptr;
    return OnLiveContext(pCertContext, AddRefContext) ? pCertContext : nullptr;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr) return TRUE;
    return OnLiveContext(pCertContext, ReleaseContext) ? TRUE : FALSE;
}

BOOL CertCompareCertificateName(DWORD dwCertEncodingType, PCERT_NAME_BLOB pCertName1, PCERT_NAME_BLOB pCertName2) {
    if (!pCertName1 || !pCertName2) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    if (pCertName1->cbData != pCertName2->cbData) return FALSE;
    if (pCertName1->cbData == 0) return TRUE;
    if (!pCertName1->pbData || !pCertName2->pbData) return FALSE;
    return memcmp(pCertName1->pbData, pCertName2->pbData, pCertName1->cbData) == 0 ? TRUE : FALSE;
}

namespace {
// Significant bytes of a little-endian two's complement integer: redundant
// sign-extension bytes at the high end are dropped.
DWORD SignificantLength(const CRYPT_INTEGER_BLOB* b) {
    DWORD n = b->cbData;
    if (n == 0 || !b->pbData) return 0;
    const BYTE* p = b->pbData;
    while (n > 1) {
        BYTE top = p[n - 1], next = p[n - 2];
        if ((top == 0x00 && !(next & 0x80)) || (top == 0xFF && (next & 0x80)))
            --n;
        else
            break;
    }
    return (n == 1 && p[0] == 0) ? 0 : n;  // zero has no significant bytes
}
}  // namespace

BOOL CertCompareIntegerBlob(PCRYPT_INTEGER_BLOB pInt1, PCRYPT_INTEGER_BLOB pInt2) {
    if (!pInt1 || !pInt2) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    DWORD n1 = SignificantLength(pInt1), n2 = SignificantLength(pInt2);
    if (n1 != n2) return FALSE;
    return n1 == 0 || memcmp(pInt1->pbData, pInt2->pbData, n1) == 0 ? TRUE : FALSE;
}

namespace {
// Modulus and exponent of a DER RSAPublicKey, without leading zero octets.
bool RsaParts(const CRYPT_BIT_STRING_BLOB& k, Bytes& n, Bytes& e) {
    Element seq, tn, te;
    der::Error err;
    if (!der::ReadWhole(k.pbData, k.cbData, der::kTagSequence, &seq, &err)) return false;
    der::Reader r(seq);
    if (!r.Read(der::kTagInteger, &tn) || !r.Read(der::kTagInteger, &te) || !r.ExpectEnd()) return false;
    auto strip = [](const Element& t, Bytes& out) {
        size_t i = 0;
        while (i + 1 < t.len && t.content[i] == 0) ++i;
        out.assign(t.content + i, t.content + t.len);
    };
    strip(tn, n);
    strip(te, e);
    return true;
}
}  // namespace

BOOL CertComparePublicKeyInfo(DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pPublicKey1,
                              PCERT_PUBLIC_KEY_INFO pPublicKey2) {
    if (!pPublicKey1 || !pPublicKey2) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    const auto& a = pPublicKey1->PublicKey;
    const auto& b = pPublicKey2->PublicKey;
    if (a.cbData == b.cbData && a.cUnusedBits == b.cUnusedBits &&
        (a.cbData == 0 || (a.pbData && b.pbData && memcmp(a.pbData, b.pbData, a.cbData) == 0)))
        return TRUE;
    // RSA keys compare by value: encoders differ in leading zero octets.
    const char* o1 = pPublicKey1->Algorithm.pszObjId;
    const char* o2 = pPublicKey2->Algorithm.pszObjId;
    if (o1 && o2 && strcmp(o1, szOID_RSA_RSA) == 0 && strcmp(o2, szOID_RSA_RSA) == 0 && a.pbData && b.pbData) {
        Bytes n1, e1, n2, e2;
        if (RsaParts(a, n1, e1) && RsaParts(b, n2, e2)) return n1 == n2 && e1 == e2 ? TRUE : FALSE;
    }
    return FALSE;
}

LONG CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo) {
    if (!pCertInfo) {
        SetError(E_INVALIDARG);
        return 1;  // never "valid" for nothing
    }
    FILETIME now;
    if (pTimeToVerify)
        now = *pTimeToVerify;
    else
        GetSystemTimeAsFileTime(&now);
    auto v = [](const FILETIME& f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    if (v(now) < v(pCertInfo->NotBefore)) return -1;
    if (v(now) > v(pCertInfo->NotAfter)) return 1;
    return 0;
}

PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION rgExtensions[]) {
    if (!pszObjId || (cExtensions && !rgExtensions)) {
        SetError(E_INVALIDARG);
        return nullptr;
    }
    for (DWORD i = 0; i < cExtensions; ++i)
        if (rgExtensions[i].pszObjId && strcmp(rgExtensions[i].pszObjId, pszObjId) == 0) return &rgExtensions[i];
    SetError(CRYPT_E_NOT_FOUND);
    return nullptr;
}

BOOL CertGetIntendedKeyUsage(DWORD dwCertEncodingType, PCERT_INFO pCertInfo, BYTE* pbKeyUsage, DWORD cbKeyUsage) try {
    if (!pCertInfo || (cbKeyUsage && !pbKeyUsage) || (pCertInfo->cExtension && !pCertInfo->rgExtension)) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    PCERT_EXTENSION e = nullptr;
    for (DWORD i = 0; i < pCertInfo->cExtension; ++i)
        if (pCertInfo->rgExtension[i].pszObjId && strcmp(pCertInfo->rgExtension[i].pszObjId, szOID_KEY_USAGE) == 0)
            e = &pCertInfo->rgExtension[i];
    if (!e) {
        SetLastError(0);  // no extension: any usage
        return FALSE;
    }
    der::Reader r(e->Value.pbData, e->Value.cbData);
    Element t;
    CRYPT_BIT_STRING_BLOB b{};
    if (!r.Read(der::kTagBitString, &t) || FAILED(ParseBitString(t, b))) {
        SetError(CRYPT_E_ASN1_BADTAG);
        return FALSE;
    }
    if (cbKeyUsage) memset(pbKeyUsage, 0, cbKeyUsage);
    for (DWORD i = 0; i < cbKeyUsage && i < b.cbData; ++i) pbKeyUsage[i] = b.pbData[i];
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}

BOOL CryptHashCertificate(HCRYPTPROV_LEGACY hCryptProv, ALG_ID Algid, DWORD dwFlags, const BYTE* pbEncoded,
                          DWORD cbEncoded, BYTE* pbComputedHash, DWORD* pcbComputedHash) try {
    if (!pcbComputedHash || (cbEncoded && !pbEncoded)) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    const EVP_MD* md = nullptr;
    switch (Algid) {
        case 0:
        case CALG_SHA1: md = EVP_sha1(); break;
        case CALG_MD5: md = EVP_md5(); break;
        case CALG_SHA_256: md = EVP_sha256(); break;
        case CALG_SHA_384: md = EVP_sha384(); break;
        case CALG_SHA_512: md = EVP_sha512(); break;
        default: SetError(NTE_BAD_ALGID); return FALSE;
    }
    DWORD need = static_cast<DWORD>(EVP_MD_get_size(md));
    if (!pbComputedHash) {
        *pcbComputedHash = need;
        return TRUE;
    }
    if (*pcbComputedHash < need) {
        *pcbComputedHash = need;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    unsigned int len = 0;
    static const BYTE empty = 0;
    if (!EVP_Digest(cbEncoded ? pbEncoded : &empty, cbEncoded, pbComputedHash, &len, md, nullptr)) {
        SetError(NTE_FAIL);
        return FALSE;
    }
    *pcbComputedHash = len;
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}
