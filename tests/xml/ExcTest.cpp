// Exception texts, Win32 errors, system messages and HRToExc.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "support/ScratchMachine.h"
#include "support/TraceListener.h"
#include "base/DebugOutput.h"
#include "base/SystemMessages.h"
#include "base/Win32Error.h"
#include "base/mcExc.h"
#include "base/mcWin32Exc.h"
#include "xml/mcXmlExc.h"

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Collects the debugger output while alive.
class DebugCapture {
public:
    DebugCapture() {
        mfSetDebugOutputSink([this](const std::string& text) { texts.push_back(text); });
    }
    ~DebugCapture() { mfSetDebugOutputSink({}); }
    std::vector<std::string> texts;
};

}  // namespace

TEST(ExcTextTest, TextFormsWithoutHresult) {
    mcExc exc("mcFoo::Bar", "src/common/sub/mcFoo.cpp", 42, "it broke");
    EXPECT_STREQ(exc.what(), "it broke");
    EXPECT_EQ(exc.GetHResult(), 0);
    EXPECT_EQ(exc.GetTraceLine(), "mcFoo::Bar,Throwing class mcExc,it broke,mcFoo.cpp(42)");
    EXPECT_EQ(exc.GetDebugText(),
              "Description:it broke\nFunction:\tmcFoo::Bar\nsrc/common/sub/mcFoo.cpp(42)\n\n");
    EXPECT_EQ(exc.GetReport(),
              "TAVROLIN Exception\n\nType:\t\tclass mcExc\nDescription:\tit broke\n"
              "Function:\t\tmcFoo::Bar\nFile:\t\tsrc/common/sub/mcFoo.cpp\nLine:\t\t42");
}

TEST(ExcTextTest, TextFormsWithHresult) {
    mcExc exc("F", "a\\b\\Exc.cpp", 7, "d", E_FAIL);
    EXPECT_EQ(exc.GetTraceLine(),
              "F,Throwing class mcExc,d,Exc.cpp(7),HRESULT:80004005 (Unspecified error)");
    EXPECT_EQ(exc.GetDebugText(),
              "HRESULT:80004005 (Unspecified error)\nDescription:d\nFunction:\tF\na\\b\\Exc.cpp(7)\n\n");
    // The report never carries the HRESULT.
    EXPECT_EQ(exc.GetReport().find("8000"), std::string::npos);

    mcExc unknown("F", "f", 1, "d", 0x1234);
    EXPECT_TRUE(EndsWith(unknown.GetTraceLine(), ",HRESULT:1234 (Error: 00001234)"));
}

TEST(ExcTextTest, DerivedClassesReportBaseTypeAndCopyFully) {
    mcXmlExc xml("X::Y", "/x/y.cpp", 3, "bad xml");
    EXPECT_EQ(xml.GetTraceLine(), "X::Y,Throwing class mcExc,bad xml,y.cpp(3)");
    mcExc copy = xml;
    EXPECT_EQ(copy.Function(), "X::Y");
    EXPECT_EQ(copy.File(), "/x/y.cpp");
    EXPECT_EQ(copy.Line(), 3);
    EXPECT_EQ(copy.Description(), "bad xml");
}

TEST(ExcThrowTest, KthrowAnnouncesOnDebugOutputAndCoreTrace) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    ASSERT_TRUE(listener.IsBound());
    DebugCapture capture;
    int line = 0;
    try {
        line = __LINE__ + 1;
        KTHROW(mcXmlExc, "ExcThrowTest::Body", "announced");
    } catch (const mcXmlExc& exc) {
        EXPECT_EQ(exc.Line(), line);
        EXPECT_EQ(exc.Function(), "ExcThrowTest::Body");
        ASSERT_EQ(capture.texts.size(), 2u);
        EXPECT_EQ(capture.texts[0], "\n*** Throwing TAVROLIN Exception ***\n");
        EXPECT_EQ(capture.texts[1], exc.GetDebugText());
        auto registered = listener.ReceiveFrom("CORE");
        ASSERT_TRUE(registered);
        EXPECT_EQ(registered->command, mcDiagTrace::kCmdRegister);
        auto traced = listener.ReceiveFrom("CORE");
        ASSERT_TRUE(traced);
        EXPECT_EQ(traced->command, mcDiagTrace::kCmdLine);
        EXPECT_EQ(traced->text, exc.GetTraceLine());
        return;
    }
    FAIL() << "KTHROW did not throw mcXmlExc";
}

TEST(ExcWin32Test, LastErrorFiveAndZero) {
    mfSetLastError(ERROR_ACCESS_DENIED);
    mcWin32Exc denied("F", "f.cpp", 1, "cannot open");
    EXPECT_EQ(denied.GetWin32Error(), 5u);
    EXPECT_EQ(denied.GetHResult(), static_cast<HRESULT>(0x80070005u));
    EXPECT_EQ(denied.Description(), "cannot open - Win32 Error: Access is denied.");
    EXPECT_TRUE(EndsWith(denied.GetTraceLine(), ",HRESULT:80070005 (Access is denied.)"));

    mfSetLastError(0);
    mcWin32Exc none("F", "f.cpp", 1, "odd");
    EXPECT_EQ(none.GetHResult(), 0);
    EXPECT_EQ(none.Description(), "odd - Win32 Error: The operation completed successfully.");
    EXPECT_EQ(none.GetTraceLine().find("HRESULT"), std::string::npos);

    // A code above 0xFFFF keeps only its low word in the HRESULT.
    mfSetLastError(0x12345);
    EXPECT_EQ(mcWin32Exc("F", "f", 1, "d").GetHResult(), static_cast<HRESULT>(0x80072345u));
}

TEST(ExcWin32Test, LastErrorIsPerThread) {
    mfSetLastError(ERROR_DISK_FULL);
    std::uint32_t other = 99;
    std::thread([&] { other = mfGetLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(mfGetLastError(), ERROR_DISK_FULL);
}

TEST(ExcWin32Test, ErrnoMapping) {
    EXPECT_EQ(mfWin32ErrorFromErrno(0), 0u);
    EXPECT_EQ(mfWin32ErrorFromErrno(ENOENT), 2u);
    EXPECT_EQ(mfWin32ErrorFromErrno(ENOTDIR), 3u);
    EXPECT_EQ(mfWin32ErrorFromErrno(EACCES), 5u);
    EXPECT_EQ(mfWin32ErrorFromErrno(EPERM), 5u);
    EXPECT_EQ(mfWin32ErrorFromErrno(ENOMEM), 8u);
    EXPECT_EQ(mfWin32ErrorFromErrno(EEXIST), 80u);
    EXPECT_EQ(mfWin32ErrorFromErrno(EINVAL), 87u);
    EXPECT_EQ(mfWin32ErrorFromErrno(ENOSPC), 112u);
    EXPECT_EQ(mfWin32ErrorFromErrno(EBUSY), 170u);
    EXPECT_EQ(mfWin32ErrorFromErrno(ETXTBSY), 32u);
    EXPECT_EQ(mfWin32ErrorFromErrno(EPROTO), ERROR_GEN_FAILURE);
    EXPECT_EQ(mfSetLastErrorFromErrno(ENOENT), 2u);
    EXPECT_EQ(mfGetLastError(), 2u);
}

TEST(SystemMessagesTest, KnownCodesAndFallbacks) {
    EXPECT_EQ(mfGetSystemErrorMessage(2), "The system cannot find the file specified.");
    EXPECT_EQ(mfGetSystemErrorMessage(5), "Access is denied.");
    EXPECT_EQ(mfGetSystemErrorMessage(183), "Cannot create a file when that file already exists.");
    EXPECT_EQ(mfGetSystemErrorMessage(0x80070002u), "The system cannot find the file specified.");
    EXPECT_EQ(mfGetSystemErrorMessage(0x80070057u), "The parameter is incorrect.");
    EXPECT_EQ(mfGetSystemErrorMessage(0x80004001u), "Not implemented");
    EXPECT_EQ(mfGetSystemErrorMessage(0x80004003u), "Invalid pointer");
    EXPECT_EQ(mfGetSystemErrorMessage(12002), "The operation timed out");
    EXPECT_EQ(mfGetSystemErrorMessage(0x80072EE7u), "The server name or address could not be resolved");
    EXPECT_EQ(mfGetSystemErrorMessage(0x80070000u | 12029u),
              "A connection with the server could not be established");
    EXPECT_EQ(mfGetSystemErrorMessage(0xDEAD), "Error: 0000dead");
    EXPECT_EQ(mfGetSystemErrorMessage(0xC0FFEE01u), "Error: c0ffee01");
    // No line break survives in either form.
    for (std::uint32_t code : {2u, 5u, 0x80004005u, 12007u}) {
        EXPECT_EQ(mfGetSystemErrorMessage(code).find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(mfHResultText(static_cast<HRESULT>(code)), mfGetSystemErrorMessage(code));
    }
}

TEST(SystemMessagesTest, HResultTextFallbacks) {
    EXPECT_EQ(mfHResultText(E_OUTOFMEMORY),
              "Not enough memory resources are available to complete this operation.");
    EXPECT_EQ(mfHResultText(static_cast<HRESULT>(0x80040201u)), "IDispatch error #1");
    EXPECT_EQ(mfHResultText(static_cast<HRESULT>(0x8004FFFFu)), "IDispatch error #65023");
    // 0x80040200 itself is outside the IDispatch range.
    EXPECT_EQ(mfHResultText(static_cast<HRESULT>(0x80040200u)), "Unknown error 0x80040200");
    EXPECT_EQ(mfHResultText(static_cast<HRESULT>(0x80050000u)), "Unknown error 0x80050000");
    EXPECT_EQ(mfHResultText(static_cast<HRESULT>(0x8BADF00Du)), "Unknown error 0x8BADF00D");
    EXPECT_EQ(mfHResultText(0x1234), "Unknown error 0x1234");
}

TEST(HRToExcTest, SuccessCodesDoNothingFailuresThrow) {
    EXPECT_NO_THROW(HRToExc(0));
    EXPECT_NO_THROW(HRToExc(1));
    EXPECT_NO_THROW(HRToExc(0x7FFFFFFF));
    try {
        HRToExc(E_FAIL);
        FAIL() << "HRToExc(E_FAIL) returned";
    } catch (const mcXmlExc& exc) {
        EXPECT_EQ(exc.Description(), "Error: Unspecified error");
        EXPECT_EQ(exc.Function(), "HRToExc");
        EXPECT_EQ(exc.GetHResult(), 0);
    }
    try {
        HRToExc(static_cast<HRESULT>(0x80040210u));
        FAIL() << "HRToExc returned";
    } catch (const mcXmlExc& exc) {
        EXPECT_EQ(exc.Description(), "Error: IDispatch error #16");
    }
    EXPECT_THROW(HRToExc(E_POINTER), mcExc);
}
