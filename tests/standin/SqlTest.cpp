// The T-SQL the program and its fixtures send, with SQL Server's answers to it.
#include <gtest/gtest.h>

#include "OdbcProbe.h"
#include "StandInEnv.h"

namespace {

using veltest::StandInEnv;

class Sql : public ::testing::Test {
protected:
    StandInEnv Env;
    probe::Connection Common;
    void SetUp() override {
        probe::Outcome o = Common.Connect(Env.ConnectionString(StandInEnv::kCommon));
        ASSERT_TRUE(o.Ok) << o.Text();
    }
    std::vector<standin::Row> Rows(const std::string& xSql) { return Env.Rows(StandInEnv::kCommon, xSql); }
};

TEST_F(Sql, ErrorsCarrySqlServerNumbersAndTexts) {
    Env.Seed(StandInEnv::kCommon, "INSERT INTO vcControl (Suite, Code) VALUES ('VELMORA', 'CLOUDSVR')");
    struct Case {
        const char* Sql;
        long Native;
        const char* Message;
    } cases[] = {
        {"SELECT * FROM vcNothing WITH (NOLOCK)", 208, "Invalid object name 'vcNothing'."},
        {"SELECT [Nope] FROM vcControl", 207, "Invalid column name 'Nope'."},
        {"UPDATE vcControl SET Nope = 1", 207, "Invalid column name 'Nope'."},
        {"SELECT * FROM vcControl WHERE", 102, "Incorrect syntax near 'WHERE'."},
        {"SELECT * FROM vcControl c JOIN vcSysProgRelease r ON 1 = 1", 102, "Incorrect syntax near 'JOIN'."},
        {"SELECT GETDATE()", 102, "Incorrect syntax near 'GETDATE'."},
        {"SELECT * FROM vcControl WHERE Code LIKE '[AB]%'", 102, "Incorrect syntax near 'LIKE'."},
        {"SET IMPLICIT_TRANSACTIONS ON", 102, "Incorrect syntax near 'IMPLICIT_TRANSACTIONS'."},
        {"SELECT 'open", 105, "Unclosed quotation mark after the character string 'open'."},
        {"INSERT INTO vcControl (Suite) VALUES ('VELMORA')", 515,
         "Cannot insert the value NULL into column 'Code', table 'VelCommon.dbo.vcControl'; column does not allow "
         "nulls. INSERT fails."},
        {"UPDATE vcControl SET Suite = NULL", 515,
         "Cannot insert the value NULL into column 'Suite', table 'VelCommon.dbo.vcControl'; column does not allow "
         "nulls. UPDATE fails."},
        {"SET IDENTITY_INSERT vcControl ON; INSERT INTO vcControl (RecID, Suite, Code) VALUES (1, 'A', 'B')", 2627,
         "Violation of PRIMARY KEY constraint 'PK_vcControl'. Cannot insert duplicate key in object 'dbo.vcControl'."},
        {"INSERT INTO vcSysProgRelease (Suite) VALUES ('123456789012345678901')", 8152,
         "String or binary data would be truncated."},
        {"INSERT INTO vcSysProgRelease (RecID) VALUES (5)", 544,
         "Cannot insert explicit value for identity column in table 'vcSysProgRelease' when IDENTITY_INSERT is set to "
         "OFF."},
        {"SELECT @nothing", 137, "Must declare the scalar variable \"@nothing\"."},
        {"COMMIT", 3902, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION."},
    };
    for (const Case& c : cases) {
        probe::Outcome o = Common.Exec(c.Sql);
        EXPECT_FALSE(o.Ok) << c.Sql;
        ASSERT_FALSE(o.Errors.empty()) << c.Sql;
        EXPECT_EQ(o.Errors[0].Native, c.Native) << c.Sql << "\n" << o.Text();
        EXPECT_EQ(o.Errors[0].Message, c.Message) << c.Sql;
    }
    // Exactly the one row seeded above: no failing statement left anything behind.
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM vcControl")[0][0], "1");
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM vcSysProgRelease")[0][0], "0");
}

TEST_F(Sql, AnErrorEndsItsStatementOrItsBatchAsOnSqlServer) {
    struct Case {
        const char* Batch;
        long Native;
        const char* Left;  // ProgName values in the table afterwards
    } cases[] = {
        {"INSERT INTO vcSysProgRelease (Suite) VALUES ('123456789012345678901');"
         "INSERT INTO vcSysProgRelease (ProgName) VALUES ('after a statement error')",
         8152, "after a statement error"},
        {"SELECT * FROM vcNothing; INSERT INTO vcSysProgRelease (ProgName) VALUES ('after 208')", 208, ""},
        {"INSERT INTO vcSysProgRelease (ProgName) VALUES ('before a syntax error'); SELECT FROM", 102, ""},
        {"SET XACT_ABORT ON; BEGIN TRAN; INSERT INTO vcSysProgRelease (ProgName) VALUES ('aborted');"
         "INSERT INTO vcSysProgRelease (Suite) VALUES ('123456789012345678901'); COMMIT",
         8152, ""},
    };
    for (const Case& c : cases) {
        probe::Connection conn;
        ASSERT_TRUE(conn.Connect(Env.ConnectionString(StandInEnv::kCommon)).Ok);
        probe::Outcome o = conn.Exec(c.Batch);
        EXPECT_TRUE(o.Has(c.Native)) << c.Batch << "\n" << o.Text();
        std::string left;
        for (const auto& r : Rows("SELECT ProgName FROM vcSysProgRelease")) left += r[0].value_or("NULL");
        EXPECT_EQ(left, c.Left) << c.Batch;
        EXPECT_EQ(conn.Exec("SELECT @@TRANCOUNT").Data, (probe::Rows{{"0"}})) << c.Batch;
        Env.Seed(StandInEnv::kCommon, "DELETE FROM vcSysProgRelease");
    }
}

TEST_F(Sql, TheProgramsStatementsAnswerAsOnSqlServer) {
    Env.Seed(StandInEnv::kCommon,
             "INSERT INTO vcControl (Suite, Code, DBConnector, Details, DBUser, DBPswd) VALUES "
             "('VELMORA', 'OTHER', 'x', 'x', 'x', 'x'), ('velmora', 'cloudsvr', 'SQL Server', '127.0.0.1,1433', 'cloud', 'pw');"
             "SET IDENTITY_INSERT vcSysProgRelease ON;"
             "INSERT INTO vcSysProgRelease (RecID, Suite, ProgName, Version, RARFile) VALUES "
             "(41, 'VELMORA', 'velDBVelmora', '1.10', NULL), (42, 'VELMORA', 'VelDBCommon', '1.1', 0x504B0304), "
             "(43, 'OTHER', 'aaa', '2', NULL), (44, 'VELMORA', 'velDBCommon', '1.0', NULL)");

    probe::Outcome control = Common.Exec(
        "SELECT * FROM vcControl WITH (NOLOCK) \r\n WHERE [Suite] = 'VELMORA'\r\n AND [Code] = 'CLOUDSVR'");
    ASSERT_TRUE(control.Ok) << control.Text();
    EXPECT_EQ(control.Data, (probe::Rows{{"2", "velmora", "cloudsvr", "SQL Server", "127.0.0.1,1433", "cloud", "pw"}}));

    probe::Outcome scan = Common.Exec(
        "SELECT [RecID], [ProgName], [Description], [Version], [Critical], \r\n [MinDBVersion], [Notes] \r\n FROM "
        "vcSysProgRelease WITH (NOLOCK) \r\n ORDER BY [ProgName], [Version] ");
    ASSERT_TRUE(scan.Ok) << scan.Text();
    std::vector<std::string> order;
    for (const auto& row : scan.Data) order.push_back(*row[0]);
    EXPECT_EQ(order, (std::vector<std::string>{"43", "44", "42", "41"}));  // case-insensitive, text order
    EXPECT_EQ(scan.Columns,
              (std::vector<std::string>{"RecID", "ProgName", "Description", "Version", "Critical", "MinDBVersion", "Notes"}));

    probe::Outcome version = Common.Exec(
        "SELECT [Version] \r\n FROM vcSysProgRelease WITH (NOLOCK)\r\n WHERE [Suite] = 'VELMORA'\r\n AND [ProgName] = "
        "'velDBCommon'");
    EXPECT_EQ(version.Data, (probe::Rows{{"1.1"}, {"1.0"}}));

    probe::Outcome archive = Common.Exec("SELECT [RARFile] \r\n FROM vcSysProgRelease WITH (NOLOCK) \r\n WHERE [RecID] = '42'");
    EXPECT_EQ(archive.Data, (probe::Rows{{std::string("PK\x03\x04")}}));

    probe::Outcome del =
        Common.Exec("DELETE FROM vcSysProgRelease  WHERE [Suite] = 'VELMORA' AND [ProgName] = 'velDBCommon'");
    ASSERT_TRUE(del.Ok) << del.Text();
    EXPECT_EQ(del.RowCount, 2);

    probe::Outcome ins = Common.Exec(
        "INSERT INTO [vcSysProgRelease] ( [Suite], [ProgName], [Description], [Version], [Critical], [MinDBVersion], "
        "[Notes], [UploadDate], [UploadTime]   ) VALUES ( 'VELMORA','velDBCommon','It''s new','1.2','N','1.0','notes',"
        "'2026/12/11','09:05:33')");
    ASSERT_TRUE(ins.Ok) << ins.Text();
    EXPECT_EQ(ins.RowCount, 1);

    probe::Outcome row = Common.Exec(
        "SELECT * FROM vcSysProgRelease WITH (NOLOCK) \r\n WHERE [Suite] = 'VELMORA'\r\n AND [ProgName] = 'velDBCommon'");
    ASSERT_EQ(row.Data.size(), 1u) << row.Text();
    EXPECT_EQ(row.Data[0], (std::vector<probe::Cell>{"45", "VELMORA", "velDBCommon", "It's new", "1.2", "N", "1.0",
                                                     "notes", "2026/12/11", "09:05:33", std::nullopt}));
}

TEST_F(Sql, LiteralsKeepTheirInsidesAndNonUnicodeOnesTheirCodePage) {
    probe::Outcome o = Common.Exec(
        "INSERT INTO vcSysProgRelease (ProgName, Description, Notes, RARFile) VALUES "
        "('a WITH (NOLOCK) [b] -- c /* d */ @P1 N''e'' ?', N'\xc5\x81\xc3\xb3" "d\xc5\xba', '\xc5\x81\xc3\xb3" "d\xc5\xba \xe2\x82\xac', 0x0aBc0)");
    ASSERT_TRUE(o.Ok) << o.Text();
    auto rows = Rows("SELECT ProgName, Description, Notes, RARFile FROM vcSysProgRelease");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "a WITH (NOLOCK) [b] -- c /* d */ @P1 N'e' ?");
    EXPECT_EQ(rows[0][1], "\xc5\x81\xc3\xb3" "d\xc5\xba");    // N'': every character kept
    EXPECT_EQ(rows[0][2], "?\xc3\xb3" "d? \xe2\x82\xac");     // '': what code page 1252 holds
    EXPECT_EQ(rows[0][3], std::string("\x00\xab\xc0", 3));   // odd digit count: a leading zero
}

TEST_F(Sql, TextComparesWithoutCaseAndIntegersMatchQuotedNumbers) {
    Env.Seed(StandInEnv::kCommon,
             "INSERT INTO vcSysProgRelease (ProgName, Version) VALUES ('beta', '1'), ('Alpha', '2'), ('ALPHA', '3'), "
             "('gamma', '4')");
    struct Case {
        const char* Where;
        std::vector<std::string> Versions;
    } cases[] = {
        {"ProgName = 'alpha'", {"2", "3"}},
        {"'ALPHA' = ProgName", {"2", "3"}},
        {"ProgName IN ('BETA', 'Gamma')", {"1", "4"}},
        {"ProgName LIKE 'AL%'", {"2", "3"}},
        {"ProgName BETWEEN 'ALPHA' AND 'BETA'", {"1", "2", "3"}},
        {"RecID = '2'", {"2"}},
        {"RecID > '2' AND RecID <> 4", {"3"}},
        {"ProgName <> 'alpha' AND NOT ProgName = 'GAMMA'", {"1"}},
    };
    for (const Case& c : cases) {
        probe::Outcome o = Common.Exec(std::string("SELECT Version FROM vcSysProgRelease WHERE ") + c.Where +
                                       " ORDER BY Version");
        ASSERT_TRUE(o.Ok) << c.Where << "\n" << o.Text();
        std::vector<std::string> got;
        for (const auto& r : o.Data) got.push_back(*r[0]);
        EXPECT_EQ(got, c.Versions) << c.Where;
    }
    probe::Outcome sorted = Common.Exec("SELECT ProgName FROM vcSysProgRelease ORDER BY ProgName DESC, Version");
    EXPECT_EQ(sorted.Data, (probe::Rows{{"gamma"}, {"beta"}, {"Alpha"}, {"ALPHA"}}));
    probe::Outcome distinct = Common.Exec("SELECT COUNT(DISTINCT ProgName) FROM vcSysProgRelease");
    EXPECT_EQ(distinct.Data, (probe::Rows{{"3"}}));
}

TEST_F(Sql, PreparedStatementsRunAgainWithNewParameters) {
    Env.Seed(StandInEnv::kCommon, "INSERT INTO vcSysProgRelease (ProgName, Version) VALUES ('p', '1'), ('q', NULL)");
    // The first run is sp_prepexec, the later ones sp_execute on the handle it returned.
    auto runs = Common.ExecPrepared("SELECT COUNT(*) FROM vcSysProgRelease WHERE ProgName = ? OR Version = ?",
                                    {{"P", "nothing"}, {"q", std::nullopt}, {"none", "1"}});
    ASSERT_EQ(runs.size(), 3u);
    for (const auto& r : runs) ASSERT_TRUE(r.Ok) << r.Text();
    EXPECT_EQ(runs[0].Data, (probe::Rows{{"1"}}));
    EXPECT_EQ(runs[1].Data, (probe::Rows{{"1"}}));
    EXPECT_EQ(runs[2].Data, (probe::Rows{{"1"}}));
    // Columns asked for before the first run come from sp_prepare.
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, Common.Dbc(), &st);
    SQLPrepare(st, (SQLCHAR*)"SELECT RecID, ProgName AS Name FROM vcSysProgRelease WHERE ProgName = ?", SQL_NTS);
    SQLSMALLINT columns = 0;
    EXPECT_TRUE(SQL_SUCCEEDED(SQLNumResultCols(st, &columns)));
    EXPECT_EQ(columns, 2);
    SQLFreeHandle(SQL_HANDLE_STMT, st);

    auto inserts = Common.ExecPrepared("INSERT INTO vcSysProgRelease (ProgName, Notes) VALUES (?, ?)",
                                       {{"x", std::nullopt}, {"it's", "n"}});
    for (const auto& r : inserts) EXPECT_TRUE(r.Ok && r.RowCount == 1) << r.Text();
    EXPECT_EQ(Rows("SELECT ProgName, Notes FROM vcSysProgRelease WHERE RecID > 2 ORDER BY RecID"),
              (std::vector<standin::Row>{{"x", std::nullopt}, {"it's", "n"}}));
}

TEST_F(Sql, SchemaScriptRunsTwiceAndFixturesFindTheirHelpers) {
    // The guard makes the script safe to run on databases that have the tables already.
    EXPECT_NO_THROW(Env.Seed(StandInEnv::kCloud, StandInEnv::SchemaSql()));
    probe::Outcome o = Common.Exec(
        "SET NOCOUNT ON; INSERT INTO vcSysProgRelease (ProgName) VALUES ('n');"
        "SELECT SCOPE_IDENTITY() AS Id, @@IDENTITY, DB_NAME(), LEN('ab  '), DATALENGTH(0x0102), UPPER(ProgName) + '!',"
        " ISNULL(Version, 'none'), CASE WHEN RecID = 1 THEN 'one' ELSE 'other' END, REPLICATE('ab', 3),"
        " CAST(12.5 AS DECIMAL(10,2)) FROM vcSysProgRelease");
    ASSERT_TRUE(o.Ok) << o.Text();
    EXPECT_EQ(o.Data, (probe::Rows{{"1", "1", "VelCommon", "2", "2", "N!", "none", "one", "ababab", "12.50"}}));
    EXPECT_EQ(o.Columns[0], "Id");
    EXPECT_EQ(Rows("IF OBJECT_ID('[dbo].[vcControl]') IS NOT NULL SELECT 'yes' ELSE SELECT 'no'"),
              (std::vector<standin::Row>{{"yes"}}));
    EXPECT_EQ(Rows("DROP TABLE IF EXISTS vcNothing; DROP TABLE vcControl; SELECT OBJECT_ID(N'vcControl')"),
              (std::vector<standin::Row>{{std::nullopt}}));
}

}  // namespace
