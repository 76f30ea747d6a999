// The trace channel against a real datagram socket, the viewer side, and the
// assertion report.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/ScratchMachine.h"
#include "support/TraceListener.h"
#include "base/mcDiagTrace.h"
#include "base/mcTraceViewer.h"
#include "base/mfReportAssertion.h"

namespace {

std::size_t CountChars(const std::string& text) {
    std::size_t n = 0;
    for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(TraceTest, RegisterLineUnregister) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    ASSERT_TRUE(listener.IsBound());
    std::int32_t id = -1;
    {
        mcDiagTrace source("unit");
        EXPECT_FALSE(source.IsConnected());
        EXPECT_EQ(source.RegistrationId(), -1);
        source.Send("first line");
        source.Send("second line");
        EXPECT_TRUE(source.IsConnected());
        id = source.RegistrationId();
        EXPECT_GT(id, 0);

        auto reg = listener.Receive();
        ASSERT_TRUE(reg);
        EXPECT_EQ(reg->command, mcDiagTrace::kCmdRegister);
        EXPECT_EQ(reg->source, "unit");
        EXPECT_EQ(reg->text, "unit");
        EXPECT_EQ(reg->registrationId, id);
        EXPECT_EQ(reg->pid, static_cast<std::uint32_t>(::getpid()));
        for (const char* expected : {"first line", "second line"}) {
            auto line = listener.Receive();
            ASSERT_TRUE(line);
            EXPECT_EQ(line->command, mcDiagTrace::kCmdLine);
            EXPECT_EQ(line->text, expected);
            EXPECT_EQ(line->registrationId, id);
        }
        EXPECT_TRUE(listener.Quiet());  // one registration only
    }
    auto unreg = listener.Receive();
    ASSERT_TRUE(unreg);
    EXPECT_EQ(unreg->command, mcDiagTrace::kCmdUnregister);
    EXPECT_EQ(unreg->registrationId, id);
    EXPECT_EQ(unreg->text, "second line");  // the block is left as it was
}

TEST(TraceTest, SourcesGetDistinctIdsAndNeverRegisteredSourceStaysSilent) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    mcDiagTrace a("a");
    mcDiagTrace b("b");
    a.Send("x");
    b.Send("y");
    EXPECT_NE(a.RegistrationId(), b.RegistrationId());
    { mcDiagTrace silent("silent"); }
    for (int i = 0; i < 4; ++i) {
        auto d = listener.Receive();
        ASSERT_TRUE(d);
        EXPECT_NE(d->source, "silent");
    }
    EXPECT_TRUE(listener.Quiet());
}

TEST(TraceTest, LongLinesAreCutAtCharacters) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    mcDiagTrace source("cut");
    // Two-byte characters: a byte count would cut at 3999 bytes, mid-sequence.
    std::string wide;
    for (int i = 0; i < 5000; ++i) wide += "\xC3\xA9";  // U+00E9
    source.Send(wide);
    // 3998 ASCII characters followed by four-byte characters.
    std::string mixed(3998, 'x');
    for (int i = 0; i < 3; ++i) mixed += "\xF0\x9F\x98\x80";  // U+1F600
    source.Send(mixed);
    std::string exact(3999, 'y');
    source.Send(exact);

    ASSERT_TRUE(listener.Receive());  // register
    auto first = listener.Receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(CountChars(first->text), 3999u);
    EXPECT_EQ(first->text.size(), 2u * 3999u);
    auto second = listener.Receive();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->text, std::string(3998, 'x') + "\xF0\x9F\x98\x80");
    auto third = listener.Receive();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->text, exact);
}

TEST(TraceTest, CutToCharsKeepsSequencesWhole) {
    EXPECT_EQ(mcDiagTrace::CutToChars("abc", 5), "abc");
    EXPECT_EQ(mcDiagTrace::CutToChars("abc", 0), "");
    EXPECT_EQ(mcDiagTrace::CutToChars("a\xE2\x82\xAC" "b", 2), "a\xE2\x82\xAC");
    EXPECT_EQ(mcDiagTrace::CutToChars("\xE2\x82\xAC\xE2\x82\xAC", 1), "\xE2\x82\xAC");
}

TEST(TraceTest, NoListenerDropsAndRetriesOnNextLine) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    listener.Close();
    mcDiagTrace source("late");
    EXPECT_NO_THROW(source.Send("lost 1"));
    EXPECT_NO_THROW(source.Send("lost 2"));
    EXPECT_FALSE(source.IsConnected());

    ASSERT_TRUE(listener.Bind());
    source.Send("arrives");
    auto reg = listener.Receive();
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg->command, mcDiagTrace::kCmdRegister);
    auto line = listener.Receive();
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text, "arrives");
    EXPECT_TRUE(listener.Quiet());
}

TEST(TraceTest, ViewerRestartGetsANewRegistration) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    mcDiagTrace source("restart");
    source.Send("one");
    ASSERT_TRUE(listener.Receive());
    ASSERT_TRUE(listener.Receive());
    listener.Close();
    source.Send("dropped while no viewer");
    ASSERT_TRUE(listener.Bind());
    source.Send("two");
    auto reg = listener.Receive();
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg->command, mcDiagTrace::kCmdRegister);
    auto line = listener.Receive();
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text, "two");
}

TEST(TraceTest, FullViewerQueueDropsInsteadOfBlocking) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    mcDiagTrace source("flood");
    // Nobody reads: the socket's queue fills up and Send must still return.
    std::string big(3000, 'z');
    for (int i = 0; i < 2000; ++i) source.Send(big);
    EXPECT_TRUE(source.IsConnected());
    int received = 0;
    while (listener.Receive(0)) ++received;
    EXPECT_GT(received, 1);
    EXPECT_LT(received, 2001);
}

TEST(TraceTest, ProcessWideSources) {
    EXPECT_EQ(mcDiagTrace::Core().SourceName(), "CORE");
    EXPECT_EQ(mcDiagTrace::InternetConnection().SourceName(), "internetconnection");
    EXPECT_EQ(mcDiagTrace::Http().SourceName(), "HTTP");
    EXPECT_EQ(&mcDiagTrace::Core(), &mcDiagTrace::Core());
}

TEST(TraceTest, SocketPathFromEnvironment) {
    {
        testsupport::ScopedEnv env(mcDiagTrace::kSocketEnv, nullptr);
        EXPECT_EQ(mcDiagTrace::SocketPath(), "/run/tavrolin/zrdiag.sock");
    }
    {
        testsupport::ScopedEnv env(mcDiagTrace::kSocketEnv, "");
        EXPECT_EQ(mcDiagTrace::SocketPath(), "/run/tavrolin/zrdiag.sock");
    }
    testsupport::ScopedEnv env(mcDiagTrace::kSocketEnv, "/tmp/x.sock");
    EXPECT_EQ(mcDiagTrace::SocketPath(), "/tmp/x.sock");
}

TEST(TraceTest, AssertionReport) {
    EXPECT_EQ(mfFormatAssertion("mnThread::ReadWriteLock::~ReadWriteLock",
                                "/src/common/mnReadWriteLock.cpp", 48,
                                "m_iLockingReaderCount == 0"),
              "Assertion failed,\"m_iLockingReaderCount == 0\","
              "mnThread::ReadWriteLock::~ReadWriteLock(),mnReadWriteLock.cpp(48)");
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    EXPECT_EQ(mfReportAssertion("f", "a\\b\\c.cpp", 7, "p != 0"), 0);
    auto d = listener.ReceiveFrom("CORE");
    if (d && d->command == mcDiagTrace::kCmdRegister) d = listener.ReceiveFrom("CORE");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->command, mcDiagTrace::kCmdLine);
    EXPECT_EQ(d->text, "Assertion failed,\"p != 0\",f(),c.cpp(7)");
}

TEST(TraceDatagramTest, EncodeDecodeAndRejectMalformed) {
    mcDiagTrace::Datagram in;
    in.command = mcDiagTrace::kCmdLine;
    in.registrationId = 17;
    in.pid = 4242;
    in.source = "HTTP";
    in.text = std::string("with\0nul", 8);
    std::string bytes = mcDiagTrace::EncodeDatagram(in);
    EXPECT_EQ(bytes.size(), mcDiagTrace::kHeaderSize + 4 + 8);
    mcDiagTrace::Datagram out;
    ASSERT_TRUE(mcDiagTrace::DecodeDatagram(bytes.data(), bytes.size(), &out));
    EXPECT_EQ(out.command, in.command);
    EXPECT_EQ(out.registrationId, 17);
    EXPECT_EQ(out.pid, 4242u);
    EXPECT_EQ(out.source, "HTTP");
    EXPECT_EQ(out.text, in.text);

    EXPECT_FALSE(mcDiagTrace::DecodeDatagram(bytes.data(), bytes.size() - 1, &out));
    EXPECT_FALSE(mcDiagTrace::DecodeDatagram(bytes.data(), 10, &out));
    std::string badMagic = bytes;
    badMagic[0] ^= 1;
    EXPECT_FALSE(mcDiagTrace::DecodeDatagram(badMagic.data(), badMagic.size(), &out));
    // Lengths whose sum overflows 32 bits must not pass.
    std::string huge = bytes;
    std::uint32_t big = 0xFFFFFFF8u;
    std::memcpy(&huge[16], &big, 4);
    EXPECT_FALSE(mcDiagTrace::DecodeDatagram(huge.data(), huge.size(), &out));
}

TEST(TraceViewerTest, BindsReceivesAndRemovesItsSocket) {
    testsupport::ScratchMachine machine;
    const std::string path = machine / "sub/folder/zrdiag.sock";
    {
        mcTraceViewer viewer;
        std::string error;
        ASSERT_TRUE(viewer.Bind(path, &error)) << error;
        testsupport::ScopedEnv env(mcDiagTrace::kSocketEnv, path);
        mcDiagTrace source("viewer");
        source.Send("hello");
        auto reg = viewer.Receive(2000);
        ASSERT_TRUE(reg);
        EXPECT_EQ(mcTraceViewer::FormatLine(*reg).rfind("viewer: [registered pid ", 0), 0u);
        auto line = viewer.Receive(2000);
        ASSERT_TRUE(line);
        EXPECT_EQ(mcTraceViewer::FormatLine(*line), "viewer: hello");
        EXPECT_FALSE(viewer.Receive(0));

        // A second viewer must not steal a live socket.
        mcTraceViewer second;
        EXPECT_FALSE(second.Bind(path, &error));
        EXPECT_NE(error.find("another trace viewer"), std::string::npos) << error;
        EXPECT_TRUE(Exists(path));
    }
    EXPECT_FALSE(Exists(path));
}

TEST(TraceViewerTest, ReplacesStaleSocketRefusesOtherFiles) {
    testsupport::ScratchMachine machine;
    const std::string path = machine.TraceSocketPath();
    // A socket file left behind by a viewer that died.
    {
        int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    ASSERT_TRUE(Exists(path));
    std::string error;
    {
        mcTraceViewer viewer;
        EXPECT_TRUE(viewer.Bind(path, &error)) << error;
    }
    EXPECT_FALSE(Exists(path));

    const std::string plain = machine / "plain";
    int fd = ::open(plain.c_str(), O_CREAT | O_WRONLY, 0644);
    ::close(fd);
    mcTraceViewer viewer;
    EXPECT_FALSE(viewer.Bind(plain, &error));
    EXPECT_NE(error.find("not a socket"), std::string::npos);
    EXPECT_TRUE(Exists(plain));
}

TEST(TraceViewerTest, PrintableNeutralisesControlsAndBadUtf8) {
    EXPECT_EQ(mcTraceViewer::Printable("plain\ttab"), "plain\ttab");
    EXPECT_EQ(mcTraceViewer::Printable("a\x1b[2Jb\r\nc"), "a?[2Jb??c");
    EXPECT_EQ(mcTraceViewer::Printable("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(mcTraceViewer::Printable("\xC2\x9B" "31m"), "?31m");      // C1 CSI
    EXPECT_EQ(mcTraceViewer::Printable("x\x9By"), "x?y");               // stray byte
    EXPECT_EQ(mcTraceViewer::Printable("\xC0\xAF"), "??");              // overlong
    EXPECT_EQ(mcTraceViewer::Printable("\xED\xA0\x80"), "???");         // surrogate
    EXPECT_EQ(mcTraceViewer::Printable("\xE2\x82"), "??");              // truncated
    mcDiagTrace::Datagram d;
    d.command = mcDiagTrace::kCmdLine;
    d.source = "S\n";
    d.text = "t";
    EXPECT_EQ(mcTraceViewer::FormatLine(d), "S?: t");
}
