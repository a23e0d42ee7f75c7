// Entry point and message loop of the native-messaging host.
#include "host/LumoraHost.h"

#include <signal.h>

#include <cstdio>

#include <memory>
#include <string>
#include <new>

#include "diag/Diagnostics.h"
#include "agent/FrontEnd.h"
#include "host/IOStream.h"
#include "host/JSONUtility.h"
#include "host/nmCryptoAgent.h"
#include "win/platform_prefix.h"
#include "win/platform_registry.h"

#define TRACE_UNIT_A "LumoraHost"

HINSTANCE g_hInstance = nullptr;
CCryptoAgent* g_pobjCryptoAgent = nullptr;

namespace {

const int STDIN_FD = 0;
const int STDOUT_FD = 1;

// Resources of the CA chain documents the host installs.
const UINT IDR_RSA_CHAIN_OPERATION = 208;
const UINT IDR_RSA_CHAIN_TEST = 210;

// Traced with the line of each step, so every step keeps a message number of its own.
void TraceInstallStep(const char* pszLabel, HRESULT hResult, int nLine = __builtin_LINE()) {
    if (FAILED(hResult)) KevoTraceFailA(TRACE_UNIT_A, nLine, "RunInstallMode", pszLabel, hResult, "FAILED(hResult)");
    else KevoTraceOkA(TRACE_UNIT_A, nLine, "RunInstallMode", pszLabel);
}

// A step that runs out of memory fails like any other step.
template <typename Step>
HRESULT Guarded(Step step) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// Every step runs whatever the ones before it returned; results are only
// traced. Only a damaged machine hive stops it before the first step: no step
// could succeed, and the package's scripts must hear of it (exit code 1, one
// line on standard error). The hive is left as it is.
int RunInstallMode() {
    LSTATUS check = tessaro_platform::RegistryCheckHive(HKEY_LOCAL_MACHINE);
    if (check == ERROR_BADDB) {
        const std::string path = tessaro_platform::RegistryHasSystemHive()
                                     ? tessaro_platform::RegistrySystemHivePath()
                                     : tessaro_platform::PrefixDirectory() + "/machine.db";
        KEVO_FAIL_A("RunInstallMode", "RegistryCheckHive", HRESULT_FROM_WIN32(check), "ERROR_BADDB");
        std::fprintf(stderr,
                     "TessaroHost.QIRTAL.x86 -i: the machine hive %s is damaged (ERROR_BADDB, 1009, "
                     "0x%08X); nothing was installed and the hive was left as it is\n",
                     path.c_str(), static_cast<unsigned>(HRESULT_FROM_WIN32(check)));
        return 1;
    }
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) KEVO_FAIL_A("RunInstallMode", "CoInitialize", hr, "FAILED(hResult)");
    TraceInstallStep("DeleteRSADiscardCert", Guarded([] { return DeleteRSADiscardCert(); }));
    TraceInstallStep("DeleteSM2DiscardCert", Guarded([] { return DeleteSM2DiscardCert(); }));
    TraceInstallStep("ImportCertificateChainfromResoure(RSA Operation)",
                     Guarded([] { return ImportCertificateChainfromResoure(IDR_RSA_CHAIN_OPERATION); }));
    TraceInstallStep("ImportCertificateChainfromResoure(RSA Test)",
                     Guarded([] { return ImportCertificateChainfromResoure(IDR_RSA_CHAIN_TEST); }));
    CoUninitialize();
    return 0;
}

using HandlerWithAgent = int (*)(cJSON**, const cJSON*, CCryptoAgent*);

struct DispatchEntry {
    const char* pszName;
    HandlerWithAgent pfnHandler;
    const char* pszResponseName = nullptr;  // the name the handler answers with, when it differs
};

int GetVersionEntry(cJSON** ppResponseJSON, const cJSON* pParams, CCryptoAgent*) {
    return nmKEVO_GetVersion(ppResponseJSON, pParams);
}

// Compared in this order, ASCII case ignored; the first match is served.
const DispatchEntry DISPATCH_TABLE[] = {
    {"KEVO_GetCSPInfo", nmKEVO_GetCSPInfo},
    {"KEVO_GetAllCertInfo", nmKEVO_GetAllCertInfo},
    {"KEVO_SetCSPInfo", nmKEVO_SetCSPInfo},
    {"KEVO_SetKeyAlgorithm", nmKEVO_SetKeyAlgorithm},
    {"KEVO_ImportEncryptCert", nmKEVO_ImportEncryptCert},
    {"KEVO_GetContainer", nmKEVO_GetContainer},
    {"KEVO_ImportSignCert", nmKEVO_ImportSignCert},
    {"KEVO_PKCS10CertRequisition", nmKEVO_PKCS10CertRequisition},
    {"KEVO_PKCS10CertRequisitionwithMD5", nmKEVO_PKCS10CertRequisitionwithMD5},
    {"KEVO_GetVersion", GetVersionEntry},
    {"GetLastErrorDesc", nmGetLastErrorDesc, "KEVO_GetLastErrorDesc"},
};

// The answer when not even a response object can be made: fixed text, so it
// needs no memory. The page sees a failure instead of a host that went away.
const char NO_MEMORY_RESPONSE[] = "{\"function\":\"\",\"errorcode\":-2147024882,\"result\":false}";

}  // namespace

int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, const cJSON* pParams) {
    if (ppResponseJSON) *ppResponseJSON = nullptr;
    if (pszFuncName == nullptr) return -1;
    for (const DispatchEntry& entry : DISPATCH_TABLE) {
        if (_stricmp(pszFuncName, entry.pszName) == 0) {
            KEVO_OK_A("Invoke", entry.pszName);
            try {
                return entry.pfnHandler(ppResponseJSON, pParams, g_pobjCryptoAgent);
            } catch (const std::bad_alloc&) {
                // The agent answers its own exhaustion; this catches what the
                // handler's own steps ran out of.
                KEVO_FAIL_A("Invoke", entry.pszName, E_OUTOFMEMORY, "std::bad_alloc");
                if (ppResponseJSON == nullptr) return 0;
                cJSON_Delete(*ppResponseJSON);
                *ppResponseJSON = nullptr;
                ConstructResponseJSON(entry.pszResponseName ? entry.pszResponseName : entry.pszName, E_OUTOFMEMORY,
                                      JSON_RESULT_FALSE, nullptr, ppResponseJSON);
                return 0;
            }
        }
    }
    KEVO_FAIL_A("Invoke", "Find function", -1, "no operation of this name");
    return -1;
}

int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg) {
    char* pszFuncName = nullptr;
    cJSON* pParams = nullptr;
    char* pszRandomId = nullptr;
    cJSON* pResponseJSON = nullptr;
    int nResult = ParseRequestMsgToJSON(pszRequestMsg, &pszFuncName, &pParams, &pszRandomId);
    std::unique_ptr<char[]> holdFuncName(pszFuncName), holdRandomId(pszRandomId);
    JSONPtr holdParams(pParams);
    if (nResult == 0) {
        Invoke(&pResponseJSON, pszFuncName, pParams);
    } else {
        KEVO_FAIL_A("ParseAndRespondRequest", "ParseRequestMsgToJSON", nResult, "0 != nResult");
    }
    JSONPtr holdResponse(pResponseJSON);
    ConvertJSONToResponseMsg(pszFuncName, pszRandomId, pResponseJSON, ppszResponseMsg);
    return 0;
}

int MsgHandleProc() {
    for (;;) {
        char* pszRequestMsg = nullptr;
        unsigned nSize = 0;
        int nResult = ReadFromNativeMessaging(STDIN_FD, &pszRequestMsg, &nSize);
        std::unique_ptr<char[]> holdRequest(pszRequestMsg);
        if (nResult == NM_E_NO_MEMORY) {
            // The frame was dropped unread: it is answered as a failure.
            nResult = WriteToNativeMessaging(NO_MEMORY_RESPONSE, STDOUT_FD);
            if (nResult != 0) {
                KEVO_FAIL_A("MsgHandleProc", "WriteToNativeMessaging", nResult, "0 != nResult");
                return nResult;
            }
            continue;
        }
        if (nResult != 0) {
            KEVO_FAIL_A("MsgHandleProc", "ReadFromNativeMessaging", nResult, "0 != nResult");
            return nResult;
        }
        if (nSize == 0 || pszRequestMsg == nullptr) {
            KEVO_OK_A("MsgHandleProc", "end of conversation");
            return 0;
        }
        KevoTraceValueA("Request", pszRequestMsg);
        char* pszResponseMsg = nullptr;
        try {
            nResult = ParseAndRespondRequest(pszRequestMsg, &pszResponseMsg);
        } catch (const std::bad_alloc&) {
            KEVO_FAIL_A("MsgHandleProc", "ParseAndRespondRequest", E_OUTOFMEMORY, "std::bad_alloc");
            nResult = 0;
        }
        std::unique_ptr<char[]> holdResponse(pszResponseMsg);
        if (nResult != 0) continue;
        KevoTraceValueA("Response", pszResponseMsg);
        // What the request changed is on the disk before the page hears of it.
        if (tessaro_platform::RegistryMakeDurable() != ERROR_SUCCESS)
            KEVO_FAIL_A("MsgHandleProc", "RegistryMakeDurable", -1, "the changes may not be on the disk");
        nResult = WriteToNativeMessaging(pszResponseMsg ? pszResponseMsg : NO_MEMORY_RESPONSE, STDOUT_FD);
        if (nResult != 0) {
            KEVO_FAIL_A("MsgHandleProc", "WriteToNativeMessaging", nResult, "0 != nResult");
            return nResult;
        }
    }
}

int wmain(int argc, WCHAR* argv[]) {
    KevoTraceRegister();
    int nExitCode = 0;
    g_hInstance = GetModuleHandleW(nullptr);
    if (g_hInstance == nullptr) {
        KEVO_FAIL_A("wmain", "GetModuleHandleW", -1, "NULL == g_hInstance");
    } else if (argc == 2 && argv[1] != nullptr && _wcsicmp(argv[1], u"-i") == 0) {
        nExitCode = RunInstallMode();
    } else {
        // Without an agent the conversation is still held: every operation
        // answers that it failed, rather than the page losing its host.
        g_pobjCryptoAgent = new (std::nothrow) CCryptoAgent(g_hInstance);
        if (g_pobjCryptoAgent == nullptr) KEVO_FAIL_A("wmain", "new CCryptoAgent", -1, "NULL == g_pobjCryptoAgent");
        if ((nExitCode = SetTranslationMode()) != 0) {
            KEVO_FAIL_A("wmain", "SetTranslationMode", nExitCode, "0 != nResult");
        } else {
            // A browser that goes away mid-answer must end the loop through a
            // failed write, not kill the process.
            signal(SIGPIPE, SIG_IGN);
            // One sync per changed hive before each answer, not one per commit.
            tessaro_platform::RegistryDeferDurability(true);
            nExitCode = MsgHandleProc();
        }
    }
    delete g_pobjCryptoAgent;
    g_pobjCryptoAgent = nullptr;
    KevoTraceUnregister();
    return nExitCode;
}
