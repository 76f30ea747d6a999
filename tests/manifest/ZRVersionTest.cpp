// Version strings: numeric fields, dropped empty pieces, bad arguments.
#include <malloc.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ManifestTestUtil.h"
#include "base/mcTraceViewer.h"
#include "manifest/ZRVersion.h"

TEST(ZRVersion, ComparesFieldsNumerically) {
    EXPECT_EQ(mfStrCompareZRVersions("1.00.0073", "1.00.0072"), 1);
    EXPECT_EQ(mfStrCompareZRVersions("1.00.0072", "1.00.0073"), -1);
    EXPECT_EQ(mfStrCompareZRVersions("1.2.3", "1.10.0"), -1);  // 2 < 10, not textual
    EXPECT_EQ(mfStrCompareZRVersions("1.0.0", "1.00.0000"), 0);
    EXPECT_EQ(mfStrCompareZRVersions("2.0.0", "1.99.99"), 1);  // major decides first
    EXPECT_EQ(mfStrCompareZRVersions("1.3.0", "1.2.999"), 1);
    EXPECT_EQ(mfStrCompareZRVersions(kZRVersionNone, "0.0.1"), -1);
    EXPECT_EQ(mfStrCompareZRVersions(kZRVersionNone, "0.00.0000"), 0);
    // Beyond 32 bits, and saturating beyond 64.
    EXPECT_EQ(mfStrCompareZRVersions("1.0.4294967296", "1.0.4294967295"), 1);
    EXPECT_EQ(mfStrCompareZRVersions("1.0.99999999999999999999", "1.0.9223372036854775807"), 0);
}

TEST(ZRVersion, PiecesCountByTheirLeadingNumber) {
    EXPECT_EQ(mfStrCompareZRVersions("1..2.3", "1.2.3"), 0);  // empty pieces dropped
    EXPECT_EQ(mfStrCompareZRVersions("1.2.3.", "1.2.3"), 0);
    EXPECT_EQ(mfStrCompareZRVersions("1.2.7a", "1.2.7"), 0);
    EXPECT_EQ(mfStrCompareZRVersions("1.2.x", "1.2.0"), 0);
    EXPECT_EQ(mfStrCompareZRVersions("1. 2.3", "1.2.3"), 0);  // leading blank skipped
    EXPECT_EQ(mfStrCompareZRVersions("1.-2.3", "1.0.3"), -1);  // sign honoured
    EXPECT_EQ(mfStrCompareZRVersions("1.+2.3", "1.2.3"), 0);
    EXPECT_EQ(mfStrCompareZRVersions("1.2 5.3", "1.2.3"), 0);  // stops at the blank
}

// Heap bytes in use: arena blocks and mapped blocks.
long long HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

TEST(ZRVersion, AVersionOfMillionsOfPiecesKeepsNoMemory) {
    // Any caller may register a client with any version text. One of four
    // million pieces was split into as many strings, and their table (over
    // 100 MB) stayed with the thread after the call.
    constexpr std::size_t kBytes = 8u << 20;
    std::string many;
    many.reserve(kBytes);
    while (many.size() + 2 <= kBytes) many += "1.";
    EXPECT_EQ(mfStrCompareZRVersions("1.2.3", "1.2.4"), -1);  // the thread's first call
    const long long before = HeapInUse();
    EXPECT_EQ(mfStrCompareZRVersions(many, "1.2.3"), kZRVersionBadArg);
    EXPECT_EQ(mfStrCompareZRVersions("1.2.3", many), kZRVersionBadArg);
    EXPECT_LT(HeapInUse() - before, 1 << 20);
    // Three pieces of any length still compare.
    const std::string longBuild = "1.2." + std::string(kBytes, '0') + "7";
    EXPECT_EQ(mfStrCompareZRVersions(longBuild, "1.2.7"), 0);
}

TEST(ZRVersion, BadArgumentsGiveMinusTwoAndAnAssertionReport) {
    testsupport::ScratchMachine dir;
    const std::string socketPath = dir.TraceSocketPath();
    mcTraceViewer viewer;
    std::string error;
    ASSERT_TRUE(viewer.Bind(socketPath, &error)) << error;

    // A leading "." is reported from line 233, a wrong number of pieces from 242.
    // Each report is read right away: the socket queues only a few datagrams.
    const std::string prefix =
        "Assertion failed,\"! NOLOC(\"Bad arg passed into mfStrCompareZRVersions\")\","
        "mfStrCompareZRVersions(),ZRVersion.cpp(";
    auto nextReport = [&viewer]() -> std::string {
        while (auto datagram = viewer.Receive(2000)) {
            if (datagram->command != mcDiagTrace::kCmdLine) continue;
            EXPECT_EQ(datagram->source, "CORE");
            if (datagram->text.rfind("Assertion failed,", 0) == 0) return datagram->text;
        }
        return "(no report)";
    };
    auto check = [&](const char* a, const char* b, const char* line) {
        EXPECT_EQ(mfStrCompareZRVersions(a, b), kZRVersionBadArg) << a << " / " << b;
        EXPECT_EQ(nextReport(), prefix + line + ")") << a << " / " << b;
    };
    for (const char* bad : {".1.2.3", "1.2", "1.2.3.4", "", "...", "1"}) {
        const char* line = bad[0] == '.' ? "233" : "242";
        check(bad, "1.2.3", line);
        check("1.2.3", bad, line);
    }
    // Either side starting with "." is refused even when the other is bad too.
    check("1.2", ".1.2.3", "233");
}
