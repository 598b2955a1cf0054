#pragma once
// A local SQL Server stand-in: speaks TDS 7.4 on 127.0.0.1 and keeps each database in SQLite.
// Test and demo infrastructure; the program under test reaches it through the real ODBC driver.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace standin {

// A fault for requests whose statement text contains Match (case-insensitive; empty matches all).
struct Fault {
    enum class Action {
        Error,           // answer with the SQL Server error below instead of running the request
        CloseBefore,     // close the connection before answering
        CloseMidResult,  // run the request, then close the connection halfway through its result
        Delay,           // wait DelayMs, then answer normally
    };
    std::string Match;
    Action What = Action::Error;
    int Nth = 0;     // 0: every matching request; N: only the Nth matching one (1-based)
    int Times = -1;  // how often it may fire; -1: without limit
    int ErrorNumber = 50000;
    int ErrorState = 1;
    int ErrorClass = 16;
    std::string ErrorMessage = "Injected fault.";
    int DelayMs = 0;
};

// One request as received: batch text, the statement of an RPC, or a transaction request.
struct Request {
    int Connection = 0;    // 1-based number of the connection, in order of login
    std::string Database;  // the connection's current database
    std::string Kind;      // "batch", "rpc" or "tm"
    std::string Text;      // UTF-8; for "tm": "BEGIN", "COMMIT" or "ROLLBACK"
};

struct Options {
    uint16_t Port = 0;         // 0 picks a free port
    std::string DataDir;       // one SQLite file per database; empty: all in memory
    std::string StatementLog;  // a file with one line per request; empty: none
    std::vector<std::pair<std::string, std::string>> Users;  // SQL logins: name, password
};

using Row = std::vector<std::optional<std::string>>;  // NULL is nullopt; binary as raw bytes

class Server {
public:
    explicit Server(Options xOptions = {});
    ~Server();  // stops
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void Start();  // binds and listens; throws std::runtime_error
    void Stop();   // closes every connection; open transactions roll back
    uint16_t Port() const;

    void AddUser(const std::string& xName, const std::string& xPassword);
    void CreateDatabase(const std::string& xName);
    // Runs a T-SQL script into a database (created when missing); throws std::runtime_error
    // with the SQL Server style error on failure.
    void Seed(const std::string& xDatabase, const std::string& xScript);
    // Runs T-SQL as a client would and returns the rows of its last result set.
    std::vector<Row> Query(const std::string& xDatabase, const std::string& xSql);

    std::vector<Request> Requests() const;
    void ClearRequests();
    void AddFault(const Fault& xFault);
    void ClearFaults();

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};

}  // namespace standin
