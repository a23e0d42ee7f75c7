// Routines whose units have not landed yet. Each one traces that it was
// called and answers E_NOTIMPL, so the front ends report a failure code and
// never crash. A unit that lands its routine deletes that routine from here.
#include "Diagnostics.h"
#include "EnrollmentRoutines.h"

#define TRACE_UNIT_W u"PendingRoutines"

namespace {
HRESULT NotYetAvailable(LPCWSTR pwszFunction) {
    TraceHelper th(pwszFunction);
    KEVO_FAIL_W(pwszFunction, u"Routine not available in this build", u"E_NOTIMPL", E_NOTIMPL);
    return E_NOTIMPL;
}
}  // namespace

HRESULT DeleteRSADiscardCert() { return NotYetAvailable(u"DeleteRSADiscardCert"); }

HRESULT DeleteSM2DiscardCert() { return NotYetAvailable(u"DeleteSM2DiscardCert"); }

HRESULT ImportCertificateChainfromResoure(UINT nResourceId) {
    return NotYetAvailable(u"ImportCertificateChainfromResoure");
}
