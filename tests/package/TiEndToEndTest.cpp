// TI end to end: the real program installs, fails and uninstalls, and reports
// to the real service, activated on a private bus; the report texts are read
// back from the service and checked with Python's XML reader.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/mcComponentMgrClient.h"
#include "contract/ComponentMgrIfc.h"
#include "package/ZrzTestSupport.h"
#include "support/ServiceTestMachine.h"

namespace {

using namespace std::chrono_literals;

const std::string kTI = std::string(KETTRIN_BINARY_DIR) + "/src/TI";

// The fields of a result text, "key=value" per line, read by Python.
std::string Fields(const std::string& strXml) {
    std::string strOutput;
    EXPECT_EQ(zrztest::Run({"/usr/bin/python3", "-c",
                            "import sys, xml.etree.ElementTree as E\n"
                            "r=E.fromstring(sys.argv[1].encode())\n"
                            "print('root='+r.tag, 'name='+r.get('name'), 'version='+r.get('version'))\n"
                            "for p in ('ManifestName','Install','InstallPath','ErrorCode','Uninstall/Exe','Uninstall/Cmdline'):\n"
                            "  e=r.find(p)\n"
                            "  if e is not None: print(p+'='+(e.get('result') if p=='Install' else (e.text or '')))\n"
                            "u=r.find('Uninstall')\n"
                            "if u is not None and u.get('result'): print('Uninstall='+u.get('result'))\n",
                            strXml},
                           &strOutput),
              0)
        << strOutput;
    return strOutput;
}

class TiEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        root.CreateSubKey(mcCMUtils::kRegistryKey).SetValueString("ComponentsPath", m_machine / "components");
        testsupport::PrivateBus& bus = m_machine.StartBus();
        bus.AddService(cmifc::kBusName, svctest::kKettrin);
        std::filesystem::create_directories(m_strHolding);
        fstest::WriteFile(m_machine / "outside", "keep");
    }

    void TearDown() override { m_machine.StopBus(); }

    std::unique_ptr<mcComponentMgrClient> Client() {
        mcComponentMgrClient::Options options;
        options.strBusAddress = m_machine.Bus().Address();
        options.timeout = 30s;
        return std::make_unique<mcComponentMgrClient>(options);
    }

    // Runs TI with the words given; its exit code.
    int RunTI(const std::vector<std::string>& vecWords, std::string* pOutput = nullptr) {
        std::vector<std::string> vecArgs{kTI};
        vecArgs.insert(vecArgs.end(), vecWords.begin(), vecWords.end());
        return zrztest::Run(vecArgs, pOutput);
    }

    svctest::TestMachine m_machine;
    const std::string m_strHolding = m_machine / "app/HoldingArea/codec";
    const std::string m_strInstall = m_machine / "components/codec";
};

TEST_F(TiEndToEndTest, InstallFailedUpdateAndUninstallAreReported) {
    const std::string strV1 = m_strHolding + "/codec.zrz";
    zrztest::MakeArchive(strV1, "tar.gz",
                         zrztest::Descriptor("component=\\\"codec\\\" version=\\\"1.00.0001\\\" manifest=\\\"main\\\"") +
                             ",{\"name\":\"files/lib.so\",\"type\":\"file\",\"data\":\"v1\"}");
    std::string strOutput;
    ASSERT_EQ(RunTI({strV1, "/client", "qorb"}, &strOutput), 0) << strOutput;
    EXPECT_EQ(fstest::ReadFile(m_strInstall + "/lib.so"), "v1");
    auto client = Client();
    std::string strData;
    ASSERT_EQ(client->GetComponentInstallData("qorb", strData), S_OK);
    EXPECT_EQ(Fields(strData),
              "root=InstallData name=codec version=1.00.0001\n"
              "ManifestName=main\nInstall=success\nInstallPath=" + m_strInstall +
                  "\nErrorCode=0\nUninstall/Exe=codec.zrz\nUninstall/Cmdline=/uninstall\n");
    EXPECT_NE(fstest::ReadFile(m_machine.AppFolder() + "/ComponentMgrConfig.xml").find(m_strInstall),
              std::string::npos);

    // A hostile update fails, says why, and leaves version 1 in place.
    const std::string strV2 = m_strHolding + "/codec2.zrz";
    zrztest::MakeArchive(strV2, "tar.xz",
                         zrztest::Descriptor("component=\\\"codec\\\" version=\\\"1.00.0002\\\"") +
                             ",{\"name\":\"files/lib.so\",\"type\":\"file\",\"data\":\"v2\"}"
                             ",{\"name\":\"files/../../../outside\",\"type\":\"file\",\"data\":\"evil\"}");
    strOutput.clear();
    EXPECT_EQ(RunTI({strV2, "-quiet", "/client", "qorb"}, &strOutput), 1) << strOutput;
    EXPECT_EQ(fstest::ReadFile(m_strInstall + "/lib.so"), "v1");
    EXPECT_EQ(fstest::ReadFile(m_machine / "outside"), "keep");
    // The installation and its receipt; no new folder left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_machine / "components"), {}), 2);
    ASSERT_EQ(client->GetComponentInstallData("qorb", strData), S_OK);
    const std::string strFields = Fields(strData);
    EXPECT_NE(strFields.find("Install=fail\n"), std::string::npos) << strFields;
    EXPECT_NE(strFields.find("ErrorCode=files/../../../outside: path with '..': refused\n"), std::string::npos)
        << strFields;

    // A package fetched for "codec" that describes another component.
    const std::string strOther = m_strHolding + "/other.zrz";
    zrztest::MakeArchive(strOther, "zip",
                         zrztest::Descriptor("component=\\\"other\\\" version=\\\"1\\\"") +
                             ",{\"name\":\"files/x\",\"type\":\"file\",\"data\":\"x\"}");
    EXPECT_EQ(RunTI({strOther, "/client", "qorb"}), 1);
    EXPECT_FALSE(std::filesystem::exists(m_machine / "components/other"));
    ASSERT_EQ(client->GetComponentInstallData("qorb", strData), S_OK);
    EXPECT_NE(Fields(strData).find("ErrorCode=the package is for the component \"other\", not \"codec\""),
              std::string::npos)
        << strData;

    strOutput.clear();
    ASSERT_EQ(RunTI({strV1, "/uninstall", "/client", "qorb"}, &strOutput), 0) << strOutput;
    EXPECT_FALSE(std::filesystem::exists(m_strInstall));
    ASSERT_EQ(client->GetComponentUninstallData("qorb", strData), S_OK);
    EXPECT_EQ(Fields(strData), "root=UninstallData name=codec version=1.00.0001\nErrorCode=0\nUninstall=success\n");
}

// Without a package or a reachable service TI says so by its exit code.
TEST_F(TiEndToEndTest, UsageAndUndeliveredReport) {
    EXPECT_EQ(RunTI({}), 2);
    testsupport::ScopedEnv noBus("KETTRIN_BUS_ADDRESS", ("unix:path=" + (m_machine / "nobus")).c_str());
    std::string strOutput;
    EXPECT_EQ(RunTI({m_strHolding + "/missing.zrz", "/client", "qorb"}, &strOutput), 3);
    EXPECT_NE(strOutput.find("cannot open the package"), std::string::npos) << strOutput;
}

}  // namespace
