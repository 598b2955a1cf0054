// The stand-in as the FreeTDS ODBC driver sees it: logins, types, large values, transactions.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "OdbcProbe.h"
#include "StandInEnv.h"

namespace {

using veltest::StandInEnv;

class Wire : public ::testing::Test {
protected:
    StandInEnv Env;
    std::unique_ptr<probe::Connection> Open(const std::string& xDatabase = StandInEnv::kCommon) {
        auto c = std::make_unique<probe::Connection>();
        probe::Outcome o = c->Connect(Env.ConnectionString(xDatabase));
        EXPECT_TRUE(o.Ok) << o.Text();
        return c;
    }
    int64_t Count(const std::string& xWhere) {
        auto rows = Env.Rows(StandInEnv::kCommon, "SELECT COUNT(*) FROM vcSysProgRelease WHERE " + xWhere);
        return std::stoll(*rows.at(0).at(0));
    }
};

std::string Replace(std::string xText, const std::string& xFrom, const std::string& xTo) {
    if (xFrom.empty()) return xText;
    for (size_t p = xText.find(xFrom); p != std::string::npos; p = xText.find(xFrom, p + xTo.size()))
        xText.replace(p, xFrom.size(), xTo);
    return xText;
}

TEST_F(Wire, LoginsAreCheckedAsSqlServerDoes) {
    struct Case {
        const char* Name;
        std::string From, To;  // change to the good connection string
        long Native;           // 0: the login succeeds
        std::string Message;
    } cases[] = {
        {"good", "", "", 0, ""},
        {"wrong password", "PWD={Secret;1}", "PWD={Secret;2}", 18456, "Login failed for user 'velupd'."},
        {"unknown user", "UID=velupd", "UID=nobody", 18456, "Login failed for user 'nobody'."},
        {"windows login", "UID=velupd", "UID=DOMAIN\\velupd", 18452,
         "Login failed. The login is from an untrusted domain and cannot be used with Integrated authentication."},
        {"unknown database", "Database=VelCommon", "Database=NoSuchDb", 4060,
         "Cannot open database \"NoSuchDb\" requested by the login. The login failed."},
    };
    for (const Case& c : cases) {
        probe::Connection conn;
        probe::Outcome o = conn.Connect(Replace(Env.ConnectionString(StandInEnv::kCommon), c.From, c.To));
        if (c.Native == 0) {
            EXPECT_TRUE(o.Ok) << c.Name << ": " << o.Text();
            continue;
        }
        EXPECT_FALSE(o.Ok) << c.Name;
        bool found = false;
        for (const auto& e : o.Errors) found = found || (e.Native == c.Native && e.Message == c.Message);
        EXPECT_TRUE(found) << c.Name << ": " << o.Text();
    }
}

TEST_F(Wire, EveryColumnTypeAndNullArrives) {
    auto c = Open();
    ASSERT_TRUE(c->Exec("CREATE TABLE Kinds (Id INT IDENTITY(1,1) NOT NULL PRIMARY KEY, N INT NULL, V VARCHAR(20) NULL, "
                        "W NVARCHAR(20) NULL, B VARBINARY(MAX) NULL, S SMALLINT NULL, G BIGINT NULL, F BIT NULL, "
                        "D DECIMAL(10,2) NULL)")
                    .Ok);
    probe::Outcome ins = c->Exec(
        "INSERT INTO Kinds (N, V, W, B, S, G, F, D) VALUES (-7, 'caf\xc3\xa9', N'\xce\xa9mega', 0x00FF10, 300, "
        "9000000000, 1, -12.5), (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
    ASSERT_TRUE(ins.Ok) << ins.Text();
    EXPECT_EQ(ins.RowCount, 2);
    probe::Outcome o = c->Exec("SELECT Id, N, V, W, B, S, G, F, D FROM Kinds ORDER BY Id");
    ASSERT_TRUE(o.Ok) << o.Text();
    ASSERT_EQ(o.Data.size(), 2u);
    std::vector<probe::Cell> want = {"1", "-7", "caf\xc3\xa9", "\xce\xa9mega", std::string("\x00\xff\x10", 3), "300",
                                     "9000000000", "1", "-12.50"};
    EXPECT_EQ(o.Data[0], want);
    for (size_t i = 1; i < o.Data[1].size(); ++i) EXPECT_FALSE(o.Data[1][i].has_value()) << "column " << i;
    EXPECT_EQ(o.Columns, (std::vector<std::string>{"Id", "N", "V", "W", "B", "S", "G", "F", "D"}));
}

TEST_F(Wire, ArchiveGoesInByDataAtExecutionAndComesBackByteForByte) {
    auto c = Open();
    std::mt19937 random(42);
    for (size_t size : {size_t(0), size_t(1), size_t(100), size_t(64) << 20}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        Env.Seed(StandInEnv::kCommon,
                 "DELETE FROM vcSysProgRelease; INSERT INTO vcSysProgRelease (Suite, ProgName, Version) VALUES "
                 "('VELMORA', 'velDBCommon', '1.2')");
        auto start = std::chrono::steady_clock::now();
        probe::Outcome up = c->ExecWithBlob(
            "UPDATE vcSysProgRelease SET  [RARFile] = ? WHERE [Suite] = 'VELMORA' AND [ProgName] = 'velDBCommon' "
            "AND [Version] = '1.2'",
            bytes);
        ASSERT_TRUE(up.Ok) << up.Text();
        EXPECT_EQ(up.RowCount, 1);
        probe::Outcome down =
            c->Exec("SELECT * FROM vcSysProgRelease WITH (NOLOCK) \r\n WHERE [Suite] = 'VELMORA'\r\n AND [ProgName] = "
                    "'velDBCommon'");
        ASSERT_TRUE(down.Ok) << down.Text();
        ASSERT_EQ(down.Data.size(), 1u);
        ASSERT_TRUE(down.Data[0].back().has_value());
        EXPECT_TRUE(*down.Data[0].back() == bytes) << "archive differs, " << down.Data[0].back()->size() << " bytes back";
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    }
}

TEST_F(Wire, CommitIsSeenRollbackIsNotAndADroppedClientLeavesNothing) {
    auto writer = Open();
    auto reader = Open();
    ASSERT_TRUE(writer->AutoCommit(false).Ok);
    ASSERT_TRUE(writer->Exec("INSERT INTO vcSysProgRelease (ProgName) VALUES ('kept')").Ok);
    ASSERT_TRUE(writer->EndTran(true).Ok);
    ASSERT_TRUE(writer->Exec("INSERT INTO vcSysProgRelease (ProgName) VALUES ('undone')").Ok);
    ASSERT_TRUE(writer->EndTran(false).Ok);
    ASSERT_TRUE(writer->AutoCommit(true).Ok);
    probe::Outcome seen = reader->Exec("SELECT ProgName FROM vcSysProgRelease ORDER BY ProgName");
    ASSERT_TRUE(seen.Ok) << seen.Text();
    EXPECT_EQ(seen.Data, (probe::Rows{{"kept"}}));

    // The SQL forms, and @@TRANCOUNT following them.
    probe::Outcome sql = reader->Exec(
        "BEGIN TRANSACTION; INSERT INTO vcSysProgRelease (ProgName) VALUES ('sql'); SELECT @@TRANCOUNT");
    ASSERT_TRUE(sql.Ok) << sql.Text();
    EXPECT_EQ(reader->Exec("SELECT @@TRANCOUNT").Data, (probe::Rows{{"1"}}));
    ASSERT_TRUE(reader->Exec("IF @@TRANCOUNT > 0 ROLLBACK").Ok);
    EXPECT_EQ(reader->Exec("SELECT @@TRANCOUNT").Data, (probe::Rows{{"0"}}));
    EXPECT_EQ(Count("ProgName = 'sql'"), 0);

    // A client process that dies inside its transaction: the server rolls it back.
    pid_t child = fork();
    if (child == 0) {
        probe::Connection c;
        bool ok = c.Connect(Env.ConnectionString(StandInEnv::kCommon)).Ok && c.AutoCommit(false).Ok &&
                  c.Exec("INSERT INTO vcSysProgRelease (ProgName) VALUES ('orphan')").Ok;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // Once the server has noticed, a writer gets through and the orphan row is gone.
    probe::Outcome after = reader->Exec("INSERT INTO vcSysProgRelease (ProgName) VALUES ('after')");
    EXPECT_TRUE(after.Ok) << after.Text();
    EXPECT_EQ(Count("ProgName = 'orphan'"), 0);
}

TEST_F(Wire, ConcurrentWriterWaitsForTheOpenTransaction) {
    auto holder = Open();
    auto other = Open();
    ASSERT_TRUE(holder->AutoCommit(false).Ok);
    ASSERT_TRUE(holder->Exec("INSERT INTO vcSysProgRelease (ProgName) VALUES ('first')").Ok);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder->EndTran(true);
    });
    probe::Outcome o = other->Exec("INSERT INTO vcSysProgRelease (ProgName) VALUES ('second')");
    release.join();
    EXPECT_TRUE(o.Ok) << o.Text();
    EXPECT_EQ(Count("ProgName IN ('first', 'second')"), 2);

    // With a lock timeout of its own the waiter gives up as SQL Server does.
    ASSERT_TRUE(holder->Exec("INSERT INTO vcSysProgRelease (ProgName) VALUES ('held')").Ok);
    probe::Outcome timedOut =
        other->Exec("SET LOCK_TIMEOUT 100; INSERT INTO vcSysProgRelease (ProgName) VALUES ('impatient')");
    EXPECT_TRUE(timedOut.Has(1222)) << timedOut.Text();
    ASSERT_TRUE(holder->EndTran(false).Ok);
    EXPECT_EQ(Count("ProgName IN ('held', 'impatient')"), 0);
}

}  // namespace
