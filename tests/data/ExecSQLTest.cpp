// One statement in a transaction of its own; a failed one leaves its text in CMNSQLError.TXT.
#include "DataTestDb.h"

#include <QFile>

using namespace datatest;

namespace {

class ExecSQL : public TDataTest {
protected:
    void SetUp() override
    {
        TDataTest::SetUp();
        ASSERT_TRUE(Data.ConnectDB_Common());
        ASSERT_TRUE(Data.ConnectDB_Cloud());
    }

    QByteArray ErrorFile() const
    {
        QFile f(gEXEPath + QStringLiteral("CMNSQLError.TXT"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<no file>");
    }

    size_t CountRows(const std::string& xDatabase)
    {
        return Rows(xDatabase, "SELECT ProgName FROM vcSysProgRelease").size();
    }

    std::vector<std::string> TransactionRequests()
    {
        std::vector<std::string> wSeen;
        for (const standin::Request& r : Server().Requests())
            if (r.Kind == "tm")
                wSeen.push_back(r.Text);
        return wSeen;
    }
};

const QString cInsert = QStringLiteral(
    "INSERT INTO [vcSysProgRelease] ( [Suite], [ProgName], [Notes] ) VALUES ( 'VELMORA','velDBCommon','caf\u00e9')");

}  // namespace

TEST_F(ExecSQL, CommitsAndLeavesNoFile)
{
    EXPECT_TRUE(Data.cmn_ExecSQL(cInsert));
    EXPECT_EQ(CountRows(CmnDB), 1u);
    EXPECT_FALSE(Data.VelmoraCommon.InTransaction());
    // The driver's commit opens the next transaction at once; turning autocommit back on ends
    // that empty one with a rollback.
    EXPECT_EQ(TransactionRequests(), (std::vector<std::string>{"BEGIN", "COMMIT", "ROLLBACK"}));
    EXPECT_FALSE(QFile::exists(gEXEPath + QStringLiteral("CMNSQLError.TXT")));
}

TEST_F(ExecSQL, FailureRollsBackAndWritesTheStatementLineByLine)
{
    struct {
        const char* Name;
        std::function<bool(TcData&, const QString&)> Run;
        std::string Database;
    } const cases[] = {
        {"common", [](TcData& d, const QString& s) { return d.cmn_ExecSQL(s); }, CmnDB},
        {"cloud", [](TcData& d, const QString& s) { return d.cloud_ExecSQL(s); }, CloudDB},
    };
    for (const auto& c : cases) {
        Server().ClearRequests();
        // The first statement of the batch succeeds on its own; the second fails, so only a
        // rollback keeps the first row out.
        const QString wSql = cInsert + QStringLiteral("\r\nINSERT INTO NoSuchTable VALUES (1)");
        EXPECT_FALSE(c.Run(Data, wSql)) << c.Name;
        EXPECT_EQ(CountRows(c.Database), 0u) << c.Name;
        EXPECT_EQ(ErrorFile(), QByteArray("INSERT INTO [vcSysProgRelease] ( [Suite], [ProgName], [Notes] ) VALUES ( "
                                          "'VELMORA','velDBCommon','caf\xe9')\r\nINSERT INTO NoSuchTable VALUES (1)\r\n"))
            << c.Name;
        const auto wTm = TransactionRequests();
        ASSERT_FALSE(wTm.empty()) << c.Name;
        EXPECT_EQ(wTm.front(), "BEGIN") << c.Name;
        EXPECT_NE(std::find(wTm.begin(), wTm.end(), "ROLLBACK"), wTm.end()) << c.Name;
        EXPECT_EQ(std::find(wTm.begin(), wTm.end(), "COMMIT"), wTm.end()) << c.Name;
    }
    EXPECT_FALSE(Data.VelmoraCommon.InTransaction());
    EXPECT_FALSE(Data.CloudDB.InTransaction());

    // A later success leaves the file of the last failure alone.
    const QByteArray wBefore = ErrorFile();
    EXPECT_TRUE(Data.cmn_ExecSQL(cInsert));
    EXPECT_EQ(ErrorFile(), wBefore);

    // A later failure replaces it.
    EXPECT_FALSE(Data.cmn_ExecSQL(QStringLiteral("DELETE FROM NoSuchTable")));
    EXPECT_EQ(ErrorFile(), QByteArray("DELETE FROM NoSuchTable\r\n"));
}

TEST_F(ExecSQL, StatementsAfterwardsRunUnderAutocommit)
{
    EXPECT_FALSE(Data.cmn_ExecSQL(QStringLiteral("DELETE FROM NoSuchTable")));
    // vcZIPUpload runs without a transaction of the program's own: it must take effect at once.
    Data.vcZIPUpload.SQLAdd(cInsert);
    Data.vcZIPUpload.ExecSQL();
    EXPECT_EQ(CountRows(CmnDB), 1u);
    EXPECT_FALSE(Data.VelmoraCommon.InTransaction());
}

TEST_F(ExecSQL, ClosedConnectionCannotStartItsTransaction)
{
    Data.CloseDB_Common();
    EXPECT_THROW(Data.cmn_ExecSQL(cInsert), EVelError);
    EXPECT_FALSE(QFile::exists(gEXEPath + QStringLiteral("CMNSQLError.TXT")));
}
