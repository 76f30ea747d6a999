// Points everything process-wide that the manifest code may touch (trace socket,
// registry, log) at a private temporary folder, so tests never reach /run or /var.
#include <cstdlib>

#include "ManifestTestUtil.h"
#include "base/mcCMLog.h"

namespace {

class ManifestTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        m_pDir = new manifest_test::TempDir;
        ::setenv("KETTRIN_DIAG_SOCKET", (*m_pDir / "zrdiag.sock").c_str(), 1);
        ::setenv("KETTRIN_REGISTRY", (*m_pDir / "registry.db").c_str(), 1);
        mcCMLog::Instance().Open(m_pDir->Path());
        manifest_test::g_strLogPath = *m_pDir / mcCMLog::kLogFileName;
    }
    void TearDown() override {
        mcCMLog::Instance().Close();
        delete m_pDir;
        m_pDir = nullptr;
    }

private:
    manifest_test::TempDir* m_pDir = nullptr;
};

[[maybe_unused]] ::testing::Environment* const g_pEnvironment =
    ::testing::AddGlobalTestEnvironment(new ManifestTestEnvironment);

}  // namespace
