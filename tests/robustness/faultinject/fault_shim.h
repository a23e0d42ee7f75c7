/* Shared between the C and C++ parts of the fault shim. */
#pragma once

#define FAULT_KIND_SQLITE 1
#define FAULT_KIND_OPENSSL 2
#define FAULT_KIND_NEW 3
#define FAULT_KIND_MALLOC 4

#ifdef __cplusplus
extern "C" {
#endif
/* True when this call of a function of the kind must fail. */
int FaultShimFail(int nKind);
#ifdef __cplusplus
}
#endif
