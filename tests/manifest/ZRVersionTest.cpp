// Version strings: numeric fields, dropped empty pieces, bad arguments.
#include <cstdlib>

#include "ManifestTestUtil.h"
#include "common/mcTraceViewer.h"
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

TEST(ZRVersion, BadArgumentsGiveMinusTwoAndAnAssertionReport) {
    manifest_test::TempDir dir;
    const std::string socketPath = dir / "trace.sock";
    const char* previous = std::getenv("KETTRIN_DIAG_SOCKET");
    const std::string previousPath = previous != nullptr ? previous : "";
    ::setenv("KETTRIN_DIAG_SOCKET", socketPath.c_str(), 1);
    mcTraceViewer viewer;
    std::string error;
    ASSERT_TRUE(viewer.Bind(socketPath, &error)) << error;

    for (const char* bad : {".1.2.3", "1.2", "1.2.3.4", "", "...", "1"}) {
        EXPECT_EQ(mfStrCompareZRVersions(bad, "1.2.3"), kZRVersionBadArg) << bad;
        EXPECT_EQ(mfStrCompareZRVersions("1.2.3", bad), kZRVersionBadArg) << bad;
    }
    // Either side starting with "." is refused even when the other is bad too.
    EXPECT_EQ(mfStrCompareZRVersions("1.2.3", ".1.2.3"), kZRVersionBadArg);

    bool bFound = false;
    while (auto datagram = viewer.Receive(bFound ? 0 : 2000)) {
        if (datagram->command != mcDiagTrace::kCmdLine) continue;
        EXPECT_EQ(datagram->source, "CORE");
        if (datagram->text.rfind("Assertion failed,\"! NOLOC(\"Bad arg passed into mfStrCompareZRVersions\")\","
                                 "mfStrCompareZRVersions(),ZRVersion.cpp(", 0) == 0) {
            bFound = true;
        }
    }
    EXPECT_TRUE(bFound) << "no assertion report arrived";
    ::setenv("KETTRIN_DIAG_SOCKET", previousPath.c_str(), 1);
}
