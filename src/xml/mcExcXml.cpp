// The XML record of an exception.
#include "xml/XMLUtil.h"
#include "xml/miXMLDOMDocument.h"
#include "base/mcExc.h"
#include "xml/mcXmlExc.h"

namespace {
constexpr const char* kRecordElement = "zr_cli_exception";
constexpr const char* kExcTypeName = "class mcExc";
}  // namespace

void mcExc::SaveToXml(miXMLDOMDocument& document) const {
    miXMLDOMElement record = document.CreateElement(kRecordElement);
    record.SetAttributeText("type", kExcTypeName);
    record.AppendChild(document.CreateTextElement("desc", m_strDescription));
    miXMLDOMElement location = document.CreateElement("throw_loc");
    location.AppendChild(document.CreateTextElement("func", m_strFunction));
    location.AppendChild(document.CreateTextElement("file", m_strFile));
    location.AppendChild(document.CreateTextElement("line", std::to_string(m_nLine)));
    record.AppendChild(location);
    document.AppendChild(record);
}

void mcExc::LoadFromXml(miXMLDOMDocument& document, const std::string& fallbackDescription) {
    try {
        miXMLDOMElement record = document.GetDocumentElement();
        m_strDescription = record.GetChildElementText("desc");
        miXMLDOMElement location = record.GetChildElement("throw_loc");
        m_strFunction = location.GetChildElementText("func");
        m_strFile = location.GetChildElementText("file");
        std::int32_t line = 0;
        HRESULT hr = mfXmlTextToInt32(location.GetChildElementText("line"), &line);
        if (FAILED(hr)) HRToExc(hr);
        m_nLine = line;
    } catch (...) {
        KTHROW_AT(mcExc, "mcExc::LoadFromXml", 178, fallbackDescription);
    }
}
