// The report file's buffer: text waits until more than 7168 characters are
// pending when the next piece comes, and is UTF-16LE on disk.
#include <filesystem>
#include <string>

#include "crash/CrashTestSupport.h"
#include "crash/mcCrashReportFile.h"

namespace {

TEST(CrashReportFileTest, WritesWhenMoreThanTheThresholdWaits) {
    fstest::TempDir dir;
    const std::string strPath = dir / "ErrorLog.Txt";
    static mcCrashReportFile s_file;  // large: not on the test's stack
    bool bNew = false;
    ASSERT_TRUE(s_file.Open(strPath.c_str(), &bNew));
    EXPECT_TRUE(bNew);
    ASSERT_TRUE(s_file.WriteByteOrderMark());
    const std::string strA(7168, 'a');
    s_file.Append(strA.c_str());
    s_file.Append("b");  // 7168 waiting: not more than the threshold
    EXPECT_EQ(std::filesystem::file_size(strPath), 2u);
    s_file.Append("c");  // 7169 waiting: written before this piece
    EXPECT_EQ(std::filesystem::file_size(strPath), 2u + 2 * 7169);
    EXPECT_EQ(s_file.Waiting(), 1u);
    // Not ASCII: a path with "é" and a character beyond the BMP.
    s_file.Append("/opt/caf\xC3\xA9/\xF0\x9F\x98\x80 \xFF.");
    ASSERT_TRUE(s_file.Close());
    const std::string strText = crashtest::DecodeUtf16(strPath);
    EXPECT_EQ(strText, strA + "bc/opt/caf\xC3\xA9/\xF0\x9F\x98\x80 \xEF\xBF\xBD.");

    // Reopened: appended to, not new.
    ASSERT_TRUE(s_file.Open(strPath.c_str(), &bNew));
    EXPECT_FALSE(bNew);
    s_file.Append("!");
    ASSERT_TRUE(s_file.Close());
    EXPECT_EQ(crashtest::DecodeUtf16(strPath).back(), '!');
}

}  // namespace
