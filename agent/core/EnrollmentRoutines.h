// Routines of the import and store units that the agent and the front ends
// call, declared where their callers meet them; each unit defines its own.
// (The request builder's PKCS10CertRequisition is declared by its own unit.)
#pragma once

#include <string>

#include "win/windows.h"

// ImportSignCert and the certificate binding shared with the key import.
#include "CertificateInstall.h"

// Binds the issued signing certificate (Base64 text; commas are removed in
// place) to the key of dwKeySpec in the named container.
HRESULT ImportSignCert(const std::u16string& wstrKeyAlgorithm, std::u16string& wstrSignCert, DWORD dwKeySpec,
                       const std::u16string& wstrCSPName, const std::u16string& wstrContainerName);

// Opens the encrypted key envelope, imports the encryption key pair into the
// container and binds the encryption certificate to it.
HRESULT ImportEncryptCertEx(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                            const std::u16string& wstrKeyAlgorithm, const std::u16string& wstrEncryptedPrivateKeyData,
                            const std::u16string& wstrEncryptePublicCert, LONG nKeyLength, DWORD dwFlags);

// Install mode: removal of superseded CA certificates and installation of the
// CA chain documents compiled into the deliverable.
HRESULT DeleteRSADiscardCert();
HRESULT DeleteSM2DiscardCert();
HRESULT ImportCertificateChainfromResoure(UINT nResourceId);
