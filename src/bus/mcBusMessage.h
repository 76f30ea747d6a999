#pragma once
// Owner of one sd_bus_message reference, with typed reading and appending of
// the argument types the system uses: i, u, b, s, o and as, plus containers
// for variants, arrays and dictionary entries.
//
// Copies share the same message (and so its read position); the last owner
// drops the reference. A message belongs to the connection it came from or was
// created on, and so to that connection's thread: use it on that thread only.
//
// Failures (type mismatch, missing argument, invalid UTF-8 or object path,
// sealed message) throw mcBusExc; the message is then left where the failing
// step stopped.
#include <cstdint>
#include <string>
#include <vector>

struct sd_bus_message;

class mcBusMessage {
public:
    enum class Type { Null, MethodCall, MethodReturn, MethodError, Signal };

    mcBusMessage() = default;
    ~mcBusMessage();
    mcBusMessage(const mcBusMessage& other);
    mcBusMessage(mcBusMessage&& other) noexcept;
    mcBusMessage& operator=(const mcBusMessage& other);
    mcBusMessage& operator=(mcBusMessage&& other) noexcept;

    // Takes over the caller's reference.
    static mcBusMessage Adopt(sd_bus_message* pMessage);
    // Adds a reference of its own.
    static mcBusMessage Ref(sd_bus_message* pMessage);

    sd_bus_message* Get() const { return m_pMessage; }
    bool IsNull() const { return m_pMessage == nullptr; }
    explicit operator bool() const { return m_pMessage != nullptr; }

    // Header fields; an absent field reads as "".
    Type GetType() const;
    std::string Sender() const;
    std::string Destination() const;
    std::string Path() const;
    std::string Interface() const;
    std::string Member() const;
    // The complete signature of the body ("" for none).
    std::string Signature() const;
    bool IsMethodCall(const std::string& strInterface, const std::string& strMember) const;
    bool IsSignal(const std::string& strInterface, const std::string& strMember) const;
    bool IsError() const { return GetType() == Type::MethodError; }
    std::string ErrorName() const;
    std::string ErrorMessage() const;
    // False for calls sent with the no-reply flag.
    bool ExpectsReply() const;

    // Replies to this method call, created on the connection it arrived on.
    mcBusMessage NewMethodReturn() const;
    // strName must be a valid D-Bus error name; strText may be anything valid UTF-8.
    mcBusMessage NewError(const std::string& strName, const std::string& strText) const;

    // Appending (messages that are not yet sent).
    mcBusMessage& Append(std::int32_t nValue);
    mcBusMessage& Append(std::uint32_t nValue);
    mcBusMessage& Append(bool bValue);
    mcBusMessage& Append(const std::string& strValue);
    mcBusMessage& Append(const char* pszValue);
    mcBusMessage& Append(const std::vector<std::string>& vecValue);
    mcBusMessage& AppendObjectPath(const std::string& strPath);
    // type is 'a', 'v', 'r' or 'e'; contents the signature inside ("s", "{sv}", ...).
    mcBusMessage& OpenContainer(char cType, const std::string& strContents);
    mcBusMessage& CloseContainer();

    template <class T>
    mcBusMessage& operator<<(const T& value) {
        return Append(value);
    }

    // Reading, in order. A value of another type, or none left, throws.
    std::int32_t ReadInt32();
    std::uint32_t ReadUInt32();
    bool ReadBool();
    std::string ReadString();
    std::string ReadObjectPath();
    std::vector<std::string> ReadStringArray();
    // Enters a container of that type and contents; false when none is left
    // at the read position (end of the enclosing container).
    bool EnterContainer(char cType, const std::string& strContents);
    void ExitContainer();
    // True when the current container has no further value.
    bool AtEnd() const;
    // Type code of the next value and, for containers, its contents; false at end.
    bool PeekType(char& cType, std::string& strContents) const;
    void Skip(const std::string& strTypes);
    // Back to the first argument (received or sealed messages).
    void Rewind();

    mcBusMessage& operator>>(std::int32_t& nValue) { nValue = ReadInt32(); return *this; }
    mcBusMessage& operator>>(std::uint32_t& nValue) { nValue = ReadUInt32(); return *this; }
    mcBusMessage& operator>>(bool& bValue) { bValue = ReadBool(); return *this; }
    mcBusMessage& operator>>(std::string& strValue) { strValue = ReadString(); return *this; }
    mcBusMessage& operator>>(std::vector<std::string>& vecValue) {
        vecValue = ReadStringArray();
        return *this;
    }

private:
    explicit mcBusMessage(sd_bus_message* pMessage) : m_pMessage(pMessage) {}
    void PrvRequire(const char* pszFunction) const;
    void PrvReadBasic(char cType, void* pValue, const char* pszFunction);
    std::string PrvReadText(char cType, const char* pszFunction);
    void PrvAppendBasic(char cType, const void* pValue, const char* pszFunction);

    sd_bus_message* m_pMessage = nullptr;
};
