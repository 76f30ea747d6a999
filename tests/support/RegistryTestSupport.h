#pragma once
// A private registry file for one test: a temporary folder whose registry.db is
// made the process-wide database for the test's lifetime. Removed afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "registry/RegistryDatabase.h"

class RegistryTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kettrin-reg-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_strDir = pattern;
        m_strDb = m_strDir + "/registry.db";
        m_pScope = std::make_unique<core::registry::db::ScopedDatabasePath>(m_strDb);
    }
    void TearDown() override {
        core::registry::db::CloseThreadConnections();
        m_pScope.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }

    std::string m_strDir;
    std::string m_strDb;
    std::unique_ptr<core::registry::db::ScopedDatabasePath> m_pScope;
};
