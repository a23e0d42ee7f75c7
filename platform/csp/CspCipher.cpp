// Session keys and the block ciphers they run: DES, two- and three-key 3DES
// and AES in CBC or ECB mode with PKCS#5 padding, message by message or in
// pieces (non-final calls chain the CBC state).
#include <cstring>

#include "platform/csp/CspProvider.h"

namespace tessaro::csp {

// ---- Session key objects -------------------------------------------------------------

CSymmetricKey::CSymmetricKey(ContextPtr ctx, ALG_ID algid, const BYTE* key, size_t len)
    : CCspKey(std::move(ctx), algid), m_key(key, key + len), m_iv(BlockBytes(), 0) {}

KeyPtr CSymmetricKey::Clone() const { return std::make_shared<CSymmetricKey>(*this); }

DWORD CSymmetricKey::BitLength() const { return static_cast<DWORD>(m_key.size() * 8); }

DWORD CSymmetricKey::BlockBytes() const {
    switch (m_algid) {
        case CALG_AES_128:
        case CALG_AES_192:
        case CALG_AES_256:
            return 16;
        default:
            return 8;
    }
}

size_t CspSessionKeyBytes(ALG_ID algid) {
    switch (algid) {
        case CALG_DES:
            return 8;
        case CALG_3DES_112:
            return 16;
        case CALG_3DES:
            return 24;
        case CALG_AES_128:
            return 16;
        case CALG_AES_192:
            return 24;
        case CALG_AES_256:
            return 32;
        default:
            return 0;
    }
}

void CspSetDesParity(ALG_ID algid, SecureBytes& key) {
    if (algid != CALG_DES && algid != CALG_3DES_112 && algid != CALG_3DES) return;
    for (auto& b : key) {
        BYTE v = b & 0xFE;
        int ones = 0;
        for (int i = 1; i < 8; ++i) ones += (v >> i) & 1;
        b = static_cast<BYTE>(v | ((ones % 2) ? 0 : 1));
    }
}

// ---- The cipher -------------------------------------------------------------------------

namespace {

// Cipher of a session key; every DES flavour runs as three-key EDE on an
// expanded key (K1 K1 K1 for DES, K1 K2 K1 for two-key 3DES).
const EVP_CIPHER* CipherOf(ALG_ID algid, bool bCbc) {
    switch (algid) {
        case CALG_DES:
        case CALG_3DES_112:
        case CALG_3DES:
            return bCbc ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb();
        case CALG_AES_128:
            return bCbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        case CALG_AES_192:
            return bCbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        case CALG_AES_256:
            return bCbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
        default:
            return nullptr;
    }
}

SecureBytes CipherKey(const CSymmetricKey& k) {
    SecureBytes r;
    switch (k.AlgId()) {
        case CALG_DES:
            for (int i = 0; i < 3; ++i) r.insert(r.end(), k.m_key.begin(), k.m_key.begin() + 8);
            break;
        case CALG_3DES_112:
            r.insert(r.end(), k.m_key.begin(), k.m_key.begin() + 16);
            r.insert(r.end(), k.m_key.begin(), k.m_key.begin() + 8);
            break;
        default:
            r = k.m_key;
    }
    return r;
}

// One pass of the block cipher over whole blocks, without padding.
CspStatus RunCipher(CSymmetricKey& k, bool bEncrypt, const BYTE* in, size_t n, BYTE* out) {
    bool bCbc = k.m_dwMode == CRYPT_MODE_CBC;
    const EVP_CIPHER* cipher = CipherOf(k.AlgId(), bCbc);
    if (!cipher) return CspCode(NTE_BAD_ALGID);
    SecureBytes key = CipherKey(k);
    const BYTE* iv = (bCbc && k.m_bInMessage && !k.m_chain.empty()) ? k.m_chain.data() : k.m_iv.data();
    tessaro::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    int outl = 0, finl = 0;
    bool ok = ctx &&
              EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), bCbc ? iv : nullptr, bEncrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
              EVP_CipherUpdate(ctx.get(), out, &outl, in, static_cast<int>(n)) == 1 &&
              EVP_CipherFinal_ex(ctx.get(), out + outl, &finl) == 1;
    if (!ok) return CspCode(NTE_FAIL);
    if (bCbc && n >= k.BlockBytes()) {
        const BYTE* last = (bEncrypt ? out : in) + n - k.BlockBytes();
        k.m_chain.assign(last, last + k.BlockBytes());
    }
    return CSP_OK;
}

// The checks Encrypt and Decrypt share: a length, a session key, no flags,
// and the key's permission for the call.
CspStatus SessionKeyFor(CCspKey& key, const DWORD* pdwDataLen, DWORD dwFlags, DWORD permission, CSymmetricKey** out) {
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (!key.IsSymmetric()) return CspCode(NTE_BAD_KEY);
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    *out = static_cast<CSymmetricKey*>(&key);
    return ((*out)->m_dwPermissions & permission) ? CSP_OK : CspCode(NTE_PERM);
}

}  // namespace

CspStatus CCspProvider::Encrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                                DWORD* pdwDataLen, DWORD dwBufLen) {
    CSymmetricKey* sk = nullptr;
    if (CspStatus st = SessionKeyFor(key, pdwDataLen, dwFlags, CRYPT_ENCRYPT, &sk)) return st;
    CSymmetricKey& k = *sk;
    const DWORD b = k.BlockBytes();
    DWORD len = *pdwDataLen;
    DWORD outLen = bFinal ? (len / b + 1) * b : len;
    if (!bFinal && len % b) return CspCode(NTE_BAD_DATA);
    if (auto answer = CspSizeAnswer(outLen, pbData, dwBufLen, pdwDataLen)) return *answer;
    if (hash) {
        if (CspStatus st = hash->Update(pbData, len)) return st;
    }
    SecureBytes in(pbData, pbData + len);
    if (bFinal) in.insert(in.end(), outLen - len, static_cast<BYTE>(outLen - len));
    if (CspStatus st = outLen ? RunCipher(k, true, in.data(), outLen, pbData) : CSP_OK) {
        k.m_bInMessage = false;
        return st;
    }
    k.m_bInMessage = !bFinal;
    *pdwDataLen = outLen;
    return CSP_OK;
}

CspStatus CCspProvider::Decrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                                DWORD* pdwDataLen) {
    CSymmetricKey* sk = nullptr;
    if (CspStatus st = SessionKeyFor(key, pdwDataLen, dwFlags, CRYPT_DECRYPT, &sk)) return st;
    CSymmetricKey& k = *sk;
    const DWORD b = k.BlockBytes();
    DWORD len = *pdwDataLen;
    if (len % b || (bFinal && len == 0)) return CspCode(NTE_BAD_DATA);
    if (len && !pbData) return ERROR_INVALID_PARAMETER;
    SecureBytes out(len);
    if (len) {
        if (CspStatus st = RunCipher(k, false, pbData, len, out.data())) {
            k.m_bInMessage = false;
            return st;
        }
    }
    DWORD plain = len;
    if (bFinal) {
        BYTE pad = out[len - 1];
        bool ok = pad >= 1 && pad <= b;
        for (DWORD i = 0; ok && i < pad; ++i) ok = out[len - 1 - i] == pad;
        k.m_bInMessage = false;
        if (!ok) return CspCode(NTE_BAD_DATA);
        plain = len - pad;
    } else {
        k.m_bInMessage = true;
    }
    if (hash) {
        if (CspStatus st = hash->Update(out.data(), plain)) return st;
    }
    if (plain) memcpy(pbData, out.data(), plain);
    *pdwDataLen = plain;
    return CSP_OK;
}

}  // namespace tessaro::csp
