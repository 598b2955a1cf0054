#pragma once
// A stand-in SQL Server shared by the whole test program; each test gets databases of its own,
// so no test sees another's rows. The data module reaches it through the real ODBC driver.
#include "DataCMN.h"
#include "SysGen.h"
#include "StandInEnv.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <string>
#include <vector>

namespace datatest {

inline constexpr const char* cUser = veltest::StandInEnv::kUser;
inline constexpr const char* cPassword = veltest::StandInEnv::kPassword;

veltest::StandInEnv& Env();
inline standin::Server& Server() { return Env().Server(); }

// "127.0.0.1,<port>" — the server names its port, as a site's setting may.
QString HostSetting();
// A port on which nothing listens.
QString ClosedHostSetting();

QByteArray Pattern(qsizetype xSize, unsigned xSeed);

class TDataTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Rows of a statement run directly on the stand-in, as text (NULL as "<null>").
    std::vector<std::vector<std::string>> Rows(const std::string& xDatabase, const std::string& xSql);
    std::vector<standin::Request> RequestsMatching(const std::string& xPart) const;

    std::string CmnDB;    // fresh per test, with the project's schema
    std::string CloudDB;  // fresh per test, with the project's schema
    QTemporaryDir ExeDir;
    TcData Data;
};

}  // namespace datatest
