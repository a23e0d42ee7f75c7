// Installation of an encryption certificate together with the private key the
// certification authority generated for it. The key arrives in the CA's
// envelope (EnvelopeReader.h), wrapped for the temporary exchange key that
// the request put in the container. RSA keys for Microsoft providers, and
// 1024-bit keys for any provider, are opened here (the plain path,
// PlainRsaImport.cpp); other RSA keys and every SM2 key are handed to the
// provider still encrypted, through its vendor import blob (the envelope
// path, VendorBlobImport.cpp). ImportEncryptCert.cpp holds the entry and the
// steps both paths share.
//
// Key material only ever lives in wiping buffers (tessaro::SecureBytes).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "import/EnvelopeReader.h"
#include "tessaro/Handles.h"
#include "tessaro/SecureBuffer.h"
#include "win/windows.h"

// The vendor import blobs carry the address of the key material; the field is
// pointer-sized, so on 64-bit builds each blob is 4 bytes longer than the
// 24 (RSA) and 20 (SM2) bytes of 32-bit builds.
#define RSA_VENDOR_IMPORT_BLOB_SIZE (20 + sizeof(void*))
#define SM2_VENDOR_IMPORT_BLOB_SIZE (16 + sizeof(void*))

// C1 (x || y) and C3 of an SM2 ciphertext; anything shorter cannot be one.
#define SM2_C1_LENGTH 64
#define SM2_C3_LENGTH 32
#define SM2_MIN_CIPHERTEXT_LENGTH (SM2_C1_LENGTH + SM2_C3_LENGTH)

// A 32-bit field of a key blob, least significant byte first.
inline void PutDword(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

// ---- Entry and the two paths ------------------------------------------------

HRESULT ImportEncryptCertEx(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                            const std::u16string& wstrKeyAlgorithm, const std::u16string& wstrEncryptedPrivateKeyData,
                            const std::u16string& wstrEncryptePublicCert, LONG nKeyLength, DWORD dwFlags);

// The plain path (RSA only): both keys are decrypted here.
HRESULT ImportEncryptCert(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                          const std::u16string& wstrKeyAlgorithm, const std::u16string& wstrEncryptedPrivateKeyData,
                          const std::u16string& wstrEncryptePublicCert, LONG nKeyLength, DWORD dwFlags);

// The envelope path: RSA through the 24-byte vendor blob, SM2 through the
// 20-byte one in up to three ciphertext orders.
HRESULT ImportEncryptCertByEncryptedFormat(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                                           const std::u16string& wstrKeyAlgorithm,
                                           const std::u16string& wstrEncryptedPrivateKeyData,
                                           const std::u16string& wstrEncryptPublicCert, LONG nKeyLength,
                                           DWORD dwFlags);

// ---- RSA ----------------------------------------------------------------------

// Opens the request's container and decrypts the session key (big-endian, as
// it arrives) with its exchange key. On success the context stays open in
// prov for the rest of the path.
HRESULT DecryptSessionKeywithTempKey(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                                     const std::u16string& wstrKeyAlgorithm, tessaro::UniqueCryptProv& prov,
                                     const BYTE* pbEncryptedSessionKey, DWORD cbEncryptedSessionKey,
                                     tessaro::SecureBytes& sessionKey);

// Decrypts the PKCS#1 private key (3DES-ECB) in a key set of its own that is
// deleted again on every path.
HRESULT DecryptPrivateKeywithSessionKey(tessaro::SecureBytes& privateKey, ALG_ID algSession,
                                        const BYTE* pbSessionKey, DWORD cbSessionKey,
                                        const BYTE* pbEncryptedPrivateKey, DWORD cbEncryptedPrivateKey);

// A key pair whose RSA operation is the identity, so that plain key bytes can
// be imported as a SIMPLEBLOB. *phKey is the caller's on success.
HRESULT CreatePrivateExponentOneKey(HCRYPTPROV hProv, HCRYPTKEY* phKey);
// The SIMPLEBLOB of plain key bytes for an exchange key of dwExchangeBits:
// 12 header bytes, then a PKCS#1 v1.5 type-2 block least significant byte
// first. NTE_BAD_LEN when the key does not fit one block with its padding.
HRESULT ComposePlainSessionBlob(HCRYPTPROV hProv, ALG_ID algSession, ALG_ID algExchange, DWORD dwExchangeBits,
                                const BYTE* pbKey, DWORD cbKey, tessaro::SecureBytes& blob);
// The plain key bytes as a session key of algSession, through the exponent-one
// key hPubKey; *phSessionKey is the caller's on success. NTE_BAD_LEN when the
// key does not fit the exchange key's block or the algorithm's key length,
// NTE_BAD_ALGID when the provider does not offer the algorithm.
HRESULT ImportPlainSessionBlob(HCRYPTPROV hProv, HCRYPTKEY hPubKey, ALG_ID algSession, const BYTE* pbKey, DWORD cbKey,
                            HCRYPTKEY* phSessionKey);

// The seven numbers of a PKCS#1 RSAPrivateKey, least significant byte first
// (one leading zero octet dropped), and its public exponent.
struct RSA_PRIVATE_KEY_NUMBERS {
    tessaro::SecureBytes modulus, privateExponent, prime1, prime2, exponent1, exponent2, coefficient;
    DWORD dwPublicExponent = 0;
};
HRESULT DecodePrivateKey(const BYTE* pbDer, DWORD cbDer, RSA_PRIVATE_KEY_NUMBERS& numbers);

// One INTEGER element (tag 02, at least one content octet) to its content
// without a leading zero octet, byte-reversed.
HRESULT CopyPrivateKeyAttribute(BYTE byTag, const BYTE* pbContent, DWORD cbContent, tessaro::SecureBytes& attribute);

// PKCS#1 DER to a PRIVATEKEYBLOB for a key of dwKeyBits bits (9B/16 + 20 bytes).
HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(const BYTE* pbDer, DWORD cbDer, DWORD dwKeyBits,
                                                tessaro::SecureBytes& blob);

// True when the PKCS#1 key and the DER certificate carry the same public key
// (NTE_BAD_PUBLIC_KEY when not).
HRESULT CheckPrivateKeyMatchesCertificate(const BYTE* pbPrivateKey, DWORD cbPrivateKey, const BYTE* pbCert,
                                          DWORD cbCert);

// End of the plain path: import and bind.
HRESULT ImportEncryptCert_RSA(const std::u16string& wstrContainerName, const BYTE* pbCert, DWORD cbCert,
                              const std::u16string& wstrCSPName, HCRYPTPROV hProv, LONG nKeyLength,
                              const BYTE* pbPrivateKey, DWORD cbPrivateKey, DWORD dwFlags);

// The request's container for the envelope path (SM2: opened as a verify
// context with the container name).
HRESULT GetCSPHandleofTempPublickey(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                                    const std::u16string& wstrKeyAlgorithm, tessaro::UniqueCryptProv& prov);

// End of the RSA envelope path.
HRESULT ImportEncryptCertEx_RSA(const BYTE* pbCert, DWORD cbCert, const BYTE* pbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, const std::u16string& wstrCSPName,
                                HCRYPTPROV hProv, LONG nKeyLength, DWORD cbEncryptedSessionKey,
                                DWORD cbEncryptedPrivateKey, DWORD dwFlags, bool* pbKeyImported = nullptr,
                                bool* pbImportRefused = nullptr);

// SEQUENCE { INTEGER 1, OID rsaEncryption, OID 1.3.6.1.4.1.4929.1.7,
// OCTET STRING session key, OCTET STRING private key }.
HRESULT ComposeRSAEVPPrivateKey(const BYTE* pbEncryptedPrivateKey, DWORD cbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, DWORD cbEncryptedSessionKey,
                                tessaro::SecureBytes& envelope);
// The bare OBJECT IDENTIFIER element of a dotted identifier.
HRESULT ComposeObjectIdentifier(const char* pszObjId, std::vector<BYTE>& encoded);

// The vendor blobs, as handed to CryptImportKey.
HRESULT FillRSAVendorImportBlob(DWORD dwKeyBits, const BYTE* pbEnvelope, DWORD cbEnvelope, BYTE* pbBlob,
                                DWORD cbBlob);
HRESULT FillSM2VendorImportBlob(const BYTE* pbCiphertext, DWORD cbCiphertext, BYTE* pbBlob, DWORD cbBlob);

// ---- SM2 ----------------------------------------------------------------------

// One import attempt. *pbKeyImported (if given) tells whether CryptImportKey
// succeeded, so that a binding failure is not retried with other orders;
// *pbImportRefused (also for RSA) whether the provider was asked and refused.
HRESULT ImportEncryptCertEx_SM2(const BYTE* pbCert, const BYTE* pbCiphertext, DWORD cbCiphertext, HCRYPTPROV hProv,
                                DWORD cbCert, DWORD dwFlags, bool* pbKeyImported = nullptr,
                                bool* pbImportRefused = nullptr);

// After the provider refused every import of an envelope: when the
// container's exchange key already is the certificate's key, an earlier call
// imported it and only the binding failed then; the certificate is bound now
// (KP_CERTIFICATE) and KEVO_OK returned. Otherwise hrImport, unchanged.
HRESULT BindCertificateToImportedExchangeKey(bool bRSA, HCRYPTPROV hProv, const BYTE* pbCert, DWORD cbCert,
                                             HRESULT hrImport);

// Reorderings of an SM2 ciphertext; the new buffer has n + 1 bytes (zero
// after the n of the ciphertext). Below 96 bytes: 0xA0071403.
HRESULT ConvertC1C3C2ToC1C2C3(const BYTE* pbC1C3C2, DWORD cbCiphertext, tessaro::SecureBytes& c1c2c3);
HRESULT ConvertC1C2C3ToC1C3C2(const BYTE* pbC1C2C3, DWORD cbCiphertext, tessaro::SecureBytes& c1c3c2);
