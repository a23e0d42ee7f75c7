// Modules, sessions and the user's login of the PKCS#11 token provider, and
// the pinentry conversation that asks for the PIN.
#include "platform/csp/Pkcs11TokenSession.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace tessaro::csp {

const CK_BBOOL kCkTrue = CK_TRUE;
const CK_BBOOL kCkFalse = CK_FALSE;

namespace {

struct Module {
    void* dl = nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
};

// All module calls of the process go through one lock (see the header).
std::recursive_mutex& GlobalMutex() {
    static std::recursive_mutex m;
    return m;
}

std::map<std::string, Module>& Modules() {
    static std::map<std::string, Module> m;
    return m;
}

std::map<std::pair<std::string, std::string>, TokenPtr>& Tokens() {
    static std::map<std::pair<std::string, std::string>, TokenPtr> m;
    return m;
}

CspStatus LoadModule(const std::string& path, CK_FUNCTION_LIST_PTR* out) {
    auto& mods = Modules();
    auto it = mods.find(path);
    if (it != mods.end()) {
        *out = it->second.f;
        return CSP_OK;
    }
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) return CspCode(NTE_PROV_DLL_NOT_FOUND);
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(dl, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR f = nullptr;
    if (!get || get(&f) != CKR_OK || !f) {
        dlclose(dl);
        return CspCode(NTE_PROV_DLL_NOT_FOUND);
    }
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = f->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        dlclose(dl);
        return CspCode(NTE_PROV_DLL_NOT_FOUND);
    }
    mods[path] = Module{dl, f};
    *out = f;
    return CSP_OK;
}

// A token label as PKCS#11 pads it: 32 bytes, blanks at the end.
std::string TrimLabel(const CK_UTF8CHAR* p, size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

bool SessionAlive(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_SESSION_INFO* info) {
    CK_SESSION_INFO i{};
    if (f->C_GetSessionInfo(s, &i) != CKR_OK) return false;
    if (info) *info = i;
    return true;
}

// ---- pinentry ------------------------------------------------------------------

// Assuan percent-escaping of a command argument.
std::string AssuanEscape(const std::string& s) {
    std::string r;
    for (unsigned char c : s) {
        if (c == '%' || c == '\r' || c == '\n' || c < 0x20) {
            char b[4];
            snprintf(b, sizeof b, "%%%02X", c);
            r += b;
        } else {
            r += static_cast<char>(c);
        }
    }
    return r;
}

int HexDigit(BYTE c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

class Conversation {
public:
    explicit Conversation(int fd) : m_fd(fd) {}
    bool Send(const std::string& line) {
        std::string l = line + "\n";
        size_t off = 0;
        while (off < l.size()) {
            ssize_t n = send(m_fd, l.data() + off, l.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    // One line without its newline, in wiping memory (it may be the PIN).
    bool Read(SecureBytes* line) {
        line->clear();
        for (;;) {
            BYTE c = 0;
            ssize_t n = recv(m_fd, &c, 1, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            if (c == '\n') return true;
            if (line->size() >= 4096) return false;
            line->push_back(c);
        }
    }
    // Reads to the closing OK (true) or ERR (false); D lines go to data.
    bool Answer(SecureBytes* data) {
        SecureBytes line;
        while (Read(&line)) {
            auto starts = [&](const char* p) {
                size_t n = strlen(p);
                return line.size() >= n && memcmp(line.data(), p, n) == 0 && (line.size() == n || line[n] == ' ');
            };
            if (starts("OK")) return true;
            if (starts("ERR")) return false;
            if (starts("D") && data) {
                for (size_t i = 2; i < line.size(); ++i) {
                    if (line[i] == '%' && i + 2 < line.size() && HexDigit(line[i + 1]) >= 0 &&
                        HexDigit(line[i + 2]) >= 0) {
                        data->push_back(static_cast<BYTE>(HexDigit(line[i + 1]) * 16 + HexDigit(line[i + 2])));
                        i += 2;
                    } else {
                        data->push_back(line[i]);
                    }
                }
            }
            // S (status), # (comments) and anything else: read on.
        }
        return false;
    }

private:
    int m_fd;
};

}  // namespace

CspStatus P11Status(CK_RV rv, HRESULT other) {
    switch (rv) {
        case CKR_OK:
            return CSP_OK;
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            return CspCode(SCARD_W_WRONG_CHV);
        case CKR_PIN_LOCKED:
            return CspCode(SCARD_W_CHV_BLOCKED);
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_DEVICE_REMOVED:
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SESSION_CLOSED:
            return CspCode(SCARD_E_NO_SMARTCARD);
        case CKR_HOST_MEMORY:
            return CspCode(NTE_NO_MEMORY);
        case CKR_DEVICE_MEMORY:  // whatever was being made: a key, a certificate, a container
            return CspCode(NTE_TOKEN_KEYSET_STORAGE_FULL);
        default:
            return CspCode(other);
    }
}

CspStatus AskPinThroughPinentry(const std::string& description, SecureBytes* pin) {
    const char* env = getenv("TESSARO_PINENTRY");
    std::string program = env && *env ? env : "pinentry";
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return CspCode(NTE_FAIL);
    pid_t pid = fork();
    if (pid < 0) {
        close(sv[0]);
        close(sv[1]);
        return CspCode(NTE_FAIL);
    }
    if (pid == 0) {
        dup2(sv[1], 0);
        dup2(sv[1], 1);
        execlp(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(sv[1]);
    Conversation c(sv[0]);
    SecureBytes got;
    bool ok = c.Answer(nullptr) && c.Send("SETTITLE Tessaro") && c.Answer(nullptr) &&
              c.Send("SETDESC " + AssuanEscape(description)) && c.Answer(nullptr) && c.Send("SETPROMPT PIN:") &&
              c.Answer(nullptr) && c.Send("GETPIN") && c.Answer(&got);
    if (c.Send("BYE")) c.Answer(nullptr);
    close(sv[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // A refused GETPIN is the user's cancel (pinentry's ERR 83886179), and so
    // is a pinentry that cannot be run: no PIN was given either way.
    if (!ok) return CspCode(SCARD_W_CANCELLED_BY_USER);
    *pin = std::move(got);
    return CSP_OK;
}

// ---- Tokens ---------------------------------------------------------------------

std::recursive_mutex& CP11Token::Mutex() { return GlobalMutex(); }

CspStatus CP11Token::Open(const std::string& modulePath, const std::string& label, TokenPtr* out) {
    std::lock_guard<std::recursive_mutex> g(GlobalMutex());
    CK_FUNCTION_LIST_PTR f = nullptr;
    if (CspStatus st = LoadModule(modulePath, &f)) return st;
    auto key = std::make_pair(modulePath, label);
    auto it = Tokens().find(key);
    if (it != Tokens().end() && SessionAlive(f, it->second->m_session, nullptr)) {
        *out = it->second;
        return CSP_OK;
    }
    CK_ULONG count = 0;
    if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return CspCode(SCARD_E_NO_SMARTCARD);
    std::vector<CK_SLOT_ID> slots(count);
    if (count && f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) return CspCode(SCARD_E_NO_SMARTCARD);
    slots.resize(count);
    // Two tokens under one label: which one holds the containers cannot be told.
    std::vector<CK_SLOT_ID> matching;
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO ti{};
        if (f->C_GetTokenInfo(slot, &ti) != CKR_OK) continue;
        if ((ti.flags & CKF_TOKEN_INITIALIZED) && TrimLabel(ti.label, sizeof ti.label) == label) matching.push_back(slot);
    }
    if (matching.size() > 1) return CspCode(HRESULT_FROM_WIN32(ERROR_AMBIGUOUS_SYSTEM_DEVICE));
    for (CK_SLOT_ID slot : matching) {
        CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
        CK_RV rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
        if (rv != CKR_OK) return P11Status(rv, NTE_FAIL);
        auto t = std::make_shared<CP11Token>(f, slot, s, label);
        if (it != Tokens().end()) {
            // The token came back: its PIN and first-open registration still count.
            t->m_pin = std::move(it->second->m_pin);
            t->m_bFirstOpenDone = it->second->m_bFirstOpenDone;
        }
        Tokens()[key] = t;
        *out = t;
        return CSP_OK;
    }
    return CspCode(SCARD_E_NO_SMARTCARD);
}

CspStatus CP11Token::LoginLocked(const SecureBytes& pin) {
    CK_RV rv = m_f->C_Login(m_session, CKU_USER, const_cast<CK_UTF8CHAR_PTR>(pin.data()),
                            static_cast<CK_ULONG>(pin.size()));
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        m_bLoggedIn = true;
        return CSP_OK;
    }
    return P11Status(rv, NTE_FAIL);
}

CspStatus CP11Token::Login(bool bPrompt) {
    std::lock_guard<std::recursive_mutex> g(GlobalMutex());
    CK_SESSION_INFO si{};
    if (!SessionAlive(m_f, m_session, &si)) return CspCode(SCARD_E_NO_SMARTCARD);
    if (si.state == CKS_RW_USER_FUNCTIONS || si.state == CKS_RO_USER_FUNCTIONS) return CSP_OK;
    CK_TOKEN_INFO ti{};
    if (m_f->C_GetTokenInfo(m_slot, &ti) != CKR_OK) return CspCode(SCARD_E_NO_SMARTCARD);
    if (ti.flags & CKF_USER_PIN_LOCKED) return CspCode(SCARD_W_CHV_BLOCKED);
    if (m_pin.empty()) {
        if (!bPrompt) return CspCode(NTE_SILENT_CONTEXT);
        SecureBytes pin;
        if (CspStatus st = AskPinThroughPinentry("Enter the PIN of the token \"" + m_label + "\".", &pin))
            return st;
        m_pin = std::move(pin);
    }
    CspStatus st = LoginLocked(m_pin);
    if (st) m_pin = SecureBytes();  // a wrong PIN is asked for again next time
    return st;
}

CspStatus CP11Token::LoginWith(const BYTE* pin, size_t len) {
    std::lock_guard<std::recursive_mutex> g(GlobalMutex());
    CK_SESSION_INFO si{};
    if (!SessionAlive(m_f, m_session, &si)) return CspCode(SCARD_E_NO_SMARTCARD);
    SecureBytes p(pin, pin + len);
    if (si.state == CKS_RW_USER_FUNCTIONS || si.state == CKS_RO_USER_FUNCTIONS) m_f->C_Logout(m_session);
    CspStatus st = LoginLocked(p);
    m_pin = st ? SecureBytes() : std::move(p);
    return st;
}

CspStatus CP11Token::Find(std::vector<CK_ATTRIBUTE> tmpl, std::vector<CK_OBJECT_HANDLE>* out) {
    std::lock_guard<std::recursive_mutex> g(GlobalMutex());
    out->clear();
    CK_RV rv = m_f->C_FindObjectsInit(m_session, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()));
    if (rv != CKR_OK) return P11Status(rv);
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG n = 0;
    while ((rv = m_f->C_FindObjects(m_session, batch, 64, &n)) == CKR_OK && n > 0 && out->size() < 4096)
        out->insert(out->end(), batch, batch + n);
    m_f->C_FindObjectsFinal(m_session);
    return P11Status(rv);
}

CspStatus CP11Token::Missing(HRESULT code) {
    std::lock_guard<std::recursive_mutex> g(GlobalMutex());
    CK_TOKEN_INFO ti{};
    if (m_f->C_GetTokenInfo(m_slot, &ti) != CKR_OK) return CspCode(SCARD_E_NO_SMARTCARD);
    return CspCode(code);
}

bool CP11Token::Attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type, std::vector<BYTE>* out) {
    std::lock_guard<std::recursive_mutex> g(GlobalMutex());
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (m_f->C_GetAttributeValue(m_session, h, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return false;
    out->assign(a.ulValueLen, 0);
    a.pValue = out->data();
    return m_f->C_GetAttributeValue(m_session, h, &a, 1) == CKR_OK;
}

bool CP11Token::FirstOpen() {
    std::lock_guard<std::recursive_mutex> g(GlobalMutex());
    if (m_bFirstOpenDone) return false;
    m_bFirstOpenDone = true;
    return true;
}

void CP11Token::ResetAll() {
    std::lock_guard<std::recursive_mutex> g(GlobalMutex());
    for (auto& t : Tokens()) t.second->m_f->C_CloseSession(t.second->m_session);
    Tokens().clear();
    for (auto& m : Modules()) {
        m.second.f->C_Finalize(nullptr);
        dlclose(m.second.dl);
    }
    Modules().clear();
}

}  // namespace tessaro::csp
