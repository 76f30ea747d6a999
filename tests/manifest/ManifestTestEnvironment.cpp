// Points everything process-wide that the manifest code may touch (trace socket,
// registry, log) at a scratch machine kept for the whole run, so tests never
// reach /run or /var.
#include <memory>

#include "ManifestTestUtil.h"
#include "base/mcCMLog.h"
#include "support/ScratchMachine.h"

namespace {

class ManifestTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        m_pMachine = std::make_unique<testsupport::ScratchMachine>();
        mcCMLog::Instance().Open(m_pMachine->Path());
        manifest_test::g_strLogPath = *m_pMachine / mcCMLog::kLogFileName;
    }
    void TearDown() override {
        mcCMLog::Instance().Close();
        m_pMachine.reset();
    }

private:
    std::unique_ptr<testsupport::ScratchMachine> m_pMachine;
};

[[maybe_unused]] ::testing::Environment* const g_pEnvironment =
    ::testing::AddGlobalTestEnvironment(new ManifestTestEnvironment);

}  // namespace
