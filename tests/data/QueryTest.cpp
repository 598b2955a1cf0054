// Queries: statement lines, parameter markers, fields of the current row, BLOBs both ways.
#include "DataTestDb.h"

using namespace datatest;

namespace {

class Query : public TDataTest {
protected:
    void SetUp() override
    {
        TDataTest::SetUp();
        ASSERT_TRUE(Data.ConnectDB_Common());
        ASSERT_TRUE(Data.ConnectDB_Cloud());
    }

    void AddCloudRelease(const std::string& xProgName, const std::string& xVersion, const std::string& xNotes)
    {
        Server().Seed(CloudDB, "INSERT INTO vcSysProgRelease (Suite, ProgName, Description, Version, Critical, "
                               "MinDBVersion, Notes) VALUES ('OTHER', '" + xProgName + "', 'Desc of " + xProgName +
                                   "', '" + xVersion + "', 'N', '1.0', " + xNotes + ")");
    }

    void AddCommonRow(const QString& xProgName)
    {
        ASSERT_TRUE(Data.cmn_ExecSQL(QStringLiteral("INSERT INTO [vcSysProgRelease] ( [Suite], [ProgName], [Version], "
                                                    "[UploadTime] ) VALUES ( 'VELMORA','%1','1.0','09:05:33')")
                                         .arg(xProgName)));
    }

    // As the upgrade copy stores it: the archive goes in through the parameter imgBlob.
    void StoreArchive(const QString& xProgName, const QByteArray& xBytes)
    {
        TOdbcQuery& q = Data.vcZIPUpload;
        q.SQLClear();
        q.SQLAdd(QStringLiteral("UPDATE vcSysProgRelease SET  [RARFile] = :imgBlob WHERE [Suite] = 'VELMORA' AND "
                                "[ProgName] = '%1' AND [Version] = '1.0'")
                     .arg(xProgName));
        TBlobStream wStream(xBytes);
        q.ParamLoadFromStream(QStringLiteral("imgBlob"), wStream);
        q.ExecSQL();
    }

    QByteArray ReadArchive(const QString& xProgName)
    {
        TOdbcQuery& q = Data.vcLoadQuery1;
        q.Close();
        q.SQLClear();
        q.SQLAdd(QStringLiteral("SELECT * FROM vcSysProgRelease WITH (NOLOCK) "));
        q.SQLAdd(QStringLiteral(" WHERE [Suite] = 'VELMORA'"));
        q.SQLAdd(QStringLiteral(" AND [ProgName] = '%1'").arg(xProgName));
        q.Open();
        if (q.Eof())
            throw EVelError(QStringLiteral("no row"));
        return q.CreateBlobStream(QStringLiteral("RARFile"))->Bytes();
    }
};

}  // namespace

TEST(ParamScan, MarkersOnlyOutsideLiteralsNamesAndComments)
{
    struct {
        const char* Text;
        QStringList Names;
    } const cases[] = {
        {"UPDATE t SET  [RARFile] = :imgBlob WHERE [Suite] = 'VELMORA'", {"imgBlob"}},
        {"INSERT INTO t VALUES ('2024/01/02','09:05:33')", {}},
        {"SELECT 'it''s :not' , :yes", {"yes"}},
        {"SELECT [odd:name], \"other:name\" FROM t", {}},
        {"SELECT [a]]:b] FROM t WHERE x = :p", {"p"}},
        {"SELECT 1 -- :gone\r\n, :back", {"back"}},
        {"SELECT /* :a /* :b */ :c */ :d", {"d"}},
        {"GRANT SELECT ON SCHEMA::dbo TO u", {}},
        {"SELECT :a, :b, :A", {"a", "b"}},
        {"SELECT x : y, ':', :_1", {"_1"}},
        {"SELECT N'ä:ö', :ü", {QStringLiteral("ü")}},
    };
    for (const auto& c : cases) {
        TOdbcQuery q(nullptr, true, false);
        q.SQLAdd(QString::fromUtf8(c.Text));
        EXPECT_EQ(q.ParamNames(), c.Names) << c.Text;
    }
    TOdbcQuery wPlain(nullptr, false, true);
    wPlain.SQLAdd(QStringLiteral("SELECT :a"));
    EXPECT_TRUE(wPlain.ParamNames().isEmpty());
}

TEST(StatementText, LinesJoinedByCrLfWithoutATrailingOne)
{
    TOdbcQuery q(nullptr, false, true);
    q.SQLAdd(QStringLiteral("SELECT 1 "));
    q.SQLAdd(QStringLiteral(" FROM t"));
    EXPECT_EQ(q.SQLText(), QStringLiteral("SELECT 1 \r\n FROM t"));
    q.SetSQLText(QStringLiteral("a\r\nb\nc\r\n"));
    EXPECT_EQ(q.SQLLines(), (QStringList{"a", "b", "c"}));
    q.SQLClear();
    EXPECT_EQ(q.SQLText(), QString());
}

TEST_F(Query, ScanReadsRowsInOrderWithFieldsAsTextAndInteger)
{
    AddCloudRelease("velDBVelmora", "2.0", "NULL");
    AddCloudRelease("velDBCommon", "1.10", "'x:y ''quoted'''");
    AddCloudRelease("velDBCommon", "1.9", "N'caf\xc3\xa9'");

    TOdbcQuery& q = Data.rQuery1;
    q.Close();
    q.SQLClear();
    q.SQLAdd(QStringLiteral("SELECT [RecID], [ProgName], [Description], [Version], [Critical], "));
    q.SQLAdd(QStringLiteral(" [MinDBVersion], [Notes] "));
    q.SQLAdd(QStringLiteral(" FROM vcSysProgRelease WITH (NOLOCK) "));
    q.SQLAdd(QStringLiteral(" ORDER BY [ProgName], [Version] "));
    q.Open();

    const auto wSent = RequestsMatching("ORDER BY");
    ASSERT_EQ(wSent.size(), 1u);
    EXPECT_EQ(wSent[0].Text, q.SQLText().toStdString());

    ASSERT_EQ(q.RecordCount(), 3);
    struct {
        int RecID;
        const char* ProgName;
        const char* Version;
        QString Notes;
    } const cExpected[] = {
        {2, "velDBCommon", "1.10", QStringLiteral("x:y 'quoted'")},
        {3, "velDBCommon", "1.9", QStringLiteral("caf\u00e9")},
        {1, "velDBVelmora", "2.0", QString()},
    };
    q.First();
    for (const auto& e : cExpected) {
        ASSERT_FALSE(q.Eof());
        EXPECT_EQ(q.FieldAsInteger(QStringLiteral("RecID")), e.RecID);
        EXPECT_EQ(q.FieldAsString(QStringLiteral("recid")), QString::number(e.RecID));
        EXPECT_EQ(q.FieldAsString(QStringLiteral("ProgName")), QLatin1String(e.ProgName));
        EXPECT_EQ(q.FieldAsString(QStringLiteral("Version")), QLatin1String(e.Version));
        EXPECT_EQ(q.FieldAsString(QStringLiteral("Notes")), e.Notes);
        q.Next();
    }
    EXPECT_TRUE(q.Eof());
    EXPECT_THROW(q.FieldAsString(QStringLiteral("ProgName")), EVelError);
    q.First();
    EXPECT_FALSE(q.FieldIsNull(QStringLiteral("Notes")));
    EXPECT_THROW(q.FieldAsString(QStringLiteral("NoSuchField")), EVelError);
    EXPECT_THROW(q.FieldAsInteger(QStringLiteral("ProgName")), EVelError);
}

TEST_F(Query, NumbersReadAsDecimalTextAndNullAsEmpty)
{
    TOdbcQuery& q = Data.vcQuery1;
    q.SQLAdd(QStringLiteral("SELECT CAST(-7 AS INT) AS I, CAST(9000000000 AS BIGINT) AS B, CAST(12.50 AS DECIMAL(10,2)) AS D,"));
    q.SQLAdd(QStringLiteral(" '42' AS T, CAST(NULL AS INT) AS N"));
    q.Open();
    ASSERT_EQ(q.RecordCount(), 1);
    EXPECT_EQ(q.FieldAsString(QStringLiteral("I")), QStringLiteral("-7"));
    EXPECT_EQ(q.FieldAsInteger(QStringLiteral("I")), -7);
    EXPECT_EQ(q.FieldAsString(QStringLiteral("B")), QStringLiteral("9000000000"));
    EXPECT_THROW(q.FieldAsInteger(QStringLiteral("B")), EVelError) << "does not fit 32 bits";
    EXPECT_EQ(q.FieldAsString(QStringLiteral("D")), QStringLiteral("12.50"));
    EXPECT_EQ(q.FieldAsInteger(QStringLiteral("T")), 42);
    EXPECT_EQ(q.FieldAsString(QStringLiteral("N")), QString());
    EXPECT_EQ(q.FieldAsInteger(QStringLiteral("N")), 0);
    EXPECT_TRUE(q.FieldIsNull(QStringLiteral("N")));
}

TEST_F(Query, TimeLiteralInAScannedStatementBindsNothing)
{
    AddCommonRow(QStringLiteral("velDBCommon"));
    const auto wSent = RequestsMatching("09:05:33");
    ASSERT_EQ(wSent.size(), 1u);
    EXPECT_EQ(wSent[0].Kind, "batch") << "no parameter, so no RPC";
    EXPECT_EQ(Rows(CmnDB, "SELECT UploadTime FROM vcSysProgRelease"), (std::vector<std::vector<std::string>>{{"09:05:33"}}));

    StoreArchive(QStringLiteral("velDBCommon"), QByteArray("abc"));
    const auto wUpdate = RequestsMatching("SET  [RARFile] =");
    ASSERT_EQ(wUpdate.size(), 1u);
    EXPECT_EQ(wUpdate[0].Kind, "rpc");
    EXPECT_NE(wUpdate[0].Text.find("[RARFile] = @P1 WHERE"), std::string::npos) << wUpdate[0].Text;
}

TEST_F(Query, ArchivesRoundTripByteForByte)
{
    AddCommonRow(QStringLiteral("velDBCommon"));
    for (const qsizetype wSize : {qsizetype(0), qsizetype(99), qsizetype(100), qsizetype(8001), qsizetype(64) << 20}) {
        const QByteArray wArchive = Pattern(wSize, static_cast<unsigned>(wSize));
        StoreArchive(QStringLiteral("velDBCommon"), wArchive);
        const auto wStored = Rows(CmnDB, "SELECT DATALENGTH(RARFile) FROM vcSysProgRelease");
        ASSERT_EQ(wStored.size(), 1u);
        EXPECT_EQ(wStored[0][0], std::to_string(wSize)) << "what the server holds";
        const QByteArray wRead = ReadArchive(QStringLiteral("velDBCommon"));
        ASSERT_EQ(wRead.size(), wSize);
        EXPECT_TRUE(wRead == wArchive) << "bytes differ at size " << wSize;
    }
}

TEST_F(Query, NullArchiveReadsAsEmptyStream)
{
    AddCommonRow(QStringLiteral("velDBVelmora"));
    EXPECT_EQ(ReadArchive(QStringLiteral("velDBVelmora")).size(), 0);
    EXPECT_TRUE(Data.vcLoadQuery1.FieldIsNull(QStringLiteral("RARFile")));
}

TEST_F(Query, ScanStaysOpenWhileAnotherQueryReadsOnTheSameConnection)
{
    for (int i = 1; i <= 3; ++i)
        Server().Seed(CloudDB, "INSERT INTO vcSysProgRelease (ProgName, Version, RARFile) VALUES ('p" +
                                   std::to_string(i) + "', '1', CAST(REPLICATE('x', " + std::to_string(i * 1000) +
                                   ") AS VARBINARY(MAX)))");
    TOdbcQuery& wScan = Data.rQuery1;
    wScan.SQLAdd(QStringLiteral("SELECT [RecID], [ProgName] FROM vcSysProgRelease WITH (NOLOCK) ORDER BY [ProgName]"));
    wScan.Open();
    int wSeen = 0;
    for (wScan.First(); !wScan.Eof(); wScan.Next()) {
        TOdbcQuery& q = Data.rQuery2;
        q.Close();
        q.SQLClear();
        q.SQLAdd(QStringLiteral("SELECT [RARFile] "));
        q.SQLAdd(QStringLiteral(" FROM vcSysProgRelease WITH (NOLOCK) "));
        q.SQLAdd(QStringLiteral(" WHERE [RecID] = '%1'").arg(wScan.FieldAsInteger(QStringLiteral("RecID"))));
        q.Open();
        ASSERT_EQ(q.RecordCount(), 1);
        ++wSeen;
        EXPECT_EQ(q.CreateBlobStream(QStringLiteral("RARFile"))->Size(), wSeen * 1000);
    }
    EXPECT_EQ(wSeen, 3);
}

TEST_F(Query, ServerErrorsCarryTheDriversTextStateAndNumber)
{
    TOdbcQuery& q = Data.vcQuery1;
    q.SQLAdd(QStringLiteral("SELECT * FROM NoSuchTable"));
    try {
        q.Open();
        FAIL() << "no error";
    } catch (const EOdbcError& e) {
        EXPECT_TRUE(e.Message().contains(QLatin1String("Invalid object name 'NoSuchTable'"))) << e.Message().toStdString();
        EXPECT_EQ(e.SqlState(), QStringLiteral("42S02"));
        EXPECT_EQ(e.NativeError(), 208);
        EXPECT_FALSE(e.ConnectionLost());
    }
    EXPECT_FALSE(q.Active());
    EXPECT_TRUE(Data.VelmoraCommon.Connected()) << "a statement error keeps the link";
}

TEST_F(Query, UnknownParameterIsRefused)
{
    TOdbcQuery& q = Data.vcZIPUpload;
    q.SQLAdd(QStringLiteral("UPDATE vcSysProgRelease SET [RARFile] = :imgBlob"));
    TBlobStream wStream(QByteArray("x"));
    EXPECT_THROW(q.ParamLoadFromStream(QStringLiteral("other"), wStream), EVelError);
    TBlobStream wOther(QByteArray("y"));
    EXPECT_THROW(Data.vcLoadQuery1.ParamLoadFromStream(QStringLiteral("imgBlob"), wOther), EVelError)
        << "markers are not scanned there";
}

TEST_F(Query, CloseOperationsCloseTheirOwnLists)
{
    const QString wSelect = QStringLiteral("SELECT * FROM vcSysProgRelease WITH (NOLOCK) ");
    TOdbcQuery* const cCommon[] = {&Data.vcUpdSQL, &Data.vcLoadQuery1, &Data.vcUpdTemplate, &Data.qryServices,
                                   &Data.vcQuery1, &Data.vcQuery2, &Data.vcQuery3, &Data.vcImages};
    TOdbcQuery* const cCloud[] = {&Data.rUpdSQL, &Data.rLoadQuery1, &Data.rQuery1};
    TOdbcQuery* const cLeft[] = {&Data.rQuery2, &Data.rqryZIPUpload};
    auto openAll = [&] {
        for (TOdbcQuery* q : cCommon) { q->SetSQLText(wSelect); q->Open(); }
        for (TOdbcQuery* q : cCloud) { q->SetSQLText(wSelect); q->Open(); }
        for (TOdbcQuery* q : cLeft) { q->SetSQLText(wSelect); q->Open(); }
        Data.vcZIPUpload.SetSQLText(wSelect);
        Data.vcZIPUpload.Open();
    };
    openAll();
    Data.Close_Query_Common();
    for (TOdbcQuery* q : cCommon) EXPECT_FALSE(q->Active());
    for (TOdbcQuery* q : cCloud) EXPECT_TRUE(q->Active());
    EXPECT_TRUE(Data.vcZIPUpload.Active()) << "left to Close_Query_Cloud";

    openAll();
    Data.Close_Query_Cloud();
    for (TOdbcQuery* q : cCloud) EXPECT_FALSE(q->Active());
    for (TOdbcQuery* q : cLeft) EXPECT_TRUE(q->Active());
    EXPECT_FALSE(Data.vcZIPUpload.Active()) << "the common upload query is closed with the cloud ones";
    for (TOdbcQuery* q : cCommon) EXPECT_TRUE(q->Active());

    // Closing connections leaves queries as they are; closing twice does nothing.
    Data.CloseDB_Cloud();
    Data.CloseDB_Cloud();
    EXPECT_FALSE(Data.CloudDB.Connected());
    EXPECT_TRUE(Data.rQuery2.Active());
}
