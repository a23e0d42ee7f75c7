// The certificates of a PKCS#7 signed-data message, as OpenSSL reads them.
// The ContentInfo's first elements are read here too, for CryptoAPI's codes:
// a message of another type fails as such, not as a damaged one.
#include "platform/base/OpenSslPtr.h"
#include "platform/crypt32/StoreKinds.h"

namespace crypt32 {

namespace {

constexpr char kSignedData[] = "1.2.840.113549.1.7.2";

// ContentInfo ::= SEQUENCE { contentType OID, content [0] EXPLICIT ANY }.
HRESULT CheckContentInfo(const CRYPT_DATA_BLOB& message, Element* whole) {
    der::Reader r(message.pbData, message.cbData);
    Element oid, wrap, signedData;
    if (!r.Read(der::kTagSequence, whole)) return Asn1Code(r);
    der::Reader ci(*whole);
    if (!ci.Read(der::kTagOid, &oid)) return Asn1Code(ci);
    std::string type;
    if (!DecodeOid(oid, type)) return CRYPT_E_ASN1_CORRUPT;
    if (type != kSignedData) return CRYPT_E_INVALID_MSG_TYPE;
    if (!ci.Read(der::ContextConstructed(0), &wrap)) return Asn1Code(ci);
    der::Reader content(wrap);
    return content.Read(der::kTagSequence, &signedData) ? S_OK : Asn1Code(content);
}

}  // namespace

HRESULT LoadPkcs7(StoreImpl* s, const CRYPT_DATA_BLOB* message) {
    if (!message || (message->cbData && !message->pbData)) return E_INVALIDARG;
    if (message->cbData == 0) return CRYPT_E_ASN1_EOD;
    Element whole;
    if (HRESULT hr = CheckContentInfo(*message, &whole); FAILED(hr)) return hr;
    const unsigned char* p = whole.header;
    tessaro::UniquePtr<PKCS7> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(whole.size())));
    if (!p7 || !PKCS7_type_is_signed(p7.get()) || !p7->d.sign) return CRYPT_E_ASN1_CORRUPT;
    std::vector<std::shared_ptr<CertData>> parsed;
    STACK_OF(X509)* certs = p7->d.sign->cert;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        unsigned char* der = nullptr;
        int n = i2d_X509(sk_X509_value(certs, i), &der);
        if (n <= 0) return CRYPT_E_ASN1_CORRUPT;
        tessaro::OpenSslBuffer<unsigned char> owned(der);
        HRESULT hr = S_OK;
        auto d = ParseCertificate(der, static_cast<size_t>(n), &hr);
        if (!d) return hr;
        parsed.push_back(std::move(d));
    }
    for (auto& d : parsed) {
        bool dup = false;
        for (ContextImpl* c : s->elements) dup = dup || SameCert(c, *d);
        if (!dup) AppendElement(s, std::move(d), {});
    }
    return S_OK;
}

}  // namespace crypt32
