#include "bus/mcBusMessage.h"

#include <systemd/sd-bus.h>

#include <utility>

#include "bus/mcBusExc.h"

namespace {

std::string PrvText(const char* psz) { return psz ? std::string(psz) : std::string(); }

}  // namespace

mcBusMessage::~mcBusMessage() { sd_bus_message_unref(m_pMessage); }

mcBusMessage::mcBusMessage(const mcBusMessage& other)
    : m_pMessage(sd_bus_message_ref(other.m_pMessage)) {}

mcBusMessage::mcBusMessage(mcBusMessage&& other) noexcept
    : m_pMessage(std::exchange(other.m_pMessage, nullptr)) {}

mcBusMessage& mcBusMessage::operator=(const mcBusMessage& other) {
    if (this != &other) {
        sd_bus_message* pOld = m_pMessage;
        m_pMessage = sd_bus_message_ref(other.m_pMessage);
        sd_bus_message_unref(pOld);
    }
    return *this;
}

mcBusMessage& mcBusMessage::operator=(mcBusMessage&& other) noexcept {
    if (this != &other) {
        sd_bus_message_unref(m_pMessage);
        m_pMessage = std::exchange(other.m_pMessage, nullptr);
    }
    return *this;
}

mcBusMessage mcBusMessage::Adopt(sd_bus_message* pMessage) { return mcBusMessage(pMessage); }

mcBusMessage mcBusMessage::Ref(sd_bus_message* pMessage) {
    return mcBusMessage(sd_bus_message_ref(pMessage));
}

void mcBusMessage::PrvRequire(const char* pszFunction) const {
    if (!m_pMessage) KTHROW(mcBusExc, pszFunction, "no message", std::string(), EINVAL);
}

mcBusMessage::Type mcBusMessage::GetType() const {
    if (!m_pMessage) return Type::Null;
    std::uint8_t nType = 0;
    if (sd_bus_message_get_type(m_pMessage, &nType) < 0) return Type::Null;
    switch (nType) {
        case SD_BUS_MESSAGE_METHOD_CALL: return Type::MethodCall;
        case SD_BUS_MESSAGE_METHOD_RETURN: return Type::MethodReturn;
        case SD_BUS_MESSAGE_METHOD_ERROR: return Type::MethodError;
        case SD_BUS_MESSAGE_SIGNAL: return Type::Signal;
        default: return Type::Null;
    }
}

std::string mcBusMessage::Sender() const {
    return m_pMessage ? PrvText(sd_bus_message_get_sender(m_pMessage)) : std::string();
}

std::string mcBusMessage::Destination() const {
    return m_pMessage ? PrvText(sd_bus_message_get_destination(m_pMessage)) : std::string();
}

std::string mcBusMessage::Path() const {
    return m_pMessage ? PrvText(sd_bus_message_get_path(m_pMessage)) : std::string();
}

std::string mcBusMessage::Interface() const {
    return m_pMessage ? PrvText(sd_bus_message_get_interface(m_pMessage)) : std::string();
}

std::string mcBusMessage::Member() const {
    return m_pMessage ? PrvText(sd_bus_message_get_member(m_pMessage)) : std::string();
}

std::string mcBusMessage::Signature() const {
    return m_pMessage ? PrvText(sd_bus_message_get_signature(m_pMessage, 1)) : std::string();
}

bool mcBusMessage::IsMethodCall(const std::string& strInterface,
                                const std::string& strMember) const {
    return m_pMessage && sd_bus_message_is_method_call(m_pMessage, strInterface.c_str(),
                                                       strMember.c_str()) > 0;
}

bool mcBusMessage::IsSignal(const std::string& strInterface, const std::string& strMember) const {
    return m_pMessage &&
           sd_bus_message_is_signal(m_pMessage, strInterface.c_str(), strMember.c_str()) > 0;
}

std::string mcBusMessage::ErrorName() const {
    const sd_bus_error* pError = m_pMessage ? sd_bus_message_get_error(m_pMessage) : nullptr;
    return pError ? PrvText(pError->name) : std::string();
}

std::string mcBusMessage::ErrorMessage() const {
    const sd_bus_error* pError = m_pMessage ? sd_bus_message_get_error(m_pMessage) : nullptr;
    return pError ? PrvText(pError->message) : std::string();
}

bool mcBusMessage::ExpectsReply() const {
    return m_pMessage && sd_bus_message_get_expect_reply(m_pMessage) > 0;
}

mcBusMessage mcBusMessage::NewMethodReturn() const {
    PrvRequire("mcBusMessage::NewMethodReturn");
    sd_bus_message* pReply = nullptr;
    const int r = sd_bus_message_new_method_return(m_pMessage, &pReply);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusMessage::NewMethodReturn",
               mcBusExc::ErrnoText("sd_bus_message_new_method_return", r), std::string(), r);
    }
    return Adopt(pReply);
}

mcBusMessage mcBusMessage::NewError(const std::string& strName, const std::string& strText) const {
    PrvRequire("mcBusMessage::NewError");
    const sd_bus_error error = SD_BUS_ERROR_MAKE_CONST(strName.c_str(), strText.c_str());
    sd_bus_message* pReply = nullptr;
    const int r = sd_bus_message_new_method_error(m_pMessage, &pReply, &error);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusMessage::NewError",
               mcBusExc::ErrnoText("sd_bus_message_new_method_error", r), std::string(), r);
    }
    return Adopt(pReply);
}

void mcBusMessage::PrvAppendBasic(char cType, const void* pValue, const char* pszFunction) {
    PrvRequire(pszFunction);
    const int r = sd_bus_message_append_basic(m_pMessage, cType, pValue);
    if (r < 0) {
        KTHROW(mcBusExc, pszFunction,
               mcBusExc::ErrnoText(std::string("appending a value of type '") + cType + "'", r),
               std::string(), r);
    }
}

mcBusMessage& mcBusMessage::Append(std::int32_t nValue) {
    PrvAppendBasic('i', &nValue, "mcBusMessage::Append");
    return *this;
}

mcBusMessage& mcBusMessage::Append(std::uint32_t nValue) {
    PrvAppendBasic('u', &nValue, "mcBusMessage::Append");
    return *this;
}

mcBusMessage& mcBusMessage::Append(bool bValue) {
    const int nValue = bValue ? 1 : 0;
    PrvAppendBasic('b', &nValue, "mcBusMessage::Append");
    return *this;
}

mcBusMessage& mcBusMessage::Append(const std::string& strValue) {
    // D-Bus strings cannot hold NUL; cutting the text short silently would
    // hand the peer a different value.
    if (strValue.find('\0') != std::string::npos) {
        KTHROW(mcBusExc, "mcBusMessage::Append", "string argument contains a NUL character",
               std::string(), EINVAL);
    }
    PrvAppendBasic('s', strValue.c_str(), "mcBusMessage::Append");
    return *this;
}

mcBusMessage& mcBusMessage::Append(const char* pszValue) {
    PrvAppendBasic('s', pszValue ? pszValue : "", "mcBusMessage::Append");
    return *this;
}

mcBusMessage& mcBusMessage::Append(const std::vector<std::string>& vecValue) {
    OpenContainer('a', "s");
    for (const std::string& strValue : vecValue) Append(strValue);
    return CloseContainer();
}

mcBusMessage& mcBusMessage::AppendObjectPath(const std::string& strPath) {
    if (strPath.find('\0') != std::string::npos) {
        KTHROW(mcBusExc, "mcBusMessage::AppendObjectPath", "object path contains a NUL character",
               std::string(), EINVAL);
    }
    PrvAppendBasic('o', strPath.c_str(), "mcBusMessage::AppendObjectPath");
    return *this;
}

mcBusMessage& mcBusMessage::OpenContainer(char cType, const std::string& strContents) {
    PrvRequire("mcBusMessage::OpenContainer");
    const int r = sd_bus_message_open_container(m_pMessage, cType, strContents.c_str());
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusMessage::OpenContainer",
               mcBusExc::ErrnoText("sd_bus_message_open_container", r), std::string(), r);
    }
    return *this;
}

mcBusMessage& mcBusMessage::CloseContainer() {
    PrvRequire("mcBusMessage::CloseContainer");
    const int r = sd_bus_message_close_container(m_pMessage);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusMessage::CloseContainer",
               mcBusExc::ErrnoText("sd_bus_message_close_container", r), std::string(), r);
    }
    return *this;
}

void mcBusMessage::PrvReadBasic(char cType, void* pValue, const char* pszFunction) {
    PrvRequire(pszFunction);
    const int r = sd_bus_message_read_basic(m_pMessage, cType, pValue);
    if (r == 0) {
        KTHROW(mcBusExc, pszFunction,
               std::string("no argument of type '") + cType + "' left in the message",
               std::string(), ENXIO);
    }
    if (r < 0) {
        KTHROW(mcBusExc, pszFunction,
               mcBusExc::ErrnoText(std::string("reading a value of type '") + cType + "'", r),
               std::string(), r);
    }
}

std::string mcBusMessage::PrvReadText(char cType, const char* pszFunction) {
    const char* pszValue = nullptr;
    PrvReadBasic(cType, &pszValue, pszFunction);
    return PrvText(pszValue);
}

std::int32_t mcBusMessage::ReadInt32() {
    std::int32_t nValue = 0;
    PrvReadBasic('i', &nValue, "mcBusMessage::ReadInt32");
    return nValue;
}

std::uint32_t mcBusMessage::ReadUInt32() {
    std::uint32_t nValue = 0;
    PrvReadBasic('u', &nValue, "mcBusMessage::ReadUInt32");
    return nValue;
}

bool mcBusMessage::ReadBool() {
    int nValue = 0;
    PrvReadBasic('b', &nValue, "mcBusMessage::ReadBool");
    return nValue != 0;
}

std::string mcBusMessage::ReadString() { return PrvReadText('s', "mcBusMessage::ReadString"); }

std::string mcBusMessage::ReadObjectPath() {
    return PrvReadText('o', "mcBusMessage::ReadObjectPath");
}

std::vector<std::string> mcBusMessage::ReadStringArray() {
    if (!EnterContainer('a', "s")) {
        KTHROW(mcBusExc, "mcBusMessage::ReadStringArray", "no string array left in the message",
               std::string(), ENXIO);
    }
    std::vector<std::string> vecValue;
    for (;;) {
        const char* pszValue = nullptr;
        const int r = sd_bus_message_read_basic(m_pMessage, 's', &pszValue);
        if (r == 0) break;
        if (r < 0) {
            KTHROW(mcBusExc, "mcBusMessage::ReadStringArray",
                   mcBusExc::ErrnoText("reading a string array element", r), std::string(), r);
        }
        vecValue.emplace_back(PrvText(pszValue));
    }
    ExitContainer();
    return vecValue;
}

bool mcBusMessage::EnterContainer(char cType, const std::string& strContents) {
    PrvRequire("mcBusMessage::EnterContainer");
    const int r = sd_bus_message_enter_container(m_pMessage, cType, strContents.c_str());
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusMessage::EnterContainer",
               mcBusExc::ErrnoText(std::string("entering a container of type '") + cType + "'", r),
               std::string(), r);
    }
    return r > 0;
}

void mcBusMessage::ExitContainer() {
    PrvRequire("mcBusMessage::ExitContainer");
    const int r = sd_bus_message_exit_container(m_pMessage);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusMessage::ExitContainer",
               mcBusExc::ErrnoText("sd_bus_message_exit_container", r), std::string(), r);
    }
}

bool mcBusMessage::AtEnd() const {
    return !m_pMessage || sd_bus_message_at_end(m_pMessage, 0) != 0;
}

bool mcBusMessage::PeekType(char& cType, std::string& strContents) const {
    PrvRequire("mcBusMessage::PeekType");
    char cFound = 0;
    const char* pszContents = nullptr;
    const int r = sd_bus_message_peek_type(m_pMessage, &cFound, &pszContents);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusMessage::PeekType",
               mcBusExc::ErrnoText("sd_bus_message_peek_type", r), std::string(), r);
    }
    if (r == 0) return false;
    cType = cFound;
    strContents = PrvText(pszContents);
    return true;
}

void mcBusMessage::Skip(const std::string& strTypes) {
    PrvRequire("mcBusMessage::Skip");
    const int r = sd_bus_message_skip(m_pMessage, strTypes.c_str());
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusMessage::Skip", mcBusExc::ErrnoText("sd_bus_message_skip", r),
               std::string(), r);
    }
}

void mcBusMessage::Rewind() {
    PrvRequire("mcBusMessage::Rewind");
    const int r = sd_bus_message_rewind(m_pMessage, 1);
    if (r < 0) {
        KTHROW(mcBusExc, "mcBusMessage::Rewind", mcBusExc::ErrnoText("sd_bus_message_rewind", r),
               std::string(), r);
    }
}
