#include "OdbcProbe.h"

#include <cstring>

namespace probe {
namespace {

void Diagnostics(SQLSMALLINT xType, SQLHANDLE xHandle, std::vector<Failure>& xOut) {
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR text[2048] = {};
        SQLSMALLINT len = 0;
        if (!SQL_SUCCEEDED(SQLGetDiagRec(xType, xHandle, i, state, &native, text, sizeof text, &len))) break;
        xOut.push_back({reinterpret_cast<char*>(state), native, reinterpret_cast<char*>(text)});
    }
}

// "[FreeTDS][SQL Server]Invalid object name 'x'." -> the server's own words.
std::string ServerText(const std::string& xMessage) {
    auto p = xMessage.rfind(']');
    return p == std::string::npos ? xMessage : xMessage.substr(p + 1);
}

}  // namespace

Connection::Connection() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &FEnv);
    SQLSetEnvAttr(FEnv, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, FEnv, &FDbc);
    SQLSetConnectAttr(FDbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
}

Connection::~Connection() {
    if (FConnected) SQLDisconnect(FDbc);
    SQLFreeHandle(SQL_HANDLE_DBC, FDbc);
    SQLFreeHandle(SQL_HANDLE_ENV, FEnv);
}

Outcome Connection::Connect(const std::string& xConnectionString) {
    Outcome o;
    SQLCHAR out[1024];
    SQLSMALLINT outLen = 0;
    SQLRETURN rc = SQLDriverConnect(FDbc, nullptr, (SQLCHAR*)xConnectionString.c_str(), SQL_NTS, out, sizeof out,
                                    &outLen, SQL_DRIVER_NOPROMPT);
    o.Ok = SQL_SUCCEEDED(rc);
    if (rc != SQL_SUCCESS) Diagnostics(SQL_HANDLE_DBC, FDbc, o.Errors);
    for (auto& e : o.Errors) e.Message = ServerText(e.Message);
    FConnected = o.Ok;
    return o;
}

// Reads one result: its columns and rows, when it has any.
bool ReadResult(SQLHSTMT xStmt, Outcome& xO) {
    SQLSMALLINT columns = 0;
    SQLNumResultCols(xStmt, &columns);
    if (columns == 0) return false;
    std::vector<bool> binary;
    for (SQLSMALLINT c = 1; c <= columns; ++c) {
        SQLCHAR name[256] = {};
        SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        SQLDescribeCol(xStmt, c, name, sizeof name, &nameLen, &type, &size, &digits, &nullable);
        xO.Columns.push_back(reinterpret_cast<char*>(name));
        binary.push_back(type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY);
    }
    std::vector<char> buf(1 << 20);
    for (;;) {
        SQLRETURN f = SQLFetch(xStmt);
        if (f == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(f)) {
            xO.Ok = false;
            Diagnostics(SQL_HANDLE_STMT, xStmt, xO.Errors);
            break;
        }
        std::vector<Cell> row;
        for (SQLSMALLINT c = 1; c <= columns && xO.Ok; ++c) {
            std::string value;
            bool isNull = false;
            for (;;) {
                SQLLEN ind = 0;
                SQLRETURN g = SQLGetData(xStmt, c, binary[c - 1] ? SQL_C_BINARY : SQL_C_CHAR, buf.data(),
                                         static_cast<SQLLEN>(buf.size()), &ind);
                if (g == SQL_NO_DATA) break;
                if (!SQL_SUCCEEDED(g)) {
                    xO.Ok = false;
                    Diagnostics(SQL_HANDLE_STMT, xStmt, xO.Errors);
                    break;
                }
                if (ind == SQL_NULL_DATA) {
                    isNull = true;
                    break;
                }
                size_t room = binary[c - 1] ? buf.size() : buf.size() - 1;
                size_t got = (ind == SQL_NO_TOTAL || static_cast<size_t>(ind) > room) ? room : static_cast<size_t>(ind);
                value.append(buf.data(), got);
                if (g == SQL_SUCCESS) break;
            }
            row.push_back(isNull ? Cell() : Cell(value));
        }
        if (!xO.Ok) break;
        xO.Data.push_back(std::move(row));
    }
    return true;
}

Outcome Connection::Fetch(SQLHSTMT xStmt, SQLRETURN xRc) {
    // Every result of the batch is read, as a client must; rows come from the first that has
    // columns, errors from all of them.
    Outcome o;
    o.Ok = SQL_SUCCEEDED(xRc) || xRc == SQL_NO_DATA;
    if (xRc != SQL_SUCCESS) Diagnostics(SQL_HANDLE_STMT, xStmt, o.Errors);
    bool first = true, haveRows = false;
    SQLRETURN rc = xRc;
    while (SQL_SUCCEEDED(rc) && o.Ok) {
        if (first) SQLRowCount(xStmt, &o.RowCount);
        if (!haveRows) {
            haveRows = ReadResult(xStmt, o);
        } else {
            SQLCloseCursor(xStmt);
        }
        first = false;
        rc = SQLMoreResults(xStmt);
        if (rc == SQL_ERROR) {
            o.Ok = false;
            Diagnostics(SQL_HANDLE_STMT, xStmt, o.Errors);
        } else if (rc == SQL_SUCCESS_WITH_INFO) {
            Diagnostics(SQL_HANDLE_STMT, xStmt, o.Errors);
        }
    }
    for (auto& e : o.Errors) e.Message = ServerText(e.Message);
    return o;
}

Outcome Connection::Exec(const std::string& xSql) {
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, FDbc, &st);
    if (FTimeout) SQLSetStmtAttr(st, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(FTimeout)), 0);
    Outcome o = Fetch(st, SQLExecDirect(st, (SQLCHAR*)xSql.c_str(), SQL_NTS));
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    return o;
}

Outcome Connection::ExecWithBlob(const std::string& xSql, const std::string& xBytes, size_t xPiece) {
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, FDbc, &st);
    SQLLEN ind = SQL_LEN_DATA_AT_EXEC(static_cast<SQLLEN>(xBytes.size()));
    SQLPOINTER token = reinterpret_cast<SQLPOINTER>(1);
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, xBytes.size(), 0, token, 0, &ind);
    SQLRETURN rc = SQLExecDirect(st, (SQLCHAR*)xSql.c_str(), SQL_NTS);
    if (rc == SQL_NEED_DATA) {
        SQLPOINTER which = nullptr;
        rc = SQLParamData(st, &which);
        if (rc == SQL_NEED_DATA) {
            size_t at = 0;
            do {
                size_t n = std::min(xPiece, xBytes.size() - at);
                SQLPutData(st, const_cast<char*>(xBytes.data() + at), static_cast<SQLLEN>(n));
                at += n;
            } while (at < xBytes.size());
            rc = SQLParamData(st, &which);
        }
    }
    Outcome o = Fetch(st, rc);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    return o;
}

std::vector<Outcome> Connection::ExecPrepared(const std::string& xSql, const std::vector<std::vector<Cell>>& xRuns) {
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, FDbc, &st);
    SQLPrepare(st, (SQLCHAR*)xSql.c_str(), SQL_NTS);
    std::vector<Outcome> out;
    for (const auto& params : xRuns) {
        std::vector<SQLLEN> inds(params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            inds[i] = params[i] ? static_cast<SQLLEN>(params[i]->size()) : SQL_NULL_DATA;
            SQLBindParameter(st, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 255, 0,
                             params[i] ? const_cast<char*>(params[i]->data()) : nullptr, 0, &inds[i]);
        }
        out.push_back(Fetch(st, SQLExecute(st)));
        SQLFreeStmt(st, SQL_CLOSE);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    return out;
}

Outcome Connection::AutoCommit(bool xOn) {
    Outcome o;
    SQLRETURN rc = SQLSetConnectAttr(
        FDbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(xOn ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
    o.Ok = SQL_SUCCEEDED(rc);
    if (rc != SQL_SUCCESS) Diagnostics(SQL_HANDLE_DBC, FDbc, o.Errors);
    return o;
}

Outcome Connection::EndTran(bool xCommit) {
    Outcome o;
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, FDbc, xCommit ? SQL_COMMIT : SQL_ROLLBACK);
    o.Ok = SQL_SUCCEEDED(rc);
    if (rc != SQL_SUCCESS) Diagnostics(SQL_HANDLE_DBC, FDbc, o.Errors);
    return o;
}

}  // namespace probe
