// The PKCS#11 side of the token provider: modules loaded once per process,
// one read/write session per token (found by its label), the user's login
// with a PIN asked through pinentry, and small object helpers.
//
// Every call into a module happens under the token's lock (TokenLock): one
// session serves the whole process, and PKCS#11 runs one operation at a time
// on a session.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/csp/CspCommon.h"

namespace tessaro::csp {

// The last-error value of a PKCS#11 answer: CKR_PIN_INCORRECT is
// SCARD_W_WRONG_CHV, CKR_PIN_LOCKED SCARD_W_CHV_BLOCKED, a missing token or
// a lost session SCARD_E_NO_SMARTCARD; anything else unexpected is `other`.
CspStatus P11Status(CK_RV rv, HRESULT other = NTE_FAIL);

class CP11Token {
public:
    // The token with that label behind the module at modulePath, shared by
    // every provider object of the process. Loads and initialises the module
    // on first use; SCARD_E_NO_SMARTCARD when no slot holds the token,
    // NTE_PROV_DLL_NOT_FOUND when the module does not load.
    static CspStatus Open(const std::string& modulePath, const std::string& label, std::shared_ptr<CP11Token>* out);

    // Logs the user in (once per process and token): the PIN comes from
    // LoginWith or, when none was given, from pinentry (NTE_SILENT_CONTEXT
    // instead when bPrompt is false), and is kept in memory for the next
    // login only while it is right.
    CspStatus Login(bool bPrompt = true);
    // A PIN given by the caller (PP_KEYEXCHANGE_PIN); it replaces the kept one
    // and logs in with it.
    CspStatus LoginWith(const BYTE* pin, size_t len);

    CK_FUNCTION_LIST_PTR F() const { return m_f; }
    CK_SESSION_HANDLE Session() const { return m_session; }
    CK_SLOT_ID Slot() const { return m_slot; }
    const std::string& Label() const { return m_label; }
    std::recursive_mutex& Mutex();

    // Objects matching the template (at most 4096).
    CspStatus Find(std::vector<CK_ATTRIBUTE> tmpl, std::vector<CK_OBJECT_HANDLE>* out);
    // What a find that found nothing answers: code, or SCARD_E_NO_SMARTCARD
    // when the token is gone while its session lingers (a module that keeps
    // the slot answers finds from what it had). Only on that path, since a
    // card's module may ask the reader for token info.
    CspStatus Missing(HRESULT code);
    // One attribute's value; false when the object does not give it.
    bool Attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type, std::vector<BYTE>* out);
    // True the first time it is asked in this process for this token
    // (certificates on the token are registered once per process).
    bool FirstOpen();

    // Forgets the modules, sessions and PINs (as a new process would start).
    static void ResetAll();

    CP11Token(CK_FUNCTION_LIST_PTR f, CK_SLOT_ID slot, CK_SESSION_HANDLE s, std::string label)
        : m_f(f), m_slot(slot), m_session(s), m_label(std::move(label)) {}

private:
    CspStatus LoginLocked(const SecureBytes& pin);

    CK_FUNCTION_LIST_PTR m_f;
    CK_SLOT_ID m_slot;
    CK_SESSION_HANDLE m_session;
    std::string m_label;
    bool m_bLoggedIn = false;
    bool m_bFirstOpenDone = false;
    SecureBytes m_pin;
};

using TokenPtr = std::shared_ptr<CP11Token>;

// Asks for a PIN through pinentry's Assuan protocol (the program named by
// TESSARO_PINENTRY, else `pinentry` on PATH). SCARD_W_CANCELLED_BY_USER
// when the user cancels or no pinentry answers.
CspStatus AskPinThroughPinentry(const std::string& description, SecureBytes* pin);

// Attribute template helpers: the value is referred to, not copied.
inline CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE t, const void* p, size_t n) {
    return CK_ATTRIBUTE{t, const_cast<void*>(p), static_cast<CK_ULONG>(n)};
}
template <class T>
CK_ATTRIBUTE AttrOf(CK_ATTRIBUTE_TYPE t, const T& v) {
    return Attr(t, &v, sizeof v);
}

extern const CK_BBOOL kCkTrue;
extern const CK_BBOOL kCkFalse;

}  // namespace tessaro::csp
