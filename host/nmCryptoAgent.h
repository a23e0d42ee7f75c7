// Request handlers of the native-messaging host: each reads its parameters
// from the request's list, calls one operation of the agent and builds the
// response object. Every handler returns 0 and leaves a response object in
// *ppResponseJSON unless building it failed.
#pragma once

#include <cjson/cJSON.h>

#include "agent/CryptoAgent.h"

int nmKEVO_GetCSPInfo(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmKEVO_GetAllCertInfo(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmKEVO_SetCSPInfo(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmKEVO_SetKeyAlgorithm(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmKEVO_ImportEncryptCert(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmKEVO_GetContainer(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmKEVO_ImportSignCert(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmKEVO_PKCS10CertRequisition(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmKEVO_PKCS10CertRequisitionwithMD5(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmKEVO_GetVersion(cJSON** ppResponseJSON, const cJSON* pArgs);
int nmGetLastErrorDesc(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
