// HTTP transaction against real local servers on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "net/HttpGet.h"
#include "net/mcHttpFetcher.h"
#include "net/mcHttpGet.h"
#include "net/mcNameValuePair.h"
#include "NetTestEnv.h"
#include "support/LocalHttpServer.h"
#include "support/ScratchMachine.h"
#include "support/TraceCapture.h"

using kettrin::test::LocalHttpServer;
using kettrin::test::TraceCapture;

namespace {

std::string Bytes(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

mcHttpTransactionOptions ShortTimeouts(std::uint32_t ms) {
    mcHttpTransactionOptions o;
    o.dwConnectTimeout = o.dwOpenTimeout = o.dwTransferTimeout = ms;
    return o;
}

class HttpTransactionTest : public ::testing::Test {
protected:
    testsupport::ScratchMachine m_machine;
    TraceCapture m_trace{m_machine.TraceSocketPath()};
    LocalHttpServer m_server;
};

}  // namespace

TEST_F(HttpTransactionTest, NotFoundIsBadStatus) {
    ASSERT_TRUE(m_server.Start());
    std::vector<std::uint8_t> body;
    mcHttpResult result;
    EXPECT_FALSE(PerformHttpGet(m_server.Url("/missing"), &body, nullptr, &result));
    EXPECT_EQ(result.dwResult, mcHttpResult::kFailed);
    EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorBadHttpStatus);
    EXPECT_EQ(result.dwHttpStatus, 404u);
    EXPECT_TRUE(m_trace.WaitFor("HTTP", "Bad Http Status: 404"));
}

TEST_F(HttpTransactionTest, FilesAreServedFromAFolder) {
    const std::string dir = m_machine / "www";
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    { std::ofstream(dir + "/Manifest.xml") << "<m/>"; }
    ASSERT_TRUE(m_server.ServeFolder(dir, "/qorb"));
    ASSERT_TRUE(m_server.Start());
    std::string text;
    EXPECT_TRUE(PerformHttpGetString(m_server.Url("/qorb/Manifest.xml?v=2"), &text));
    EXPECT_EQ(text, "<m/>");
    EXPECT_EQ(m_server.Requests().at(0).query, "v=2");
}

TEST_F(HttpTransactionTest, StatusRangeIs200To299) {
    m_server.Get("/s/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
        res.status = std::stoi(req.matches[1]);
        res.set_content("x", "text/plain");
    });
    ASSERT_TRUE(m_server.Start());
    for (int status : {200, 204, 299}) {
        mcHttpResult result;
        EXPECT_TRUE(PerformHttpGet(m_server.Url("/s/" + std::to_string(status)), nullptr, nullptr, &result))
            << status;
        EXPECT_EQ(result.dwHttpStatus, static_cast<std::uint32_t>(status));
    }
    for (int status : {300, 304, 500}) {
        mcHttpResult result;
        EXPECT_FALSE(PerformHttpGet(m_server.Url("/s/" + std::to_string(status)), nullptr, nullptr, &result))
            << status;
        EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorBadHttpStatus);
        EXPECT_EQ(result.dwHttpStatus, static_cast<std::uint32_t>(status));
    }
}

TEST_F(HttpTransactionTest, BodyIsReadWholeAndInPortions) {
    const std::string payload = Pattern(20000);
    m_server.Get("/body", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(payload, "application/octet-stream");
    });
    ASSERT_TRUE(m_server.Start());

    std::vector<std::uint8_t> whole;
    mcHttpResult result;
    ASSERT_TRUE(PerformHttpGet(m_server.Url("/body"), &whole, nullptr, &result));
    EXPECT_EQ(result.dwResult, mcHttpResult::kSuccess);
    EXPECT_EQ(result.dwHttpStatus, 200u);
    EXPECT_EQ(Bytes(whole), payload);

    std::vector<std::uint8_t> portion;
    mcHttpGet get(m_server.Url("/body"), nullptr, &portion, nullptr, &result, nullptr, nullptr, 0);
    ASSERT_TRUE(get.RunHeadersOnly());
    EXPECT_TRUE(portion.empty());
    std::string streamed;
    int portions = 0;
    bool done = false;
    while (!done) {
        ASSERT_TRUE(get.ReadPortion(8192, &done));
        EXPECT_LE(portion.size(), 8192u);
        if (done) {
            EXPECT_TRUE(portion.empty());
        }
        if (!portion.empty()) ++portions;
        streamed += Bytes(portion);
        ASSERT_LT(portions, 1000);
    }
    EXPECT_EQ(streamed, payload);
    EXPECT_GE(portions, 3);
    EXPECT_EQ(get.Phase(), mcHttpTransaction::kPhaseFinished);
    // Reading past the end keeps answering "done".
    EXPECT_TRUE(get.ReadPortion(8192, &done));
    EXPECT_TRUE(done);
}

TEST_F(HttpTransactionTest, ReadPortionNeedsBufferAndDoneArgument) {
    m_server.Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("x", "text/plain"); });
    ASSERT_TRUE(m_server.Start());
    {
        mcHttpResult result;
        mcHttpGet get(m_server.Url("/x"), nullptr, nullptr, nullptr, &result, nullptr, nullptr, 0);
        ASSERT_TRUE(get.RunHeadersOnly());
        bool done = false;
        EXPECT_FALSE(get.ReadPortion(100, &done));
        EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorText);
        EXPECT_EQ(result.strMessage, "No receive buffer provided.");
    }
    {
        mcHttpResult result;
        std::vector<std::uint8_t> buffer;
        mcHttpGet get(m_server.Url("/x"), nullptr, &buffer, nullptr, &result, nullptr, nullptr, 0);
        ASSERT_TRUE(get.RunHeadersOnly());
        EXPECT_FALSE(get.ReadPortion(100, nullptr));
        EXPECT_EQ(result.strMessage, "No done arg provided.");
    }
}

TEST_F(HttpTransactionTest, SilentServerTimesOutWithinTransferTimeout) {
    ASSERT_TRUE(m_server.StartRaw(LocalHttpServer::RawMode::kNeverAnswer));
    mcHttpTransactionOptions options = ShortTimeouts(400);
    mcHttpResult result;
    std::vector<std::uint8_t> body;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PerformHttpGet(m_server.Url("/never"), &body, &options, &result));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.dwResult, mcHttpResult::kTimedOut);
    EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorNone);
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
    EXPECT_TRUE(m_trace.WaitFor("HTTP", "Timed out."));
}

TEST_F(HttpTransactionTest, StalledBodyTimesOutPerRead) {
    std::atomic<bool> stop{false};
    m_server.Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/octet-stream",
                                         [&](std::size_t offset, httplib::DataSink& sink) {
                                             if (offset == 0) {
                                                 sink.write("first", 5);
                                                 return true;
                                             }
                                             for (int i = 0; i < 300 && !stop; ++i)
                                                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                             sink.done();
                                             return true;
                                         });
    });
    ASSERT_TRUE(m_server.Start());
    mcHttpTransactionOptions options = ShortTimeouts(300);
    mcHttpResult result;
    std::vector<std::uint8_t> buffer;
    mcHttpGet get(m_server.Url("/stall"), nullptr, &buffer, &options, &result, nullptr, nullptr, 0);
    ASSERT_TRUE(get.RunHeadersOnly());
    bool done = false;
    ASSERT_TRUE(get.ReadPortion(100, &done));
    EXPECT_EQ(Bytes(buffer), "first");
    EXPECT_FALSE(get.ReadPortion(100, &done));
    EXPECT_EQ(result.dwResult, mcHttpResult::kTimedOut);
    stop = true;
}

TEST_F(HttpTransactionTest, HeaderLineWithTwoSeparatorsFailsOnlyWithHeaderMap) {
    ASSERT_TRUE(m_server.StartRaw(LocalHttpServer::RawMode::kCanned, LocalHttpServer::DoubleSeparatorResponse()));

    mcHttpHeaders headers;
    mcHttpResult result;
    std::vector<std::uint8_t> body;
    EXPECT_FALSE(PerformHttpGet(m_server.Url("/"), &body, nullptr, &result, nullptr, &headers));
    EXPECT_EQ(result.dwResult, mcHttpResult::kFailed);
    EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorText);
    EXPECT_EQ(result.strMessage, "Caught unknown exception");
    EXPECT_TRUE(m_trace.WaitFor("HTTP", "Caught unknown exception"));

    mcHttpResult plain;
    EXPECT_TRUE(PerformHttpGet(m_server.Url("/"), &body, nullptr, &plain));
    EXPECT_EQ(Bytes(body), "ok");
}

TEST_F(HttpTransactionTest, ResponseHeadersAreParsedIntoTheMap) {
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Empty: \r\nX-Spaced:   v a l  \r\n"
        "X-Twice: one\r\nX-Twice: two\nConnection: close\r\n\r\nok";
    ASSERT_TRUE(m_server.StartRaw(LocalHttpServer::RawMode::kCanned, response));
    mcHttpHeaders headers;
    ASSERT_TRUE(PerformHttpGet(m_server.Url("/"), nullptr, nullptr, nullptr, nullptr, &headers));
    EXPECT_EQ(headers.Get("Content-Length"), "2");
    EXPECT_EQ(headers.Get("X-Empty"), "");
    EXPECT_EQ(headers.Get("X-Spaced"), "v a l");
    EXPECT_EQ(headers.Get("X-Twice"), "two");  // a later header replaces the earlier
    EXPECT_EQ(headers.Get("Connection"), "close");
    EXPECT_EQ(headers.Size(), 5u);
    EXPECT_FALSE(headers.Has("content-length"));
    ASSERT_NE(headers.FindNoCase("content-length"), nullptr);
    EXPECT_EQ(*headers.FindNoCase("content-length"), "2");
}

TEST_F(HttpTransactionTest, EmbeddedNulCutsTextAndIsTraced) {
    ASSERT_TRUE(m_server.StartRaw(LocalHttpServer::RawMode::kCanned, LocalHttpServer::EmbeddedNulResponse()));
    std::string text = "unchanged";
    mcHttpResult result;
    ASSERT_TRUE(PerformHttpGetString(m_server.Url("/"), &text, nullptr, &result));
    EXPECT_EQ(text, "abc");
    EXPECT_TRUE(m_trace.WaitFor("CORE", "PrvHandleEmbeddedNulls: EMBEDDED NULL(S) DETECTED"));
}

TEST_F(HttpTransactionTest, TextBodyIsDecodedAsUtf8) {
    m_server.Get("/t", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string("caf\xC3\xA9 \xFF!"), "text/plain");
    });
    ASSERT_TRUE(m_server.Start());
    std::string text;
    ASSERT_TRUE(PerformHttpGetString(m_server.Url("/t"), &text));
    EXPECT_EQ(text, "caf\xC3\xA9 \xEF\xBF\xBD!");  // the stray byte becomes U+FFFD
}

TEST(PrvHandleEmbeddedNulls, CutsAtFirstNulOnly) {
    std::string text("ab\0cd\0", 6);
    EXPECT_EQ(PrvHandleEmbeddedNulls(text), 2u);
    EXPECT_EQ(text, "ab");
    std::string clean = "abc";
    EXPECT_EQ(PrvHandleEmbeddedNulls(clean), 3u);
    EXPECT_EQ(clean, "abc");
}

TEST_F(HttpTransactionTest, RedirectIsFollowedAndFinalHeadersKept) {
    m_server.Get("/old", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/new?x=1", 302);
        res.set_header("X-Which", "old");
        res.set_content("the old place", "text/plain");
    });
    m_server.Get("/new", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Which", "new");
        res.set_content("moved here", "text/plain");
    });
    ASSERT_TRUE(m_server.Start());
    std::vector<std::uint8_t> body;
    mcHttpHeaders headers;
    mcHttpResult result;
    ASSERT_TRUE(PerformHttpGet(m_server.Url("/old"), &body, nullptr, &result, nullptr, &headers));
    EXPECT_EQ(Bytes(body), "moved here");
    EXPECT_EQ(result.dwHttpStatus, 200u);
    EXPECT_EQ(headers.Get("X-Which"), "new");
    EXPECT_FALSE(headers.Has("Location"));
    auto requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].target, "/new?x=1");
}

TEST_F(HttpTransactionTest, RedirectToAnotherSchemeIsRefused) {
    m_server.Get("/evil", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("file:///etc/passwd", 302);
    });
    ASSERT_TRUE(m_server.Start());
    std::vector<std::uint8_t> body;
    mcHttpResult result;
    EXPECT_FALSE(PerformHttpGet(m_server.Url("/evil"), &body, nullptr, &result));
    EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorWin32);
    EXPECT_EQ(result.dwWin32Error, 12156u);
    EXPECT_TRUE(body.empty());
}

TEST_F(HttpTransactionTest, ConnectionRefusedIsReportedAtConnect) {
    int port = LocalHttpServer::UnusedPort();
    mcHttpResult result;
    EXPECT_FALSE(PerformHttpGet("http://127.0.0.1:" + std::to_string(port) + "/", nullptr, nullptr, &result));
    EXPECT_EQ(result.dwResult, mcHttpResult::kFailed);
    EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorWin32);
    EXPECT_EQ(result.dwWin32Error, 12029u);
    EXPECT_EQ(result.strMessage, "[mcHttpTransaction.cpp:548] Win32 Error: 12029");
    EXPECT_TRUE(m_trace.WaitFor("HTTP", result.strMessage));
}

TEST_F(HttpTransactionTest, TruncatedBodyFails) {
    ASSERT_TRUE(m_server.StartRaw(LocalHttpServer::RawMode::kCanned, LocalHttpServer::TruncatedResponse(1000, 500)));
    std::vector<std::uint8_t> body;
    mcHttpResult result;
    EXPECT_FALSE(PerformHttpGet(m_server.Url("/"), &body, nullptr, &result));
    EXPECT_EQ(result.dwResult, mcHttpResult::kFailed);
    EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorWin32);
    EXPECT_EQ(result.strMessage, "[mcHttpTransaction.cpp:829] Win32 Error: 12030");

    // Streaming sees the bytes that came, then the failure.
    std::vector<std::uint8_t> portion;
    mcHttpResult streamed;
    mcHttpGet get(m_server.Url("/"), nullptr, &portion, nullptr, &streamed, nullptr, nullptr, 0);
    ASSERT_TRUE(get.RunHeadersOnly());
    std::size_t total = 0;
    bool done = false;
    bool ok = true;
    while (ok && !done) {
        ok = get.ReadPortion(4096, &done);
        if (ok) total += portion.size();
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(total, 500u);
    EXPECT_EQ(streamed.dwWin32Error, 12030u);
}

TEST_F(HttpTransactionTest, BodyOverLimitFailsButStreamingIsUnlimited) {
    const std::string payload = Pattern(50000);
    m_server.Get("/sized", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(payload, "application/octet-stream");
    });
    m_server.Get("/chunked", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/octet-stream",
                                         [&](std::size_t offset, httplib::DataSink& sink) {
                                             if (offset < payload.size())
                                                 sink.write(payload.data() + offset, 10000);
                                             else
                                                 sink.done();
                                             return true;
                                         });
    });
    ASSERT_TRUE(m_server.Start());
    mcHttpTransactionOptions options;
    options.nMaxBodyBytes = 20000;
    const std::string expected = "Response body exceeds the limit of 20000 bytes.";
    for (const char* path : {"/sized", "/chunked"}) {
        std::vector<std::uint8_t> body;
        mcHttpResult result;
        EXPECT_FALSE(PerformHttpGet(m_server.Url(path), &body, &options, &result)) << path;
        EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorText) << path;
        EXPECT_EQ(result.strMessage, expected) << path;
        EXPECT_LE(body.size(), 20000u + mcHttpTransaction::kRunPortion) << path;
    }
    EXPECT_TRUE(m_trace.WaitFor("HTTP", expected));

    std::vector<std::uint8_t> portion;
    mcHttpGet get(m_server.Url("/chunked"), nullptr, &portion, &options, nullptr, nullptr, nullptr, 0);
    ASSERT_TRUE(get.RunHeadersOnly());
    std::string streamed;
    bool done = false;
    while (!done) {
        ASSERT_TRUE(get.ReadPortion(32384, &done));
        streamed += Bytes(portion);
    }
    EXPECT_EQ(streamed, payload);
}

TEST_F(HttpTransactionTest, RequestCarriesNoCacheAgentAndExtraHeadersIfNew) {
    m_server.Get("/q", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
    ASSERT_TRUE(m_server.Start());
    const std::string extra =
        "Date: Tue, 08 Dec 2026 01:57:42 GMT\r\nUser-Agent: other\r\ncache-control: max-age=9\r\n"
        "X-One: 1\r\nX-One: 2\r\n";
    const std::string target = "/q?Event=A%20B&x=%26&empty=";
    mcHttpResult result;
    ASSERT_TRUE(PerformHttpGet(m_server.Url(target), nullptr, nullptr, &result, &extra));
    auto requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, target);
    EXPECT_EQ(r.Header("User-Agent"), "qorb");
    EXPECT_EQ(r.Header("Cache-Control"), "no-cache");
    EXPECT_EQ(r.Header("Pragma"), "no-cache");
    EXPECT_EQ(r.Header("Date"), "Tue, 08 Dec 2026 01:57:42 GMT");
    EXPECT_EQ(r.Header("X-One"), "1");
    EXPECT_EQ(r.headers.count("X-One"), 1u);
    EXPECT_FALSE(r.HasHeader("Accept"));

    // Without the reload flag no cache headers are sent; the agent is the option's.
    mcHttpTransactionOptions options;
    options.dwRequestFlags = 0;
    options.strAgent = "Tavrolin ComponentMgr 1.00.0073 (Linux)\r\nX-Injected: 1";
    ASSERT_TRUE(PerformHttpGet(m_server.Url("/q"), nullptr, &options));
    requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[1].HasHeader("Cache-Control"));
    EXPECT_FALSE(requests[1].HasHeader("Pragma"));
    EXPECT_FALSE(requests[1].HasHeader("X-Injected"));
    EXPECT_EQ(requests[1].Header("User-Agent").rfind("Tavrolin ComponentMgr 1.00.0073 (Linux)", 0), 0u);
}

TEST_F(HttpTransactionTest, MalformedExtraHeaderIsRefused) {
    m_server.Get("/q", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
    ASSERT_TRUE(m_server.Start());
    for (std::string extra : {std::string("no colon here"), std::string("X-A: 1\rX-B: 2"),
                              std::string("Bad Name: 1")}) {
        mcHttpResult result;
        EXPECT_FALSE(PerformHttpGet(m_server.Url("/q"), nullptr, nullptr, &result, &extra)) << extra;
        EXPECT_EQ(result.strMessage, "[mcHttpTransaction.cpp:625] Win32 Error: 87") << extra;
    }
    EXPECT_EQ(m_server.RequestCount(), 0u);
}

TEST_F(HttpTransactionTest, UnusableUrlsFailInParse) {
    for (std::string url : {std::string(""), std::string("not a url"), std::string("ftp://127.0.0.1/x"),
                            std::string("file:///etc/passwd"), std::string("http:///qorb/check.cgi")}) {
        mcHttpResult result;
        EXPECT_FALSE(PerformHttpGet(url, nullptr, nullptr, &result)) << url;
        EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorText) << url;
        EXPECT_EQ(result.strMessage, "ParseUrlWorker failed.") << url;
    }
}

TEST_F(HttpTransactionTest, UrlIsCanonicalised) {
    m_server.Get("/a b", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
    ASSERT_TRUE(m_server.Start());
    std::string text;
    ASSERT_TRUE(PerformHttpGetString("  " + m_server.Url("/a b?q=c d") + "\n", &text));
    EXPECT_EQ(text, "ok");
    EXPECT_EQ(m_server.Requests().at(0).target, "/a%20b?q=c%20d");
}

TEST_F(HttpTransactionTest, Port443AndHttpsAreSentOverTls) {
    mcHttpResult result;
    mcHttpTransactionOptions options = ShortTimeouts(1000);
    mcHttpGet port443("http://127.0.0.1:443/", nullptr, nullptr, &options, &result, nullptr, nullptr, 0);
    port443.Run();
    EXPECT_NE(port443.EffectiveRequestFlags() & mcHttpTransactionOptions::kFlagSecure, 0u);

    // An https URL on another port must not fall back to plain HTTP: against a
    // plain server the handshake fails and no request is ever read.
    m_server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("plain", "text/plain"); });
    ASSERT_TRUE(m_server.Start());
    std::vector<std::uint8_t> body;
    mcHttpGet tls("https://127.0.0.1:" + std::to_string(m_server.Port()) + "/", nullptr, &body, &options,
                  &result, nullptr, nullptr, 0);
    EXPECT_FALSE(tls.Run());
    EXPECT_NE(tls.EffectiveRequestFlags() & mcHttpTransactionOptions::kFlagSecure, 0u);
    EXPECT_EQ(result.dwErrorKind, mcHttpResult::kErrorWin32);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(m_server.RequestCount(), 0u);

    mcHttpGet plain(m_server.Url("/"), nullptr, nullptr, &options, &result, nullptr, nullptr, 0);
    ASSERT_TRUE(plain.Run());
    EXPECT_EQ(plain.EffectiveRequestFlags(), mcHttpTransactionOptions::kDefaultFlags);
}

TEST_F(HttpTransactionTest, ProxyFromEnvironmentIsUsed) {
    // The local server plays the proxy: it receives the absolute URL.
    m_server.Get(".*", [](const httplib::Request&, httplib::Response& res) { res.set_content("via proxy", "text/plain"); });
    ASSERT_TRUE(m_server.Start());
    std::string text;
    mcHttpResult result;
    bool ok = false;
    std::uint32_t flags = 0;
    bool okText = false;
    {
        testsupport::ScopedEnv proxy("http_proxy", m_server.Url("/"));
        testsupport::ScopedEnv noProxy("no_proxy", nullptr);
        testsupport::ScopedEnv noProxyUpper("NO_PROXY", nullptr);
        mcHttpGet get("http://updates.invalid/file?a=1", nullptr, nullptr, nullptr, &result, nullptr, nullptr, 0);
        ok = get.Run();
        flags = get.EffectiveRequestFlags();
        okText = PerformHttpGetString("http://updates.invalid/file?a=1", &text);
    }
    EXPECT_TRUE(ok);
    EXPECT_TRUE(okText);
    EXPECT_EQ(text, "via proxy");
    EXPECT_NE(flags & mcHttpTransactionOptions::kFlagKeepConnection, 0u);
    ASSERT_GE(m_server.RequestCount(), 1u);
    EXPECT_EQ(m_server.Requests()[0].target, "http://updates.invalid/file?a=1");
}

TEST_F(HttpTransactionTest, AbortFromAnotherThreadCancels) {
    ASSERT_TRUE(m_server.StartRaw(LocalHttpServer::RawMode::kNeverAnswer));
    mcHttpTransactionOptions options;  // 30 s: only the abort can end it early
    mcHttpResult result;
    mcHttpGet get(m_server.Url("/"), nullptr, nullptr, &options, &result, nullptr, nullptr, 0);
    std::thread aborter([&] {
        m_server.WaitForRequests(1, 5000);
        get.Abort();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(get.Run());
    aborter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(result.dwResult, mcHttpResult::kCancelled);
    EXPECT_TRUE(m_trace.WaitFor("HTTP", "Cancelled"));
}

TEST(mcObjectRepository, IdsAreUniqueAndZeroIsInvalid) {
    auto& repo = mcHttpTransaction::Repository();
    std::size_t before = repo.Count();
    std::uint32_t id1 = 0, id2 = 0;
    {
        mcHttpGet a("http://127.0.0.1/", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0);
        mcHttpGet b("http://127.0.0.1/", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0);
        id1 = a.Id();
        id2 = b.Id();
        EXPECT_NE(id1, 0u);
        EXPECT_NE(id1, id2);
        EXPECT_EQ(repo.Lookup(id1), &a);
        EXPECT_EQ(repo.Count(), before + 2);
    }
    EXPECT_EQ(repo.Lookup(id1), nullptr);
    EXPECT_EQ(repo.Count(), before);
    try {
        repo.CheckId(0);
        FAIL() << "no exception";
    } catch (const mcExc& e) {
        EXPECT_EQ(e.Description(), "Invalid id");
        EXPECT_EQ(e.Function(), "mcObjectRepository<class mcHttpTransaction>::CheckId");
        EXPECT_EQ(e.Line(), 146);
    }
    EXPECT_THROW(repo.Lookup(0), mcExc);
    EXPECT_THROW(repo.Unregister(0), mcExc);
}

TEST(mcObjectRepository, IdsWrapAroundSkippingZeroAndLiveIds) {
    int a = 0, b = 0, c = 0, d = 0;
    mcObjectRepository<int> repo("int", 0xFFFFFFFEu);
    EXPECT_EQ(repo.Register(&a), 0xFFFFFFFEu);
    EXPECT_EQ(repo.Register(&b), 0xFFFFFFFFu);
    EXPECT_EQ(repo.Register(&c), 1u);  // 0 is never handed out
    repo.Unregister(0xFFFFFFFEu);
    EXPECT_EQ(repo.Register(&d), 2u);
    EXPECT_EQ(repo.Lookup(0xFFFFFFFFu), &b);
    EXPECT_EQ(repo.Lookup(1), &c);
    EXPECT_EQ(repo.Lookup(0xFFFFFFFEu), nullptr);
}

TEST(mcNameValuePair, SplitsIntoExactlyTwoTrimmedPieces) {
    mcNameValuePair pair;
    pair.FromStr("  Content-Type: text/plain \r", ": ");
    EXPECT_EQ(pair.Name(), "Content-Type");
    EXPECT_EQ(pair.Value(), "text/plain");
    pair.FromStr(": : a: : b: ", ": ");  // empty pieces are dropped
    EXPECT_EQ(pair.Name(), "a");
    EXPECT_EQ(pair.Value(), "b");
    for (const char* bad : {"novalue", "a: b: c", "", ": "}) {
        try {
            pair.FromStr(bad, ": ");
            FAIL() << bad;
        } catch (const mcExc& e) {
            EXPECT_EQ(e.Description(), "Invalid name value pair string");
            EXPECT_EQ(e.Function(), "mcNameValuePair::FromStr");
            EXPECT_EQ(e.Line(), 42);
        }
    }
}

TEST(mcHttpHeaders, GetMissingHeaderThrows) {
    mcHttpHeaders headers;
    headers.Set("ETag", "1");
    headers.Set("ETag", "2");
    EXPECT_EQ(headers.Get("ETag"), "2");
    try {
        headers.Get("etag");
        FAIL() << "no exception";
    } catch (const mcExc& e) {
        EXPECT_EQ(e.Description(), "Required header not found");
        EXPECT_EQ(e.Function(), "mcHttpHeaders::Get");
        EXPECT_EQ(e.Line(), 128);
    }
}

// The service's fetcher: AbortAll ends a request that waits on a silent
// server (it would wait for ever) and fails every later one at once, without
// a connection.
TEST_F(HttpTransactionTest, FetcherAbortEndsRunningAndLaterRequests) {
    ASSERT_TRUE(m_server.StartRaw(LocalHttpServer::RawMode::kNeverAnswer));
    mcHttpFetcher fetcher;
    mcHttpTransactionOptions options = ShortTimeouts(mcHttpTransactionOptions::kInfinite);
    mcHttpResult result;
    std::atomic<bool> bDone{false};
    bool bOk = true;
    std::thread waiting([&] {
        std::vector<std::uint8_t> body;
        bOk = fetcher.Get(m_server.Url("/never"), &body, &options, &result, nullptr);
        bDone = true;
    });
    ASSERT_TRUE(m_server.WaitForRequests(1, 5000));
    EXPECT_FALSE(bDone.load());
    fetcher.AbortAll();
    waiting.join();
    EXPECT_FALSE(bOk);
    EXPECT_EQ(result.dwResult, mcHttpResult::kCancelled);

    mcHttpResult later;
    std::string strText = "untouched";
    EXPECT_FALSE(fetcher.GetString(m_server.Url("/later"), &strText, &options, &later));
    EXPECT_EQ(later.dwResult, mcHttpResult::kCancelled);
    EXPECT_EQ(strText, "untouched");
    EXPECT_EQ(m_server.RequestCount(), 1u);
}

// GetString decodes like PerformHttpGetString: invalid UTF-8 replaced, cut at
// the first NUL.
TEST_F(HttpTransactionTest, FetcherGetStringDecodesLikePerformHttpGetString) {
    const std::string strBody = std::string("ab\xff" "c") + '\0' + "tail";
    m_server.Get("/text", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(strBody, "text/plain");
    });
    ASSERT_TRUE(m_server.Start());
    std::string strExpected;
    ASSERT_TRUE(PerformHttpGetString(m_server.Url("/text"), &strExpected));
    std::string strText;
    ASSERT_TRUE(mcHttpFetcher::Shared()->GetString(m_server.Url("/text"), &strText));
    EXPECT_EQ(strText, strExpected);
    EXPECT_EQ(strText, "ab\xef\xbf\xbd" "c");
}

// A server that sends one byte every 200 ms never trips the per-read time-out;
// the overall deadline ends a whole-body read and the minimum rate ends any
// read, both with the time-out result, long before the trickle would end.
TEST_F(HttpTransactionTest, TricklingServerEndsTimedOut) {
    std::atomic<bool> stop{false};
    m_server.Get("/trickle", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/octet-stream", [&](std::size_t offset, httplib::DataSink& sink) {
            if (stop || offset >= 150) {  // 30 s of trickle
                sink.done();
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            sink.write("x", 1);
            return true;
        });
    });
    m_server.Get("/fast", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(Pattern(1 << 20), "application/octet-stream");
    });
    ASSERT_TRUE(m_server.Start());
    struct Case {
        const char* pszWhat;
        std::uint32_t dwOverall;
        std::uint32_t dwMinRate;
        bool bStreaming;
    };
    const Case cases[] = {
        {"overall deadline, whole body", 1500, 0, false},
        {"minimum rate, whole body", mcHttpTransactionOptions::kInfinite, 100, false},
        {"minimum rate, streaming read", mcHttpTransactionOptions::kInfinite, 100, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        mcHttpTransactionOptions options = ShortTimeouts(1000);
        options.dwOverallTimeout = c.dwOverall;
        options.dwMinBytesPerSecond = c.dwMinRate;
        options.dwLowSpeedWindow = 1000;
        mcHttpResult result;
        std::vector<std::uint8_t> buffer;
        const auto start = std::chrono::steady_clock::now();
        mcHttpGet get(m_server.Url("/trickle"), nullptr, &buffer, &options, &result, nullptr, nullptr, 0);
        if (c.bStreaming) {
            ASSERT_TRUE(get.RunHeadersOnly());
            bool bDone = false;
            while (get.ReadPortion(100, &bDone) && !bDone) {
            }
            EXPECT_FALSE(bDone);
        } else {
            EXPECT_FALSE(get.Run());
        }
        EXPECT_EQ(result.dwResult, mcHttpResult::kTimedOut);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    // The defaults still let a fast body through whole.
    std::vector<std::uint8_t> body;
    mcHttpResult result;
    EXPECT_TRUE(PerformHttpGet(m_server.Url("/fast"), &body, nullptr, &result));
    EXPECT_EQ(Bytes(body), Pattern(1 << 20));
    stop = true;
}
