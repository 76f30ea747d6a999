#include "common/mcXmlExc.h"

#include "common/SystemMessages.h"

void HRToExc(HRESULT hr) {
    if (hr >= 0) return;
    KTHROW(mcXmlExc, "HRToExc", "Error: " + mfHResultText(hr));
}
