// The enrollment agent: the one object behind the native-messaging host and
// the plug-in. It keeps the page's choices between calls (provider, key
// length, key algorithm, last key container) and the result of the last
// operation, checks arguments and hands the work to the request, import and
// store units.
#pragma once

#include <memory>
#include <string>

#include "win/windows.h"

// Text every front end reports for "KEVO_GetVersion".
#define KEVO_VERSION_TEXT "3.2.0.2"
#define KEVO_VERSION_TEXT_W u"3.2.0.2"

class CCryptoAgent final {
public:
    // hResourceModule names the deliverable whose string tables describe the
    // agent's own result codes; null means the calling deliverable itself.
    explicit CCryptoAgent(HMODULE hResourceModule = nullptr);
    // Not virtual: nothing derives from the agent and both front ends delete
    // it through its own type.
    ~CCryptoAgent();
    CCryptoAgent(const CCryptoAgent&) = delete;
    CCryptoAgent& operator=(const CCryptoAgent&) = delete;

    // The operations in the order both front ends rely on. Every one returns
    // KEVO_OK or a negative result code (E_OUTOFMEMORY when memory runs out:
    // no exception leaves an operation); out-strings are new BSTRs owned by
    // the caller; out-flags are written only on success.
    virtual HRESULT KEVO_GetCSPInfo(BSTR* pbstrCSPInfo);
    virtual HRESULT KEVO_SetCSPInfo(LONG nKeyLength, BSTR bstrCSPName, VARIANT_BOOL* pbResult);
    virtual HRESULT KEVO_SetKeyAlgorithm(BSTR bstrKeyAlgorithm, VARIANT_BOOL* pbResult);
    virtual HRESULT KEVO_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert, BSTR bstrContainerName,
                                           LONG nEncryptCertPrivateKeyFlags, VARIANT_BOOL* pbResult);
    virtual HRESULT KEVO_GetContainer(BSTR* pbstrContainerName);
    virtual HRESULT KEVO_ImportSignCert(LONG lCertType, BSTR bstrSignCert, BSTR bstrContainerName,
                                        VARIANT_BOOL* pbResult);
    virtual HRESULT KEVO_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG lCertType, LONG nSignPrivateKeyGenerateFlags,
                                               BSTR* pbstrPKCS10);
    virtual HRESULT KEVO_GetAllCertInfo(BSTR bstrCSPName, BSTR* pbstrCertInfo);
    virtual HRESULT KEVO_PKCS10CertRequisitionwithMD5(BSTR bstrSubjectDN, LONG lCertType,
                                                      LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10);
    virtual HRESULT KEVO_GetVersion(BSTR* pbstrVersion);
    virtual HRESULT GetLastErrorDesc(BSTR* pbstrErrorDesc);

    // Current settings and last result, read-only (not operations: no slot).
    const std::u16string& GetCSPName() const { return m_wstrCSPName; }
    const std::u16string& GetKeyAlgorithm() const { return m_wstrKeyAlgorithm; }
    LONG GetKeyLength() const { return m_nKeyLength; }
    LONG GetLastResult() const { return m_nLastError; }

private:
    // Both request operations: the checks, the request, and its text as the
    // answer (an empty one on failure), in the operations' frame.
    HRESULT PKCS10Requisition(LPCWSTR pwszFunction, bool bMD5, BSTR bstrSubjectDN, LONG lCertType,
                              LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10);
    HRESULT AnswerRequest(LPCWSTR pwszFunction, bool bMD5, BSTR bstrSubjectDN, LONG lCertType,
                          LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10);
    HRESULT BuildRequest(LPCWSTR pwszFunction, bool bMD5, BSTR bstrSubjectDN, LONG lCertType,
                         LONG nSignPrivateKeyGenerateFlags, std::unique_ptr<char[]>& pszPKCS10);
    HRESULT DescribeLastError(LPCWSTR pwszFunction, BSTR* pbstrErrorDesc) const;

    LONG m_nLastError;
    std::u16string m_wstrKeyAlgorithm;
    std::u16string m_wstrCSPName;
    // No key length until the page sets one; 0 tells the key generator so.
    LONG m_nKeyLength;
    std::u16string m_wstrContainerName;
    HMODULE m_hResourceModule;
};

// The installed providers' names joined by "||", in enumeration order.
HRESULT GetAllCSPName(std::u16string& wstrCSPNames);

// Blanks (U+0020 only) removed from both ends, in place.
void StripBlanks(std::u16string& wstr);
