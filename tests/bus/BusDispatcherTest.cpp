// The dispatcher's method table: routing, errors, introspection, properties
// and what happens to exceptions that escape a handler.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BusTestFixture.h"
#include "bus/mcBusExc.h"

using namespace bustest;

namespace {

constexpr const char* kIfaceXml =
    " <interface name=\"org.kettrin.Test\">\n"
    "  <method name=\"Twice\">\n"
    "   <arg name=\"n\" type=\"i\" direction=\"in\"/>\n"
    "   <arg name=\"r\" type=\"i\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <property name=\"Title\" type=\"s\" access=\"read\"/>\n"
    " </interface>\n";

class BusDispatcherTest : public BusTest {
protected:
    void SetUp() override {
        m_dispatcher.AddObject(kPath, kIfaceXml);
        m_dispatcher.AddMethod(kPath, kIface, "Twice", "i", [](mcBusMessage& call) {
            mcBusMessage reply = call.NewMethodReturn();
            reply << 2 * call.ReadInt32();
            return reply;
        });
        m_dispatcher.AddMethod(kPath, kIface, "Nothing", "", [](mcBusMessage&) {
            return mcBusMessage();  // an empty method return
        });
    }

    // Calls and returns the error name ("" on success).
    static std::string ErrorOf(mcBusConnection& client, mcBusMessage& call) {
        try {
            client.CallMethod(call);
            return std::string();
        } catch (const mcBusExc& exc) {
            return exc.ErrorName();
        }
    }
};

TEST_F(BusDispatcherTest, RoutesByPathInterfaceAndMember) {
    RunClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Twice");
        call << 21;
        EXPECT_EQ(client.CallMethod(call).ReadInt32(), 42);

        // Without an interface field the member is looked up on the object.
        mcBusMessage bare = client.NewMethodCall(m_strServer, kPath, "", "Twice");
        bare << -4;
        EXPECT_EQ(client.CallMethod(bare).ReadInt32(), -8);

        mcBusMessage empty = NewCall(client, "Nothing");
        mcBusMessage reply = client.CallMethod(empty);
        EXPECT_EQ(reply.GetType(), mcBusMessage::Type::MethodReturn);
        EXPECT_EQ(reply.Signature(), "");
    });
}

TEST_F(BusDispatcherTest, UnknownMethodsObjectsAndWrongArgumentsGetErrors) {
    RunClient([&](mcBusConnection& client) {
        mcBusMessage unknownMember = NewCall(client, "NoSuchMethod");
        EXPECT_EQ(ErrorOf(client, unknownMember), mcBusDispatcher::kErrUnknownMethod);

        mcBusMessage unknownIface = NewCall(client, "Twice", kPath, "org.kettrin.Other");
        unknownIface << 1;
        EXPECT_EQ(ErrorOf(client, unknownIface), mcBusDispatcher::kErrUnknownMethod);

        mcBusMessage unknownPath = NewCall(client, "Twice", "/nowhere");
        unknownPath << 1;
        EXPECT_EQ(ErrorOf(client, unknownPath), mcBusDispatcher::kErrUnknownObject);

        mcBusMessage wrongArgs = NewCall(client, "Twice");
        wrongArgs << "not a number";
        EXPECT_EQ(ErrorOf(client, wrongArgs), mcBusDispatcher::kErrInvalidArgs);

        mcBusMessage missingArgs = NewCall(client, "Twice");
        EXPECT_EQ(ErrorOf(client, missingArgs), mcBusDispatcher::kErrInvalidArgs);
    });
}

TEST_F(BusDispatcherTest, PeerInterfaceIsAnswered) {
    RunClient([&](mcBusConnection& client) {
        mcBusMessage ping = NewCall(client, "Ping", kPath, mcBusDispatcher::kIfacePeer);
        EXPECT_EQ(ErrorOf(client, ping), "");
        mcBusMessage machine = NewCall(client, "GetMachineId", "/", mcBusDispatcher::kIfacePeer);
        const std::string strId = client.CallMethod(machine).ReadString();
        EXPECT_EQ(strId.size(), 32u) << strId;
    });
}

struct ParsedNode {
    bool bWellFormed = false;
    std::vector<std::string> vecInterfaces;
    std::vector<std::string> vecChildren;
};

ParsedNode ParseIntrospection(const std::string& strXml) {
    ParsedNode parsed;
    xmlDocPtr pDoc = xmlReadMemory(strXml.data(), static_cast<int>(strXml.size()), "introspect.xml",
                                   nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!pDoc) return parsed;
    xmlNodePtr pRoot = xmlDocGetRootElement(pDoc);
    parsed.bWellFormed = pRoot && xmlStrcmp(pRoot->name, BAD_CAST "node") == 0;
    for (xmlNodePtr p = pRoot ? pRoot->children : nullptr; p; p = p->next) {
        if (p->type != XML_ELEMENT_NODE) continue;
        xmlChar* pName = xmlGetProp(p, BAD_CAST "name");
        const std::string strName = pName ? reinterpret_cast<const char*>(pName) : "";
        xmlFree(pName);
        if (xmlStrcmp(p->name, BAD_CAST "interface") == 0) parsed.vecInterfaces.push_back(strName);
        if (xmlStrcmp(p->name, BAD_CAST "node") == 0) parsed.vecChildren.push_back(strName);
    }
    xmlFreeDoc(pDoc);
    return parsed;
}

TEST_F(BusDispatcherTest, IntrospectionListsInterfacesAndChildNodes) {
    m_dispatcher.AddObject("/org/kettrin/Test/Sub", "");
    m_dispatcher.AddObject("/org/kettrin/Window", "");
    std::string strObjectXml;
    std::string strRootXml;
    std::string strMiddleXml;
    RunClient([&](mcBusConnection& client) {
        auto introspect = [&](const std::string& strPath) {
            mcBusMessage call =
                NewCall(client, "Introspect", strPath, mcBusDispatcher::kIfaceIntrospectable);
            return client.CallMethod(call).ReadString();
        };
        strObjectXml = introspect(kPath);
        strRootXml = introspect("/");
        strMiddleXml = introspect("/org/kettrin");
        mcBusMessage unknown =
            NewCall(client, "Introspect", "/elsewhere", mcBusDispatcher::kIfaceIntrospectable);
        EXPECT_EQ(ErrorOf(client, unknown), mcBusDispatcher::kErrUnknownObject);
    });
    EXPECT_NE(strObjectXml.find(kIfaceXml), std::string::npos) << strObjectXml;
    const ParsedNode object = ParseIntrospection(strObjectXml);
    EXPECT_TRUE(object.bWellFormed) << strObjectXml;
    EXPECT_EQ(object.vecInterfaces,
              (std::vector<std::string>{"org.freedesktop.DBus.Peer",
                                        "org.freedesktop.DBus.Introspectable",
                                        "org.freedesktop.DBus.Properties", "org.kettrin.Test"}));
    EXPECT_EQ(object.vecChildren, std::vector<std::string>{"Sub"});

    const ParsedNode root = ParseIntrospection(strRootXml);
    EXPECT_TRUE(root.bWellFormed) << strRootXml;
    EXPECT_EQ(root.vecChildren, std::vector<std::string>{"org"});
    const ParsedNode middle = ParseIntrospection(strMiddleXml);
    EXPECT_EQ(middle.vecChildren, (std::vector<std::string>{"Test", "Window"}));
    EXPECT_EQ(middle.vecInterfaces.size(), 2u);  // a bare node: no Properties, no own interface
}

TEST_F(BusDispatcherTest, ReadOnlyPropertiesGetGetAllAndSet) {
    std::string strTitle = "Kettrin Component Manager";
    m_dispatcher.AddProperty(kPath, kIface, "Title", "s",
                             [&](mcBusMessage& reply) { reply << strTitle; });
    m_dispatcher.AddProperty(kPath, kIface, "Count", "u",
                             [](mcBusMessage& reply) { reply << 3u; });
    RunClient([&](mcBusConnection& client) {
        mcBusMessage get = NewCall(client, "Get", kPath, mcBusDispatcher::kIfaceProperties);
        get << kIface << "Title";
        mcBusMessage reply = client.CallMethod(get);
        ASSERT_TRUE(reply.EnterContainer('v', "s"));
        EXPECT_EQ(reply.ReadString(), "Kettrin Component Manager");

        mcBusMessage all = NewCall(client, "GetAll", kPath, mcBusDispatcher::kIfaceProperties);
        all << kIface;
        reply = client.CallMethod(all);
        ASSERT_TRUE(reply.EnterContainer('a', "{sv}"));
        ASSERT_TRUE(reply.EnterContainer('e', "sv"));
        EXPECT_EQ(reply.ReadString(), "Count");
        ASSERT_TRUE(reply.EnterContainer('v', "u"));
        EXPECT_EQ(reply.ReadUInt32(), 3u);
        reply.ExitContainer();
        reply.ExitContainer();
        ASSERT_TRUE(reply.EnterContainer('e', "sv"));
        EXPECT_EQ(reply.ReadString(), "Title");
        reply.Skip("v");
        reply.ExitContainer();
        EXPECT_FALSE(reply.EnterContainer('e', "sv"));

        mcBusMessage none = NewCall(client, "GetAll", kPath, mcBusDispatcher::kIfaceProperties);
        none << "org.kettrin.NoProperties";
        reply = client.CallMethod(none);
        ASSERT_TRUE(reply.EnterContainer('a', "{sv}"));
        EXPECT_TRUE(reply.AtEnd());

        mcBusMessage set = NewCall(client, "Set", kPath, mcBusDispatcher::kIfaceProperties);
        set << kIface << "Title";
        set.OpenContainer('v', "s").Append("changed").CloseContainer();
        EXPECT_EQ(ErrorOf(client, set), mcBusDispatcher::kErrPropertyReadOnly);

        mcBusMessage unknown = NewCall(client, "Get", kPath, mcBusDispatcher::kIfaceProperties);
        unknown << kIface << "Nope";
        EXPECT_EQ(ErrorOf(client, unknown), mcBusDispatcher::kErrUnknownProperty);

        mcBusMessage elsewhere =
            NewCall(client, "Get", "/org/kettrin", mcBusDispatcher::kIfaceProperties);
        elsewhere << kIface << "Title";
        EXPECT_EQ(ErrorOf(client, elsewhere), mcBusDispatcher::kErrUnknownObject);

        mcBusMessage badArgs = NewCall(client, "Get", kPath, mcBusDispatcher::kIfaceProperties);
        badArgs << kIface;
        EXPECT_EQ(ErrorOf(client, badArgs), mcBusDispatcher::kErrInvalidArgs);
    });
    EXPECT_EQ(strTitle, "Kettrin Component Manager");
}

TEST_F(BusDispatcherTest, EscapingExceptionsReachTheHookAndTheCallerGetsAnError) {
    std::vector<std::string> vecContexts;
    std::vector<std::string> vecTexts;
    m_dispatcher.SetExceptionHook([&](const std::string& strContext, std::exception_ptr pExc) {
        vecContexts.push_back(strContext);
        try {
            std::rethrow_exception(pExc);
        } catch (const mcExc& exc) {
            vecTexts.push_back("mcExc:" + exc.Description());
        } catch (const std::exception& exc) {
            vecTexts.push_back(exc.what());
        } catch (...) {
            vecTexts.push_back("?");
        }
        throw std::logic_error("a throwing hook is contained too");
    });
    m_dispatcher.AddMethod(kPath, kIface, "Boom", "", [](mcBusMessage&) -> mcBusMessage {
        throw std::runtime_error("kaboom");
    });
    m_dispatcher.AddMethod(kPath, kIface, "BoomExc", "", [](mcBusMessage&) -> mcBusMessage {
        KTHROW(mcExc, "Test::BoomExc", "described failure");
    });
    m_dispatcher.AddMethod(kPath, kIface, "BoomInt", "", [](mcBusMessage&) -> mcBusMessage {
        throw 7;
    });
    m_dispatcher.AddProperty(kPath, kIface, "Broken", "i", [](mcBusMessage& reply) {
        reply << "a string where an int32 belongs";
    });
    RunClient([&](mcBusConnection& client) {
        auto failure = [&](const char* pszMember) -> std::string {
            mcBusMessage call = NewCall(client, pszMember);
            try {
                client.CallMethod(call);
            } catch (const mcBusExc& exc) {
                EXPECT_EQ(exc.ErrorName(), mcBusDispatcher::kErrFailed);
                return exc.Description();
            }
            return "no error";
        };
        EXPECT_NE(failure("Boom").find("kaboom"), std::string::npos);
        EXPECT_NE(failure("BoomExc").find("described failure"), std::string::npos);
        EXPECT_NE(failure("BoomInt").find("unknown exception"), std::string::npos);
        mcBusMessage get = NewCall(client, "Get", kPath, mcBusDispatcher::kIfaceProperties);
        get << kIface << "Broken";
        EXPECT_EQ(ErrorOf(client, get), mcBusDispatcher::kErrFailed);
        // Still serving.
        mcBusMessage call = NewCall(client, "Twice");
        call << 5;
        EXPECT_EQ(client.CallMethod(call).ReadInt32(), 10);
    });
    EXPECT_EQ(vecContexts, (std::vector<std::string>{"Boom", "BoomExc", "BoomInt", "Get"}));
    ASSERT_EQ(vecTexts.size(), 4u);
    EXPECT_EQ(vecTexts[0], "kaboom");
    EXPECT_EQ(vecTexts[1], "mcExc:described failure");
    EXPECT_EQ(vecTexts[2], "?");
}

// A handler that defers its reply returns at once; the reply goes out when
// the test sends it, and other calls are served meanwhile. A reply object
// dropped unanswered answers with an error instead of leaving the caller to
// its time-out.
TEST_F(BusDispatcherTest, DeferredRepliesGoOutLaterWhileOtherCallsAreServed) {
    std::vector<std::shared_ptr<mcDeferredReply>> vecPending;
    m_dispatcher.AddMethod(kPath, kIface, "Later", "i", [&](mcBusMessage& call) {
        vecPending.push_back(m_dispatcher.DeferReply(call));
        call.ReadInt32();  // the arguments stay readable
        return call.NewMethodReturn();  // ignored: the reply is deferred
    });
    std::atomic<std::int32_t> nLater{0};
    auto pSlow = StartClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Later");
        call << 21;
        nLater = client.CallMethod(call).ReadInt32();
    });
    PumpUntilOrFail([&] { return vecPending.size() == 1; });
    RunClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Twice");
        call << 4;
        EXPECT_EQ(client.CallMethod(call).ReadInt32(), 8);
    });
    EXPECT_FALSE(pSlow->Done());

    std::shared_ptr<mcDeferredReply> pReply = vecPending.front();
    mcBusMessage reply = pReply->NewReturn();
    reply << 42;
    pReply->Send(reply);
    EXPECT_TRUE(pReply->IsAnswered());
    mcBusMessage again = pReply->NewReturn();
    again << 7;
    pReply->Send(again);  // only the first answer counts
    PumpUntilOrFail([&] { return pSlow->Done(); });
    pSlow->Join();
    EXPECT_EQ(nLater.load(), 42);
    // Outside its handler a call cannot be deferred.
    EXPECT_THROW(m_dispatcher.DeferReply(pReply->Call()), mcBusExc);
    vecPending.clear();

    std::string strError;
    auto pDropped = StartClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Later");
        call << 1;
        try {
            client.CallMethod(call);
        } catch (const mcBusExc& exc) {
            strError = exc.ErrorName() + " " + exc.Description();
        }
    });
    PumpUntilOrFail([&] { return vecPending.size() == 1; });
    vecPending.clear();
    PumpUntilOrFail([&] { return pDropped->Done(); });
    pDropped->Join();
    EXPECT_NE(strError.find(mcBusDispatcher::kErrFailed), std::string::npos) << strError;
    EXPECT_NE(strError.find(mcDeferredReply::kDroppedText), std::string::npos) << strError;
}

TEST_F(BusDispatcherTest, HookThatQuitsEndsRunAfterTheErrorReply) {
    m_dispatcher.SetExceptionHook(
        [&](const std::string&, std::exception_ptr) { m_dispatcher.Quit(); });
    m_dispatcher.AddMethod(kPath, kIface, "Fault", "", [](mcBusMessage&) -> mcBusMessage {
        throw std::runtime_error("fault");
    });
    std::string strError;
    ClientThread client(m_dispatcher, m_bus.Address(), [&](mcBusConnection& connection) {
        mcBusMessage call = NewCall(connection, "Fault");
        try {
            connection.CallMethod(call);
        } catch (const mcBusExc& exc) {
            strError = exc.ErrorName();
        }
    });
    m_dispatcher.Run();
    m_server.Flush();
    client.Join();
    EXPECT_EQ(strError, mcBusDispatcher::kErrFailed);
    // Run consumed the request: the dispatcher pumps again.
    bool bRan = false;
    m_dispatcher.Post([&] { bRan = true; });
    EXPECT_TRUE(m_dispatcher.PumpUntil([&] { return bRan; }, kWaitLimit));
}

TEST_F(BusDispatcherTest, RegistrationChecksNamesAndThread) {
    EXPECT_THROW(m_dispatcher.AddObject("relative/path", ""), mcBusExc);
    EXPECT_THROW(m_dispatcher.AddMethod(kPath, "noDots", "M", "", [](mcBusMessage&) {
        return mcBusMessage();
    }),
                 mcBusExc);
    EXPECT_THROW(m_dispatcher.AddMethod(kPath, kIface, "Bad-Member", "",
                                        [](mcBusMessage&) { return mcBusMessage(); }),
                 mcBusExc);
    bool bThrew = false;
    std::thread other([&] {
        try {
            m_dispatcher.AddObject("/x", "");
        } catch (const mcBusExc&) {
            bThrew = true;
        }
    });
    other.join();
    EXPECT_TRUE(bThrew);
}

TEST_F(BusDispatcherTest, RemovedObjectsAreUnknown) {
    m_dispatcher.AddMethod(kPath, kIface, "RemoveMe", "", [&](mcBusMessage&) {
        m_dispatcher.RemoveObject(kPath);  // the running handler stays valid
        return mcBusMessage();
    });
    RunClient([&](mcBusConnection& client) {
        mcBusMessage first = NewCall(client, "RemoveMe");
        EXPECT_EQ(ErrorOf(client, first), "");
        mcBusMessage second = NewCall(client, "Twice");
        second << 1;
        EXPECT_EQ(ErrorOf(client, second), mcBusDispatcher::kErrUnknownObject);
    });
}

}  // namespace
