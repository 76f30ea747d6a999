// Fuzz target: the XML document wrappers. Parses the input as a buffer
// (loadXML) or as a file (load), then reads every element the way the stores
// and manifests do (lookups, attribute conversions, texts, markup), edits the
// tree and saves it; what was saved must load again.
//
// Input: one mode byte, then the XML text. Mode bits: 0x01 validation on
// parse, 0x02 load from a file instead of a buffer, 0x04 edit, save and reload,
// 0x08 with the attribute limits of install data: what loads then must hold
// no more attributes than they allow.
#include <libxml/tree.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "base/mcExc.h"
#include "xml/miXMLDOMDocument.h"
#include "xml/miXMLDOMElement.h"

namespace {

constexpr std::uint8_t kModeValidate = 0x01;
constexpr std::uint8_t kModeFromFile = 0x02;
constexpr std::uint8_t kModeEditAndSave = 0x04;
constexpr std::uint8_t kModeLimits = 0x08;

// Every read the system makes of an element; failures are expected results.
void PrvReadElement(const miXMLDOMElement& element, const miXMLDOMElement& root) {
    const std::string tag = element.GetTagName();
    std::string text;
    element.FindTextNodeText(&text);
    (void)element.GetTextNodeInt();
    (void)element.GetXml();
    (void)element.GetChildNodes();
    try {
        (void)element.GetTextNodeText();
    } catch (const mcExc&) {
    }
    for (const xmlAttr* attr = element.GetNode()->properties; attr != nullptr; attr = attr->next) {
        std::string name;
        if (attr->ns != nullptr && attr->ns->prefix != nullptr) {
            name = reinterpret_cast<const char*>(attr->ns->prefix);
            name += ':';
        }
        name += reinterpret_cast<const char*>(attr->name);
        std::string value;
        bool flag = false;
        try {
            element.FindAttributeText(name, &value);
            (void)element.HasAttributeText(name, value);
            (void)element.FindAttributeBool(name, &flag);
            (void)element.GetAttributeText(name);
            (void)element.GetAttributeInt(name);
        } catch (const mcExc&) {
        }
        try {
            (void)root.GetChildElementByAttrVal(tag, name, value);
        } catch (const mcExc&) {
        }
    }
    try {
        miXMLDOMElement child;
        if (root.FindChildElement(tag, &child)) (void)root.GetChildElementText(tag);
        (void)root.FindChildElementText(tag, &text);
        (void)root.GetChildElementInt(tag);
        (void)root.GetChildElement(tag);
    } catch (const mcExc&) {
    }
    miXMLDOMElement direct;
    (void)element.FindDirectChild(tag, &direct);
    (void)element.GetChildElementsByName(tag, nullptr);
}

// The edits the configuration store makes, then save and load again.
void PrvEditAndSave(miXMLDOMDocument& document, miXMLDOMElement& root, const std::string& scratch) {
    std::string text;
    root.FindTextNodeText(&text);
    try {
        miXMLDOMElement added = document.CreateTextElement("Added", text);
        added.SetAttributeText("value", text);
        root.AppendChild(added);
        const auto elements = root.GetElementsByTagName("*");
        if (!elements.empty()) {
            miXMLDOMElement last = elements.back();
            miXMLDOMNode parent(last.GetNode()->parent);
            if (parent.GetNode() != nullptr && parent.GetNode()->type == XML_ELEMENT_NODE) {
                parent.RemoveChild(last);
                root.AppendChild(last);
            }
        }
    } catch (const mcExc&) {
        // Text that is no valid XML text is refused: an expected result.
    }
    for (const xmlAttr* attr = root.GetNode()->properties; attr != nullptr;) {
        const xmlAttr* next = attr->next;
        if (attr->ns == nullptr) {
            std::string value;
            root.FindAttributeText(reinterpret_cast<const char*>(attr->name), &value);
            root.SetAttributeText(reinterpret_cast<const char*>(attr->name), value + "x");
        }
        attr = next;
    }
    (void)document.GetXml();

    const std::string path = scratch + "/saved.xml";
    document.save(path);
    // The edits need not fit a DTD the document carries: no validation here.
    miXMLDOMDocument reloaded;
    reloaded.SetValidateOnParse(false);
    try {
        reloaded.load(path);
    } catch (const mcExc& e) {
        // What the wrappers saved themselves must read back.
        std::fprintf(stderr, "saved document does not load again: %s\n", e.Description().c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& scratch = mfFuzzSetUp();
    mcFuzzInput input(data, size);
    const std::uint8_t mode = input.TakeByte();
    const std::string_view xml = input.TakeRest();

    miXMLDOMDocument document;
    document.SetAsync(false);
    document.SetValidateOnParse((mode & kModeValidate) != 0);
    const mcXmlAttributeLimits limits = mcXmlAttributeLimits::InstallData();
    if ((mode & kModeLimits) != 0) document.SetAttributeLimits(limits);
    try {
        if ((mode & kModeFromFile) != 0) {
            const std::string path = scratch + "/input.xml";
            if (!mfFuzzWriteFile(path, xml)) return 0;
            document.load(path);
        } else {
            document.loadXML(xml);
        }
    } catch (const mcExc&) {
        // Not XML: the document must be empty and usable.
        if (!document.GetDocumentElement().IsEmpty()) std::abort();
        (void)document.GetXml();
        return 0;
    }

    miXMLDOMElement root = document.GetDocumentElement();
    if (root.IsEmpty()) return 0;
    if ((mode & kModeLimits) != 0) {
        // The count before parsing must never fall short of libxml2's tree.
        std::size_t nTotal = 0;
        for (const miXMLDOMElement& element : document.GetElementsByTagName("*")) {
            std::size_t nOnElement = 0;
            for (const xmlAttr* pAttr = element.GetNode()->properties; pAttr != nullptr; pAttr = pAttr->next) ++nOnElement;
            if (nOnElement > mcXmlAttributeLimits::kMaxPerElement) std::abort();
            nTotal += nOnElement;
        }
        if (nTotal > 1024) std::abort();
    }
    (void)document.GetXml();
    for (const miXMLDOMElement& element : document.GetElementsByTagName("*")) {
        PrvReadElement(element, root);
    }
    if ((mode & kModeEditAndSave) != 0) PrvEditAndSave(document, root, scratch);
    return 0;
}
