#pragma once
// A running stand-in server for tests: one SQL login and the common and cloud databases,
// both holding the project's schema.
#include <cstdint>
#include <string>
#include <vector>

#include "StandIn.h"

namespace veltest {

class StandInEnv {
public:
    static constexpr const char* kUser = "velupd";
    static constexpr const char* kPassword = "Secret;1";  // the ';' needs braces in a connection string
    static constexpr const char* kCommon = "VelCommon";
    static constexpr const char* kCloud = "VelmoraControl";

    StandInEnv();  // started on a free port, schema seeded into both databases

    standin::Server& Server() { return FServer; }
    uint16_t Port() const { return FServer.Port(); }
    // DSN-less ODBC connection string through the FreeTDS driver.
    std::string ConnectionString(const std::string& xDatabase) const;

    void Seed(const std::string& xDatabase, const std::string& xSql) { FServer.Seed(xDatabase, xSql); }
    std::vector<standin::Row> Rows(const std::string& xDatabase, const std::string& xSql) {
        return FServer.Query(xDatabase, xSql);
    }

    static std::string SchemaSql();  // the text of sql/schema.sql

private:
    standin::Server FServer;
};

}  // namespace veltest
