#pragma once
// A scratch machine for one registry test whose registry.db is also the
// process-wide override, so tests that change KETTRIN_REGISTRY still start
// from the test's file. The thread's cached connections close at TearDown.
#include <gtest/gtest.h>

#include <string>

#include "registry/RegistryDatabase.h"
#include "support/ScratchMachine.h"

class RegistryTestBase : public ::testing::Test {
protected:
    void TearDown() override { core::registry::db::CloseThreadConnections(); }

    testsupport::ScratchMachine m_machine;
    std::string m_strDir = m_machine.Path();
    std::string m_strDb = m_machine.RegistryPath();
    core::registry::db::ScopedDatabasePath m_scope{m_strDb};
};
