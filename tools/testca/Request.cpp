#include "tools/testca/Request.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>

#include <algorithm>

namespace testca {

namespace {

// OBJECT IDENTIFIER contents.
const uint8_t kOidRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const uint8_t kOidMd5WithRsa[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
const uint8_t kOidSha1WithRsa[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
const uint8_t kOidSha256WithRsa[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
const uint8_t kOidEcPublicKey[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
const uint8_t kOidSm2Curve[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
const uint8_t kOidSm3WithSm2[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75};
const uint8_t kOidChallengePassword[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x07};
const uint8_t kOidExchangeKey[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x3F};

template <size_t N>
bool IsOid(const DerElement& e, const uint8_t (&oid)[N]) {
    return e.tag == kTagOid && e.ContentEquals(oid, N);
}

// The content of a BIT STRING without unused bits.
bool BitStringBytes(const DerElement& e, const uint8_t*& p, size_t& n, std::string& err, const char* what) {
    if (e.tag != kTagBitString || e.length < 2 || e.content[0] != 0) {
        err = std::string(what) + " is not a BIT STRING of whole octets";
        return false;
    }
    p = e.content + 1;
    n = e.length - 1;
    return true;
}

bool ParsePublicKeyInfo(const DerElement& spki, ParsedRequest& out, std::string& err) {
    std::vector<DerElement> parts, alg;
    if (spki.tag != kTagSequence || !ReadDerChildren(spki, parts, err) || parts.size() != 2 ||
        parts[0].tag != kTagSequence || !ReadDerChildren(parts[0], alg, err) || alg.empty() || alg.size() > 2) {
        err = "SubjectPublicKeyInfo is malformed" + (err.empty() ? "" : " (" + err + ")");
        return false;
    }
    const uint8_t* key;
    size_t keyLen;
    if (!BitStringBytes(parts[1], key, keyLen, err, "subject public key")) return false;
    if (IsOid(alg[0], kOidRsaEncryption)) {
        if (alg.size() == 2 && !(alg[1].tag == kTagNull && alg[1].length == 0)) {
            err = "RSA key algorithm with parameters other than NULL";
            return false;
        }
        out.algorithm = KeyAlgorithm::RSA;
        if (!RsaPublicKeyFromDer(Bytes(key, key + keyLen), out.publicKey, err)) {
            err = "subject public key: " + err;
            return false;
        }
    } else if (IsOid(alg[0], kOidEcPublicKey)) {
        if (alg.size() != 2 || !IsOid(alg[1], kOidSm2Curve)) {
            err = "elliptic-curve key on a curve other than SM2";
            return false;
        }
        if (keyLen != 65 || key[0] != 0x04) {
            err = "SM2 public key is not a 65-byte uncompressed point";
            return false;
        }
        out.algorithm = KeyAlgorithm::SM2;
        if (!Sm2PublicKeyFromPoint(key + 1, key + 33, out.publicKey, err)) {
            err = "subject public key: " + err;
            return false;
        }
    } else {
        err = "public key algorithm is neither RSA nor SM2";
        return false;
    }
    out.publicKeyBits = EVP_PKEY_get_bits(out.publicKey.get());
    out.subjectPublicKeyInfo = spki.Whole();
    return true;
}

// An attribute value stands either directly after its type (the agent's
// double-certificate form) or, as in RFC 2986, alone inside a SET.
bool AttributeValue(const std::vector<DerElement>& attr, DerElement& value, bool& inSet, std::string& err) {
    if (attr.size() != 2) {
        err = "attribute is not a SEQUENCE of a type and one value";
        return false;
    }
    if (attr[1].tag == kTagSet) {
        std::vector<DerElement> values;
        if (!ReadDerChildren(attr[1], values, err) || values.size() != 1) {
            err = "attribute SET does not hold exactly one value";
            return false;
        }
        value = values[0];
        inSet = true;
        return true;
    }
    value = attr[1];
    inSet = false;
    return true;
}

bool ParseExchangeKey(ParsedRequest& out, std::string& err) {
    const Bytes& d = out.exchangeKeyData;
    if (out.algorithm == KeyAlgorithm::RSA) {
        if (!RsaPublicKeyFromDer(d, out.exchangeKey, err)) {
            err = "exchange key: " + err;
            return false;
        }
    } else {
        static const uint8_t kHeader[8] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
        if (d.size() != 136 || !std::equal(kHeader, kHeader + 8, d.begin())) {
            err = "SM2 exchange key record is not 136 bytes beginning 00 B4 00 00 00 01 00 00";
            return false;
        }
        if (!Sm2PublicKeyFromPoint(d.data() + 8, d.data() + 72, out.exchangeKey, err)) {
            err = "exchange key: " + err;
            return false;
        }
    }
    out.exchangeKeyBits = EVP_PKEY_get_bits(out.exchangeKey.get());
    return true;
}

bool ParseAttributes(const DerElement& attributes, ParsedRequest& out, std::string& err) {
    std::vector<DerElement> list;
    if (!ReadDerChildren(attributes, list, err)) {
        err = "attributes are malformed (" + err + ")";
        return false;
    }
    bool sawSet = false, sawBare = false;
    for (const auto& a : list) {
        std::vector<DerElement> attr;
        if (a.tag != kTagSequence || !ReadDerChildren(a, attr, err) || attr.empty() || attr[0].tag != kTagOid) {
            err = "attribute is not a SEQUENCE beginning with an OBJECT IDENTIFIER" +
                  (err.empty() ? "" : " (" + err + ")");
            return false;
        }
        DerElement value;
        bool inSet = false;
        if (!AttributeValue(attr, value, inSet, err)) return false;
        (inSet ? sawSet : sawBare) = true;
        if (IsOid(attr[0], kOidChallengePassword)) {
            if (out.hasChallengePassword) {
                err = "challengePassword given twice";
                return false;
            }
            out.hasChallengePassword = true;
            out.challengePassword.assign(reinterpret_cast<const char*>(value.content), value.length);
        } else if (IsOid(attr[0], kOidExchangeKey)) {
            if (out.hasExchangeKey) {
                err = "exchange key given twice";
                return false;
            }
            // OCTET STRING { SEQUENCE { INTEGER, OCTET STRING { key } } }
            DerElement inner;
            std::vector<DerElement> rec;
            Bytes octets = value.Content();
            if (value.tag != kTagOctetString || !ReadDerWhole(octets, inner, err) || inner.tag != kTagSequence ||
                !ReadDerChildren(inner, rec, err) || rec.size() != 2 || rec[0].tag != kTagInteger ||
                rec[1].tag != kTagOctetString || rec[1].length == 0) {
                err = "exchange key attribute is not OCTET STRING { SEQUENCE { INTEGER, OCTET STRING } }";
                return false;
            }
            out.hasExchangeKey = true;
            out.exchangeKeyData = rec[1].Content();
        }
        // Other attributes do not concern this CA.
    }
    out.attributesInSet = sawSet && !sawBare;
    if (out.hasExchangeKey) return ParseExchangeKey(out, err);
    return true;
}

bool VerifySignature(ParsedRequest& req, const DerElement& sigAlg, const DerElement& sig, std::string& err) {
    std::vector<DerElement> alg;
    if (sigAlg.tag != kTagSequence || !ReadDerChildren(sigAlg, alg, err) || alg.empty() || alg.size() > 2 ||
        (alg.size() == 2 && !(alg[1].tag == kTagNull && alg[1].length == 0))) {
        err = "signature algorithm is not SEQUENCE { OBJECT IDENTIFIER [, NULL] }";
        return false;
    }
    const char* digest = nullptr;
    const char* name = nullptr;
    if (req.algorithm == KeyAlgorithm::RSA) {
        if (IsOid(alg[0], kOidSha1WithRsa)) digest = "SHA1", name = "sha1WithRSAEncryption";
        else if (IsOid(alg[0], kOidMd5WithRsa)) digest = "MD5", name = "md5WithRSAEncryption";
        else if (IsOid(alg[0], kOidSha256WithRsa)) digest = "SHA256", name = "sha256WithRSAEncryption";
    } else if (IsOid(alg[0], kOidSm3WithSm2)) {
        digest = "SM3", name = "SM2-with-SM3";
    }
    if (!digest) {
        err = "signature algorithm does not fit the request's public key";
        return false;
    }
    const uint8_t* s;
    size_t sLen;
    if (!BitStringBytes(sig, s, sLen, err, "signature")) return false;

    EvpMdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;  // owned by md
    if (!md || EVP_DigestVerifyInit_ex(md.get(), &pctx, digest, nullptr, nullptr, req.publicKey.get(), nullptr) != 1) {
        err = std::string("cannot start ") + digest + " verification: " + OpenSslErrors();
        return false;
    }
    if (req.algorithm == KeyAlgorithm::SM2 &&
        EVP_PKEY_CTX_set1_id(pctx, kSm2Identity, kSm2IdentityLength) != 1) {
        err = "cannot set the SM2 identity: " + OpenSslErrors();
        return false;
    }
    int rc = EVP_DigestVerify(md.get(), s, sLen, req.requestInfo.data(), req.requestInfo.size());
    if (rc != 1) {
        OpenSslErrors();
        err = "request signature does not verify with the request's public key";
        return false;
    }
    req.signatureAlgorithm = name;
    return true;
}

}  // namespace

bool DecodeRequestText(const std::string& text, Bytes& der, std::string& err) {
    if (!Base64Decode(text, der, err)) {
        err = "request is not Base64: " + err;
        return false;
    }
    return true;
}

bool RsaPublicKeyFromDer(const Bytes& rsaPublicKey, EvpPkeyPtr& out, std::string& err) {
    DerElement root;
    std::vector<DerElement> f;
    Bytes n, e;
    if (!ReadDerWhole(rsaPublicKey, root, err) || root.tag != kTagSequence || !ReadDerChildren(root, f, err) ||
        f.size() != 2 || !ReadDerUnsignedInteger(f[0], n, err) || !ReadDerUnsignedInteger(f[1], e, err)) {
        err = "not an RSAPublicKey" + (err.empty() ? "" : " (" + err + ")");
        return false;
    }
    if (n.size() < 64 || n.size() > 2048 || (e.size() == 1 && e[0] < 3) || (e.back() & 1) == 0) {
        err = "RSA public key with an implausible modulus or exponent";
        return false;
    }
    BnPtr bn(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
    BnPtr be(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
    tessaro::UniquePtr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bn || !be || !bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, be.get())) {
        err = "out of memory: " + OpenSslErrors();
        return false;
    }
    tessaro::UniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        err = "RSA key not accepted: " + OpenSslErrors();
        return false;
    }
    out.reset(key);
    return true;
}

bool Sm2PublicKeyFromPoint(const uint8_t* x, const uint8_t* y, EvpPkeyPtr& out, std::string& err) {
    uint8_t point[65];
    point[0] = 0x04;
    std::copy(x, x + 32, point + 1);
    std::copy(y, y + 32, point + 33);
    char group[] = "SM2";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
        OSSL_PARAM_construct_end(),
    };
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        err = "SM2 point not on the curve: " + OpenSslErrors();
        return false;
    }
    EvpPkeyPtr owned(key);
    EvpPkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) {
        err = "SM2 public key fails its check: " + OpenSslErrors();
        return false;
    }
    out = std::move(owned);
    return true;
}

bool ParseAndVerifyRequest(const Bytes& der, ParsedRequest& out, std::string& err) {
    DerElement root;
    std::vector<DerElement> top, info;
    if (!ReadDerWhole(der, root, err) || root.tag != kTagSequence || !ReadDerChildren(root, top, err) ||
        top.size() != 3 || top[0].tag != kTagSequence) {
        err = "not a CertificationRequest" + (err.empty() ? "" : " (" + err + ")");
        return false;
    }
    if (!ReadDerChildren(top[0], info, err)) {
        err = "CertificationRequestInfo is malformed (" + err + ")";
        return false;
    }
    if (info.size() < 3 || info.size() > 4) {
        err = "CertificationRequestInfo does not have three or four elements";
        return false;
    }
    static const uint8_t kZero[] = {0x00};
    if (info[0].tag != kTagInteger || !info[0].ContentEquals(kZero, 1)) {
        err = "request version is not 0";
        return false;
    }
    if (info[1].tag != kTagSequence) {
        err = "request subject is not a Name";
        return false;
    }
    if (info[1].length == 0) {
        err = "request subject is empty";
        return false;
    }
    out.der = der;
    out.requestInfo = top[0].Whole();
    out.subject = info[1].Whole();
    if (!ParsePublicKeyInfo(info[2], out, err)) return false;
    if (info.size() == 4) {
        if (info[3].tag != kTagContext0) {
            err = "fourth element of CertificationRequestInfo is not [0] attributes";
            return false;
        }
        if (!ParseAttributes(info[3], out, err)) return false;
    }
    return VerifySignature(out, top[1], top[2], err);
}

}  // namespace testca
