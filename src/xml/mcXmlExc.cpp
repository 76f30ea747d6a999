#include "xml/mcXmlExc.h"

#include "base/SystemMessages.h"

void HRToExc(HRESULT hr) {
    if (hr >= 0) return;
    KTHROW_AT(mcXmlExc, "HRToExc", 95, "Error: " + mfHResultText(hr));
}
