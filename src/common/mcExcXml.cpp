// Placeholder until the XML wrappers land.
#include "common/mcExc.h"

void mcExc::LoadFromXml(miXMLDOMDocument&, const std::string& fallbackDescription) {
    KTHROW(mcExc, "mcExc::LoadFromXml", fallbackDescription);
}

void mcExc::SaveToXml(miXMLDOMDocument&) const {
    KTHROW(mcExc, "mcExc::SaveToXml", "not available", E_NOTIMPL);
}
