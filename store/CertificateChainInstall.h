// Installation of the CA chains carried as XML documents among the
// deliverable's resources (type "CERTIFICATE"): root certificates are written
// directly into the machine's trusted-root registry key, the intermediates of
// the document's PKCS#7 part are added to the machine's "CA" store. Expired
// certificates are left out. Runs on a thread with COM initialised.
//
// Buffers handed out are new[] allocations the caller releases with delete[].
#pragma once

#include "win/msxml.h"
#include "win/windows.h"

// Resource ids of the chain documents.
#define IDR_CERTIFICATE_RSA_OPERATION 208
#define IDR_CERTIFICATE_SM2_OPERATION 209
#define IDR_CERTIFICATE_RSA_TEST 210
#define IDR_CERTIFICATE_SM2_TEST 211

// The registry key below HKEY_LOCAL_MACHINE that holds the machine's
// trusted roots, one subkey per SHA-1 thumbprint.
#define ROOT_CERTIFICATES_REGPATH u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates"

// Loads the document from this deliverable's own resources and installs it;
// 0 or the first failure.
HRESULT ImportCertificateChainfromResoure(UINT nResourceId);

// A copy of the resource (type "CERTIFICATE") in a new zero-filled buffer.
HRESULT LoadModuleResource(HMODULE hInstance, UINT nResourceId, BYTE** ppbData, DWORD* pcbData);

// Parses the document bytes (UTF-8) and installs what they carry.
HRESULT ImportCertificateChainfromBlobData(const BYTE* pbData, DWORD cbData);

// A new DOM document loaded from the bytes; a document that does not parse
// gives KEVO_E_XML_PARSE.
HRESULT LoadXMLDom(const BYTE* pbData, DWORD cbData, IXMLDOMDocument** ppXMLDoc);

// Root entries first (one bad entry does not stop the others), then the
// PKCS#7 part.
HRESULT ImportCertChainfromXMLDOMDoc(IXMLDOMDocument* pXMLDoc);

// The document's last child.
HRESULT GetXMLRootNode(IXMLDOMDocument* pXMLDoc, IXMLDOMNode** ppRootNode);

// The first child whose name contains pwszName, case ignored; the positive
// code 0x20001402 and no node when none does.
HRESULT FindChildNode(IXMLDOMNode** ppChildNode, IXMLDOMNode* pParentNode, LPCWSTR pwszName);
#define KEVO_S_CHILD_NOT_FOUND static_cast<HRESULT>(0x20001402)

// The node's text in a new zero-terminated buffer.
HRESULT GetNodeValue(IXMLDOMNode* pNode, LPWSTR* ppwszValue);

// The texts of children 0, 1 and 2 of a Certificate element: ImportPath,
// EntryPoint and Content. Fewer than three children: KEVO_E_XML_PARSE.
HRESULT GetRegisteredCertificateInfoNode(IXMLDOMNode* pCertNode, LPWSTR* ppwszImportPath, LPWSTR* ppwszEntryPoint,
                                         LPWSTR* ppwszContent);

HRESULT ParseRootCACertificateNode(IXMLDOMNode* pNode);
HRESULT ParseCertificateNode(const FILETIME* pftMachineTime, IXMLDOMNode* pNode);
HRESULT ParseP7bContentNode(IXMLDOMNode* pNode);

// The DER certificate (the value of the property-32 record) out of the
// Base64 text of a serialized property blob. E_FAIL when a record header or
// value runs past the blob or no record 32 is reached.
HRESULT GetCertFromCertificateBlobProperties(BYTE** ppbCert, LPCWSTR pwszContent, DWORD* pcbCert);

// Writes the decoded Content blob as value "Blob" of HKLM\<ImportPath>\<EntryPoint>.
HRESULT WriteCertificatetoRegistry(LPCWSTR pwszImportPath, LPCWSTR pwszEntryPoint, LPCWSTR pwszContent);

// Opens HKLM\<path> (which must exist), creates or opens the subkey and sets
// its value "Blob" (REG_BINARY) to the bytes.
HRESULT RegWriteBinaryValue(LPCWSTR pwszPath, LPCWSTR pwszSubKey, const BYTE* pbData, DWORD cbData);

// An in-memory read-only store of the certificates of a PKCS#7 SignedData.
HRESULT ImportP7bCertificatestoStore(const BYTE* pbData, HCERTSTORE* phStore, LONG nSize);

// Adds the unexpired, not self-signed certificates of the store to the
// machine's "CA" store; ones already there are not an error.
HRESULT AddCACertficatetoStore(HCERTSTORE hSourceStore);
