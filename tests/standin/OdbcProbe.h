#pragma once
// A minimal ODBC client for the stand-in's tests: connects through the FreeTDS driver, runs
// statements and reads whole results as text or bytes.
#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <string>
#include <vector>

namespace probe {

struct Failure {
    std::string State;
    long Native = 0;
    std::string Message;
};

using Cell = std::optional<std::string>;
using Rows = std::vector<std::vector<Cell>>;

struct Outcome {
    bool Ok = false;
    std::vector<Failure> Errors;  // every diagnostic record
    std::vector<std::string> Columns;
    Rows Data;  // the first result set
    SQLLEN RowCount = -1;
    bool Has(long xNative) const {
        for (const auto& e : Errors)
            if (e.Native == xNative) return true;
        return false;
    }
    std::string Text() const {
        std::string out;
        for (const auto& e : Errors) out += e.State + " " + std::to_string(e.Native) + " " + e.Message + "\n";
        return out;
    }
};

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Outcome Connect(const std::string& xConnectionString);
    bool Connected() const { return FConnected; }
    Outcome Exec(const std::string& xSql);
    // Runs xSql with one parameter bound as SQL_LONGVARBINARY and sent by data-at-execution.
    Outcome ExecWithBlob(const std::string& xSql, const std::string& xBytes, size_t xPiece = 1 << 20);
    // Prepares xSql once and runs it with each set of text parameters (NULL for nullopt).
    std::vector<Outcome> ExecPrepared(const std::string& xSql, const std::vector<std::vector<Cell>>& xRuns);
    Outcome AutoCommit(bool xOn);
    Outcome EndTran(bool xCommit);
    void QueryTimeout(int xSeconds) { FTimeout = xSeconds; }
    SQLHDBC Dbc() const { return FDbc; }

private:
    Outcome Fetch(SQLHSTMT xStmt, SQLRETURN xRc);
    SQLHENV FEnv = SQL_NULL_HENV;
    SQLHDBC FDbc = SQL_NULL_HDBC;
    bool FConnected = false;
    int FTimeout = 0;
};

}  // namespace probe
