// The CA's key envelope: a text of fixed-width fields and two Base64 parts,
//
//   16-digit device type | encrypt type | session key type |
//   16-digit length L1 | session key part (L1 characters, Base64, ends in ',')
//   16-digit length L2 | private key part (L2 characters, Base64, ends in ',')
//
// Each part decodes to SEQUENCE { INTEGER, OCTET STRING }; the octet string
// carries the encrypted key. Everything read out of it is kept in wiping
// buffers; a failure hands nothing out and leaves the caller's buffers as
// they were.
#pragma once

#include <cstddef>
#include <string>

#include "tessaro/SecureBuffer.h"
#include "win/windows.h"

// The session key type of the envelope that names 3DES.
#define ENVELOPE_SESSION_KEY_3DES 306
// Width of every numeric field of the envelope.
#define ENVELOPE_FIELD_LENGTH 16

// Certificate text (commas anywhere are ignored) to DER.
HRESULT ParseEncryptCertPublicKeyCert(const std::u16string& wstrEncryptPublicCert, tessaro::SecureBytes& cert);

// The envelope readers share one form: the envelope text in; the session
// key (or part), its algorithm and the private key (or part) out.
using EnvelopeReader = HRESULT(const std::u16string& wstrEncryptedPrivateKeyData, tessaro::SecureBytes& session,
                               ALG_ID& algSession, tessaro::SecureBytes& privateKey);

// The encrypted session key, its algorithm (CALG_3DES, or 0 in the Ex form
// for "no session key") and the encrypted private key. The plain form
// accepts only session key type 306.
EnvelopeReader ParseEncryptCertPrivateKeyData;
EnvelopeReader ParseEncryptCertPrivateKeyDataEx;

// The fields and both decoded (still wrapped) parts. In the Ex form a session
// key type of 0 leaves the session part undecoded and empty.
EnvelopeReader GetSessionKeyandPrivateKeyASN1Obj;
EnvelopeReader GetSessionKeyandPrivateKeyASN1ObjEx;

// One length field and the Base64 part after it, from nPosition; the part is
// handed out without its commas and nPosition moves past it.
HRESULT GetBase64KeyFromEncryptedData(const std::u16string& wstrEncryptedPrivateKeyData, size_t& nPosition,
                                      std::u16string& wstrKeyBase64);

// The content of the second element of a two-element structure.
HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE* pbPart, DWORD cbPart, tessaro::SecureBytes& key);
