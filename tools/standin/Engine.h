#pragma once
// Runs parsed T-SQL against SQLite with SQL Server's semantics where the program depends on
// them: case-insensitive text, length limits, identity columns, error numbers and texts.
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Sql.h"

namespace standin::engine {

using sql::SqlError;
using sql::TypeId;
using sql::SqlType;

struct ColumnMeta {
    std::string Name;
    SqlType Type;
    bool Nullable = true;
    bool Identity = false;
};

// A parameter or bound value. Big binary parameters stay where the request buffer holds them.
struct Value {
    enum class K { Null, Int, Float, Text, Blob };
    K Kind = K::Null;
    int64_t I = 0;
    double F = 0;
    std::string S;                  // UTF-8 text, or owned bytes
    const uint8_t* Data = nullptr;  // borrowed bytes, when set
    size_t Size = 0;
    std::optional<SqlType> Declared;  // as the client declared it

    const uint8_t* Bytes() const { return Data ? Data : reinterpret_cast<const uint8_t*>(S.data()); }
    size_t ByteCount() const { return Data ? Size : S.size(); }
};
using Params = std::vector<std::pair<std::string, Value>>;  // names without '@'

enum class TranEvent { Begin, Commit, Rollback };

// Receives what a batch produces, in order.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void Columns(const std::vector<ColumnMeta>& xColumns) = 0;
    virtual void Row(sqlite3_stmt* xStmt, const std::vector<ColumnMeta>& xColumns) = 0;
    virtual void Done(uint16_t xCurCmd, bool xCounted, int64_t xRows, bool xError) = 0;
    virtual void Error(const SqlError& xError) = 0;
    virtual void Info(int xNumber, const std::string& xMessage) { (void)xNumber, (void)xMessage; }
    virtual void Transaction(TranEvent xEvent, const uint8_t* xOld, const uint8_t* xNew) {
        (void)xEvent, (void)xOld, (void)xNew;
    }
    virtual void DatabaseChanged(const std::string& xOld, const std::string& xNew) { (void)xOld, (void)xNew; }
    virtual bool Cancelled() { return false; }
};

// Thrown out of a batch when the client's attention arrived.
struct Cancelled {};

// Where the databases live; shared by every session of a server.
class Catalog {
public:
    explicit Catalog(std::string xDirectory);
    std::optional<std::string> Path(const std::string& xName) const;  // by name, case-insensitive
    std::optional<std::string> CanonicalName(const std::string& xName) const;
    void Create(const std::string& xName);  // no-op when it exists
    std::vector<std::string> Names() const;

    std::atomic<bool> Stopping{false};  // set while the server stops: no more waiting for locks

private:
    mutable std::mutex FMutex;
    std::string FDirectory;
    std::map<std::string, std::pair<std::string, std::string>> FDatabases;  // lower name: name, path
};

struct TableInfo;

class Session {
public:
    Session(Catalog& xCatalog, int xSpid, std::string xLogin);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool Use(const std::string& xDatabase);  // false when there is no such database
    const std::string& Database() const { return FDatabase; }
    int Spid() const { return FSpid; }

    // Runs a batch; errors go to the sink as SQL Server would report them.
    void Execute(const std::string& xSql, const Params& xParams, Sink& xSink);

    // Gives the result columns of a single SELECT without running it (for sp_prepare).
    void Describe(const std::string& xSql, const Params& xParams, Sink& xSink);

    // Transaction manager requests of the wire protocol.
    void TmBegin(Sink& xSink);
    void TmCommit(Sink& xSink, bool xBeginNew);
    void TmRollback(Sink& xSink, bool xBeginNew);
    int TranCount() const { return FTranCount; }

private:
    friend struct Translator;
    struct Handle;
    sqlite3* Db();
    void RunStatement(const sql::Statement& xStmt, const Params& xParams, Sink& xSink);
    void RunSelect(const sql::Statement& xStmt, const Params& xParams, Sink& xSink);
    void RunDml(const sql::Statement& xStmt, const Params& xParams, Sink& xSink);
    void RunCreateTable(const sql::Statement& xStmt, Sink& xSink);
    void RunSet(const sql::Statement& xStmt, Sink& xSink);
    bool Condition(const sql::Expr& xExpr, const Params& xParams);
    void BeginTran(Sink& xSink);
    void CommitTran(Sink& xSink, bool xAll);
    void RollbackTran(Sink& xSink);
    void EnsureWriteTransaction();
    void Exec(const std::string& xSql);
    std::optional<TableInfo> LoadTable(const std::string& xName);
    static int Busy(void* xSession, int xCount);
    SqlError Translate(int xCode, const std::string& xMessage, const std::string& xTable, bool xInsert);

    Catalog& FCatalog;
    int FSpid;
    std::string FLogin;
    std::string FDatabase;
    std::map<std::string, sqlite3*> FHandles;  // lower database name
    std::map<std::string, bool> FInWrite;     // a write transaction is open on that handle
    int FTranCount = 0;
    uint8_t FDescriptor[8] = {};
    uint64_t FNextDescriptor = 1;
    bool FNoCount = false;
    bool FXactAbort = false;
    int FLockTimeoutMs = 60000;
    int FBusySince = 0;  // ms waited for the lock at hand
    std::string FIdentityInsert;  // table with IDENTITY_INSERT ON (lower name)
    std::optional<int64_t> FLastIdentity;
    int64_t FRowCount = 0;
    int FLastError = 0;
};

std::string Version();

}  // namespace standin::engine
