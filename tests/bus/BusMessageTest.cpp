// Typed reading and writing of messages, checked through a real bus.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "BusTestFixture.h"
#include "bus/mcBusExc.h"

using namespace bustest;

namespace {

struct EchoValues {
    std::int32_t i;
    std::uint32_t u;
    bool b;
    std::string s;
    std::string o;
    std::vector<std::string> as;
};

class BusMessageTest : public BusTest {
protected:
    void SetUp() override {
        // Echo: returns its arguments unchanged, read and written one by one.
        m_dispatcher.AddMethod(kPath, kIface, "Echo", "iubsoas", [this](mcBusMessage& call) {
            m_call = call;
            EchoValues v;
            v.i = call.ReadInt32();
            v.u = call.ReadUInt32();
            v.b = call.ReadBool();
            v.s = call.ReadString();
            v.o = call.ReadObjectPath();
            v.as = call.ReadStringArray();
            EXPECT_TRUE(call.AtEnd());
            mcBusMessage reply = call.NewMethodReturn();
            reply << v.i << v.u << v.b << v.s;
            reply.AppendObjectPath(v.o);
            reply << v.as;
            return reply;
        });
    }

    EchoValues Echo(mcBusConnection& client, const EchoValues& in) {
        mcBusMessage call = NewCall(client, "Echo");
        call.Append(in.i).Append(in.u).Append(in.b).Append(in.s).AppendObjectPath(in.o).Append(in.as);
        mcBusMessage reply = client.CallMethod(call);
        EXPECT_EQ(reply.GetType(), mcBusMessage::Type::MethodReturn);
        EXPECT_EQ(reply.Signature(), "iubsoas");
        EchoValues out;
        reply >> out.i >> out.u >> out.b >> out.s;
        out.o = reply.ReadObjectPath();
        reply >> out.as;
        EXPECT_TRUE(reply.AtEnd());
        return out;
    }

    mcBusMessage m_call;
};

void ExpectSame(const EchoValues& a, const EchoValues& b) {
    EXPECT_EQ(a.i, b.i);
    EXPECT_EQ(a.u, b.u);
    EXPECT_EQ(a.b, b.b);
    EXPECT_EQ(a.s, b.s);
    EXPECT_EQ(a.o, b.o);
    EXPECT_EQ(a.as, b.as);
}

TEST_F(BusMessageTest, TypedValuesSurviveARoundTrip) {
    const std::vector<EchoValues> vecCases = {
        {INT32_MIN, UINT32_MAX, true, "", "/", {}},
        {INT32_MAX, 0, false, "plain", "/a/b_c/D9", {""}},
        {-5, 7, true, "\xC3\xBCnic\xC3\xB8" "de \xE2\x9C\x93 \"q\" <x/>", "/x",
         {"", "x", "\xC3\xA4\xC3\x9F", std::string(5000, 'z')}},
    };
    std::string strClientName;
    RunClient([&](mcBusConnection& client) {
        strClientName = client.UniqueName();
        for (const EchoValues& in : vecCases) ExpectSame(Echo(client, in), in);
    });
    // Header fields of the last call as the service saw them.
    ASSERT_TRUE(m_call);
    EXPECT_EQ(m_call.GetType(), mcBusMessage::Type::MethodCall);
    EXPECT_EQ(m_call.Sender(), strClientName);
    EXPECT_EQ(m_call.Destination(), m_strServer);
    EXPECT_EQ(m_call.Path(), kPath);
    EXPECT_EQ(m_call.Interface(), kIface);
    EXPECT_EQ(m_call.Member(), "Echo");
    EXPECT_EQ(m_call.Signature(), "iubsoas");
    EXPECT_TRUE(m_call.IsMethodCall(kIface, "Echo"));
    EXPECT_TRUE(m_call.ExpectsReply());
}

TEST_F(BusMessageTest, ReadingTheWrongTypeOrPastTheEndThrows) {
    RunClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Echo");
        call << 1 << 2u << true << "s";
        call.AppendObjectPath("/p");
        call << std::vector<std::string>{"a"};
        mcBusMessage reply = client.CallMethod(call);
        EXPECT_THROW(reply.ReadString(), mcBusExc);  // an int32 comes first
        EXPECT_EQ(reply.ReadInt32(), 1);
        EXPECT_THROW(reply.ReadBool(), mcBusExc);  // a uint32 comes next
        reply.Skip("ubso");
        EXPECT_EQ(reply.ReadStringArray(), std::vector<std::string>{"a"});
        EXPECT_TRUE(reply.AtEnd());
        EXPECT_THROW(reply.ReadInt32(), mcBusExc);
        EXPECT_THROW(reply.ReadStringArray(), mcBusExc);
        reply.Rewind();
        EXPECT_EQ(reply.ReadInt32(), 1);
    });
}

TEST_F(BusMessageTest, InvalidTextIsRefusedBeforeSending) {
    RunClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Echo");
        EXPECT_THROW(call.Append(std::string("bad \xFF utf8")), mcBusExc);
        EXPECT_THROW(call.Append(std::string("nul\0inside", 10)), mcBusExc);
        EXPECT_THROW(call.AppendObjectPath("no/leading/slash"), mcBusExc);
        EXPECT_THROW(call.AppendObjectPath("/trailing/"), mcBusExc);
        EXPECT_THROW(call.AppendObjectPath(std::string("/a\0b", 4)), mcBusExc);
    });
}

TEST_F(BusMessageTest, NullMessageIsHarmlessToQueryAndThrowsOnUse) {
    mcBusMessage message;
    EXPECT_TRUE(message.IsNull());
    EXPECT_EQ(message.GetType(), mcBusMessage::Type::Null);
    EXPECT_EQ(message.Member(), "");
    EXPECT_EQ(message.ErrorName(), "");
    EXPECT_FALSE(message.ExpectsReply());
    EXPECT_THROW(message.ReadInt32(), mcBusExc);
    EXPECT_THROW(message.Append(1), mcBusExc);
    EXPECT_THROW(message.NewMethodReturn(), mcBusExc);
}

TEST_F(BusMessageTest, CopiesShareOneMessage) {
    m_dispatcher.AddMethod(kPath, kIface, "Pair", "", [](mcBusMessage& call) {
        mcBusMessage reply = call.NewMethodReturn();
        reply << 10 << 20;
        return reply;
    });
    RunClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Pair");
        mcBusMessage reply = client.CallMethod(call);
        mcBusMessage copy = reply;
        EXPECT_EQ(copy.Get(), reply.Get());
        EXPECT_EQ(reply.ReadInt32(), 10);
        EXPECT_EQ(copy.ReadInt32(), 20);  // one read position
        mcBusMessage moved = std::move(copy);
        EXPECT_TRUE(copy.IsNull());  // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(moved.Get(), reply.Get());
    });
}

TEST_F(BusMessageTest, ErrorRepliesCarryNameAndText) {
    m_dispatcher.AddMethod(kPath, kIface, "Refuse", "s", [](mcBusMessage& call) {
        return call.NewError("org.kettrin.Error.Refused", "refused: " + call.ReadString());
    });
    RunClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Refuse");
        call << "why";
        try {
            client.CallMethod(call);
            ADD_FAILURE() << "error reply not reported";
        } catch (const mcBusExc& exc) {
            EXPECT_EQ(exc.ErrorName(), "org.kettrin.Error.Refused");
            EXPECT_NE(exc.Description().find("refused: why"), std::string::npos)
                << exc.Description();
        }
    });
}

TEST_F(BusMessageTest, VariantsAndDictionariesNest) {
    m_dispatcher.AddMethod(kPath, kIface, "Dict", "", [](mcBusMessage& call) {
        mcBusMessage reply = call.NewMethodReturn();
        reply.OpenContainer('a', "{sv}");
        reply.OpenContainer('e', "sv").Append("n").OpenContainer('v', "i").Append(42);
        reply.CloseContainer().CloseContainer();
        reply.OpenContainer('e', "sv").Append("list").OpenContainer('v', "as");
        reply.Append(std::vector<std::string>{"p", "q"}).CloseContainer().CloseContainer();
        reply.CloseContainer();
        return reply;
    });
    RunClient([&](mcBusConnection& client) {
        mcBusMessage call = NewCall(client, "Dict");
        mcBusMessage reply = client.CallMethod(call);
        EXPECT_EQ(reply.Signature(), "a{sv}");
        ASSERT_TRUE(reply.EnterContainer('a', "{sv}"));
        ASSERT_TRUE(reply.EnterContainer('e', "sv"));
        EXPECT_EQ(reply.ReadString(), "n");
        char cType = 0;
        std::string strContents;
        ASSERT_TRUE(reply.PeekType(cType, strContents));
        EXPECT_EQ(cType, 'v');
        EXPECT_EQ(strContents, "i");
        ASSERT_TRUE(reply.EnterContainer('v', "i"));
        EXPECT_EQ(reply.ReadInt32(), 42);
        reply.ExitContainer();
        reply.ExitContainer();
        ASSERT_TRUE(reply.EnterContainer('e', "sv"));
        EXPECT_EQ(reply.ReadString(), "list");
        ASSERT_TRUE(reply.EnterContainer('v', "as"));
        EXPECT_EQ(reply.ReadStringArray(), (std::vector<std::string>{"p", "q"}));
        reply.ExitContainer();
        reply.ExitContainer();
        EXPECT_FALSE(reply.EnterContainer('e', "sv"));  // no third entry
        reply.ExitContainer();
        EXPECT_TRUE(reply.AtEnd());
    });
}

}  // namespace
