// Local failover: a lost link outside a transaction is replaced and the work repeated once.
#include "DataTestDb.h"

#include <QFile>

#include <set>

using namespace datatest;

namespace {

class Failover : public TDataTest {
protected:
    void SetUp() override
    {
        TDataTest::SetUp();
        Server().Seed(CloudDB, "INSERT INTO vcSysProgRelease (ProgName, Version) VALUES ('velDBCommon', '1.0')");
        ASSERT_TRUE(Data.ConnectDB_Common());
        ASSERT_TRUE(Data.ConnectDB_Cloud());
        Server().ClearRequests();
    }

    void DropOn(const std::string& xMatch, int xNth, int xTimes = -1)
    {
        standin::Fault f;
        f.Match = xMatch;
        f.What = standin::Fault::Action::CloseBefore;
        f.Nth = xNth;
        f.Times = xTimes;
        Server().AddFault(f);
    }

    void OpenScan()
    {
        TOdbcQuery& q = Data.rQuery1;
        q.Close();
        q.SQLClear();
        q.SQLAdd(QStringLiteral("SELECT [RecID], [ProgName] FROM vcSysProgRelease WITH (NOLOCK) "));
        q.Open();
    }

    // On which connections (numbered by login) the matching statement arrived.
    std::vector<int> ArrivedOn(const std::string& xMatch) const
    {
        std::vector<int> wOn;
        for (const standin::Request& r : RequestsMatching(xMatch))
            wOn.push_back(r.Connection);
        return wOn;
    }
};

}  // namespace

TEST_F(Failover, OpenIsRepeatedOnANewConnection)
{
    DropOn("FROM vcSysProgRelease", 1);
    OpenScan();
    ASSERT_EQ(Data.rQuery1.RecordCount(), 1);
    EXPECT_EQ(Data.rQuery1.FieldAsString(QStringLiteral("ProgName")), QStringLiteral("velDBCommon"));
    const auto wOn = ArrivedOn("FROM vcSysProgRelease");
    ASSERT_EQ(wOn.size(), 2u);
    EXPECT_NE(wOn[0], wOn[1]) << "the repeat ran on a new login";
    EXPECT_TRUE(Data.CloudDB.Connected());
}

TEST_F(Failover, TransactionBegunOnceMoreWhenTheIdleLinkDied)
{
    // The common link sat idle while the cloud read an archive; the server dropped it meanwhile.
    DropOn("BEGIN", 1, 1);
    ASSERT_TRUE(Data.cmn_ExecSQL(QStringLiteral("INSERT INTO vcSysProgRelease (Suite, ProgName, Version) VALUES "
                                                "('VELMORA', 'velTools', '2.0')")));
    EXPECT_EQ(Rows(CmnDB, "SELECT ProgName FROM vcSysProgRelease"), (std::vector<std::vector<std::string>>{{"velTools"}}));
    EXPECT_EQ(ArrivedOn("INSERT INTO").size(), 1u);
}

TEST_F(Failover, ExecuteIsRepeatedOnANewConnection)
{
    ASSERT_TRUE(Data.cmn_ExecSQL(QStringLiteral("INSERT INTO vcSysProgRelease (Suite, ProgName, Version) VALUES "
                                                "('VELMORA', 'velDBCommon', '1.0')")));
    DropOn("SET [RARFile]", 1);
    TOdbcQuery& q = Data.vcZIPUpload;
    q.SQLAdd(QStringLiteral("UPDATE vcSysProgRelease SET [RARFile] = :imgBlob WHERE [ProgName] = 'velDBCommon'"));
    TBlobStream wStream(Pattern(300000, 7));
    q.ParamLoadFromStream(QStringLiteral("imgBlob"), wStream);
    q.ExecSQL();
    EXPECT_EQ(ArrivedOn("SET [RARFile]").size(), 2u);
    EXPECT_EQ(Rows(CmnDB, "SELECT DATALENGTH(RARFile) FROM vcSysProgRelease"),
              (std::vector<std::vector<std::string>>{{"300000"}}));
}

TEST_F(Failover, RepeatedOnceOnlyThenTheErrorReachesTheCaller)
{
    DropOn("FROM vcSysProgRelease", 0);
    try {
        OpenScan();
        FAIL() << "no error";
    } catch (const EOdbcError& e) {
        EXPECT_TRUE(e.ConnectionLost()) << e.SqlState().toStdString() << ": " << e.Message().toStdString();
        EXPECT_FALSE(e.Message().isEmpty());
    }
    EXPECT_EQ(ArrivedOn("FROM vcSysProgRelease").size(), 2u);
    EXPECT_FALSE(Data.rQuery1.Active());

    // Once the server answers again, the next statement finds a new link.
    Server().ClearFaults();
    OpenScan();
    EXPECT_EQ(Data.rQuery1.RecordCount(), 1);
}

TEST_F(Failover, NoRepeatInsideATransaction)
{
    DropOn("INSERT INTO vcSysProgRelease", 1);
    const QString wSql = QStringLiteral("INSERT INTO vcSysProgRelease (Suite, ProgName) VALUES ('VELMORA', 'lost')");
    EXPECT_FALSE(Data.cmn_ExecSQL(wSql));
    EXPECT_EQ(ArrivedOn("INSERT INTO vcSysProgRelease").size(), 1u);
    EXPECT_TRUE(Rows(CmnDB, "SELECT ProgName FROM vcSysProgRelease").empty());
    QFile f(gEXEPath + QStringLiteral("CMNSQLError.TXT"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), wSql.toLatin1() + "\r\n");

    // The connection comes back for the next unit of work.
    EXPECT_TRUE(Data.cmn_ExecSQL(wSql));
    EXPECT_EQ(Rows(CmnDB, "SELECT ProgName FROM vcSysProgRelease").size(), 1u);
}

TEST_F(Failover, WithoutFailoverTheFirstLossReachesTheCaller)
{
    Data.CloudDB.SetLocalFailover(false);
    DropOn("FROM vcSysProgRelease", 1);
    EXPECT_THROW(OpenScan(), EOdbcError);
    EXPECT_EQ(ArrivedOn("FROM vcSysProgRelease").size(), 1u);
    EXPECT_FALSE(Data.CloudDB.Connected());
}

TEST_F(Failover, LostCommitLeavesTheStatementInTheFile)
{
    DropOn("COMMIT", 1);
    const QString wSql = QStringLiteral("INSERT INTO vcSysProgRelease (Suite, ProgName) VALUES ('VELMORA', 'x')");
    EXPECT_FALSE(Data.cmn_ExecSQL(wSql));
    EXPECT_TRUE(Rows(CmnDB, "SELECT ProgName FROM vcSysProgRelease").empty()) << "the server rolled it back";
    QFile f(gEXEPath + QStringLiteral("CMNSQLError.TXT"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), wSql.toLatin1() + "\r\n");
    EXPECT_FALSE(Data.VelmoraCommon.InTransaction());
}
