#pragma once
// Failures of the XML document wrappers, and HRToExc.
#include "contract/Hresult.h"
#include "base/mcExc.h"

KETTRIN_DECLARE_EXC(mcXmlExc, mcExc);

// A failed HRESULT (negative) raises mcXmlExc with function "HRToExc" and the
// description "Error: " + mfHResultText(hr); the exception's own hresult is 0
// (the code is only in the text). A success code does nothing.
void HRToExc(HRESULT hr);
