// PKCS#10 request composition: the CertificationRequestInfo, algorithm
// identifiers, the attributes of a double-certificate request, the signature
// made by the provider and the Base64 text in 64-character lines. Every
// builder hands out a new array allocation (release with delete[]); on failure
// nothing is handed out.
#pragma once

#include "win/windows.h"

// Object identifiers of the request.
#define SZOID_RSA_ENCRYPTION "1.2.840.113549.1.1.1"
#define SZOID_SHA1_WITH_RSA "1.2.840.113549.1.1.5"
#define SZOID_MD5_WITH_RSA "1.2.840.113549.1.1.4"
#define SZOID_EC_PUBLIC_KEY "1.2.840.10045.2.1"
#define SZOID_SM2_CURVE "1.2.156.10197.1.301"
#define SZOID_SM3_WITH_SM2 "1.2.156.10197.1.501"
#define SZOID_CHALLENGE_PASSWORD "1.2.840.113549.1.9.7"
#define SZOID_EXCHANGE_KEY_ATTRIBUTE "1.2.840.113549.1.9.63"

// The fixed challenge password every double-certificate request carries.
#define PKCS10_CHALLENGE_PASSWORD "493027"

// SM2 PUBLICKEYBLOB of the SM2 provider: BLOBHEADER, then a 32-bit word and
// the X and Y fields of 64 bytes each (coordinate in the first 32, least
// significant byte first).
#define SM2_BLOBHEADER_SIZE 8
#define SM2_KEY_AREA_SIZE 132
#define SM2_PUBLICKEYBLOB_MIN_SIZE (SM2_BLOBHEADER_SIZE + SM2_KEY_AREA_SIZE)
#define SM2_COORDINATE_FIELD_SIZE 64
#define SM2_COORDINATE_SIZE 32
// 04 || x || y, both big-endian.
#define SM2_POINT_SIZE 65
// 00 B4 00 00, 00 01 00 00, X field, Y field.
#define SM2_EXCHANGE_KEY_RECORD_SIZE 136
// Raw SM2 signature: r then s, 32 bytes each.
#define SM2_RAW_SIGNATURE_SIZE 64
// The buffer handed to the SM2 provider for its signature.
#define SM2_SIGNATURE_BUFFER_SIZE 16384
// Hashing feeds the provider in pieces of at most this size.
#define PKCS10_HASH_PIECE_SIZE 0x4000

// What the request is composed from. The composer borrows every pointer.
struct PKCS10_REQUEST_INFO {
    DWORD dwKeySpec;                    // key spec of the signing key
    HCRYPTPROV hProv;                   // open provider holding the signing key
    LPCWSTR pwszSubject;                // subject text
    const char* pszAlgorithmOID;        // SZOID_RSA_ENCRYPTION or SZOID_EC_PUBLIC_KEY
    const char* pszParameterOID;        // empty (RSA) or SZOID_SM2_CURVE
    const BYTE* pbSignPublicKey;        // RSA: DER RSAPublicKey; SM2: PUBLICKEYBLOB
    DWORD cbSignPublicKey;
    const BYTE* pbExchangePublicKey;    // null for a single-certificate request
    DWORD cbExchangePublicKey;
    ALG_ID algHash;                     // CALG_SHA1, CALG_MD5 or CALG_SM3
    const char* pszSignAlgorithmOID;    // signatureAlgorithm of the request
    BOOL bSM2;
};

// The Base64 text of the signed DER request in lines of 64 characters joined
// by CR LF, zero-terminated (delete[]); *pnBase64Length counts the breaks.
HRESULT PKCS10RequestBase64(const PKCS10_REQUEST_INFO& info, char** ppszBase64, int* pnBase64Length);

// SEQUENCE { 02 01 00, Name, SubjectPublicKeyInfo [, A0 attributes] } from a
// description whose keys are already in request form (RSAPublicKey or the
// 65-byte SM2 point; RSAPublicKey or the 136-byte SM2 exchange key record).
HRESULT ComposeCertRequestInfo(const PKCS10_REQUEST_INFO& info, BYTE** ppbEncoded, int* pnEncodedLength);

// SEQUENCE { algorithm, BIT STRING { public key } }; pszParameterOID empty or
// null gives the NULL parameter.
HRESULT ComposeSignPublicKeyData(const char* pszAlgorithmOID, const char* pszParameterOID, const BYTE* pbPublicKey,
                                 int nPublicKeyLength, BYTE** ppbEncoded, int* pnEncodedLength);

// A0 { challengePassword, exchange key } of a double-certificate request; the
// attribute values stand directly after their identifiers.
HRESULT ComposeAttributes(const BYTE* pbExchangeKey, int nExchangeKeyLength, BYTE** ppbEncoded,
                          int* pnEncodedLength);

// SEQUENCE { OBJECT IDENTIFIER, NULL } of the signature algorithm.
HRESULT ComposeSignAlgorithm(const char* pszSignAlgorithmOID, BYTE** ppbEncoded, int* pnEncodedLength);

// Hashes the data with algHash in the provider and signs it with the key of
// dwKeySpec. The signature is handed out big-endian (RSA) or as r || s, each
// big-endian (SM2); *pcbSignature is the length the provider reported.
HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProv, DWORD dwKeySpec, const char* pszAlgorithmOID,
                                   const BYTE* pbData, DWORD cbData, ALG_ID algHash, BYTE** ppbSignature,
                                   DWORD* pcbSignature);

// The request's signature BIT STRING: the RSA signature as it stands, or the
// DER SEQUENCE { INTEGER r, INTEGER s } of a 64-byte SM2 signature.
HRESULT ComposeSignature(BOOL bSM2, const BYTE* pbSignature, int nSignatureLength, BYTE** ppbEncoded,
                         int* pnEncodedLength);

// 04 || x || y (65 bytes) from an SM2 PUBLICKEYBLOB; NTE_BAD_PUBLIC_KEY for a
// blob shorter than SM2_PUBLICKEYBLOB_MIN_SIZE. pbPoint holds SM2_POINT_SIZE.
HRESULT ConvertSM2PublicKeyBlobToPoint(const BYTE* pbBlob, DWORD cbBlob, BYTE* pbPoint);

// The 136-byte exchange key record from an SM2 PUBLICKEYBLOB; NTE_BAD_PUBLIC_KEY
// for a short blob. pbRecord holds SM2_EXCHANGE_KEY_RECORD_SIZE.
HRESULT ComposeSM2ExchangeKeyRecord(const BYTE* pbBlob, DWORD cbBlob, BYTE* pbRecord);
