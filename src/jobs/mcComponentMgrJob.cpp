#include "jobs/mcComponentMgrJob.h"

#include <utility>

mcComponentMgrJob::mcComponentMgrJob(mcComponentConfig* pComponentConfig, mcClientCallback callback,
                                     std::string strManifestName, std::string strClientName,
                                     std::string strComponentName)
    : m_pComponentConfig(pComponentConfig),
      m_callback(std::move(callback)),
      m_strManifestName(std::move(strManifestName)),
      m_strClientName(std::move(strClientName)),
      m_strComponentName(std::move(strComponentName)) {}

mcComponentMgrJob::~mcComponentMgrJob() = default;

bool mcComponentMgrJob::Run() { return false; }
