// The upgrade run end to end in-process: start-up, cloud settings, the scan, the check and the
// copy, against the stand-in through the real driver.
#include "UpgradeFixture.h"

#include <QDate>
#include <QFile>
#include <QRegularExpression>

namespace {

struct TVersionCase {
    const char* Name;
    const char* Common;  // nullptr: no common row
    const char* Cloud;
    bool Copied;
};

}  // namespace

using TUpgrade = TUpgradeFixture;

TEST_F(TUpgrade, VersionOrderDecidesWhatIsCopied)
{
    const TVersionCase wCases[] = {
        {"equal", "1.0", "1.0", false},
        {"common later", "2.0", "1.0", false},
        {"1.9 is later than 1.10", "1.9", "1.10", false},
        {"1.10 is older than 1.9", "1.10", "1.9", true},
        {"small a sorts after capital A", "2.0a", "2.0A", false},
        {"capital A sorts before small a", "2.0A", "2.0a", true},
        {"leading part is older", "2.0", "2.0.1", true},
        {"empty common version", "", "1.0", true},
        {"no common row", nullptr, "1.0", true},
    };
    for (const TVersionCase& c : wCases) {
        SCOPED_TRACE(c.Name);
        FServer.Seed("VelCommon", "DELETE FROM vcSysProgRelease");
        FServer.Seed("VelmoraControl", "DELETE FROM vcSysProgRelease");
        if (c.Common)
            AddCommon({QStringLiteral("velTools"), QString::fromUtf8(c.Common), Bytes(120, 'c')});
        AddCloud({QStringLiteral("velTools"), QString::fromUtf8(c.Cloud), Bytes(120, 'k')});
        NextRun();
        ASSERT_TRUE(RunProgram());
        QStringList wExpected = cStartLines + Lines({"Reading Cloud Program Upgrades....", " ", "Validating Program : velTools"});
        if (c.Copied)
            wExpected += Lines({"Downloading Program : velTools", "Downloading Program : velTools - Download Complete"});
        else
            wExpected += Lines({"velTools is Up To Date", " "});
        EXPECT_EQ(LogMessages(), wExpected + cClosingLines);
        const auto wRows = CommonRows();
        ASSERT_EQ(wRows.size(), 1u);
        EXPECT_EQ(wRows[0].Version, QString::fromUtf8(c.Copied ? c.Cloud : c.Common));
        EXPECT_EQ(wRows[0].Archive, c.Copied ? Bytes(120, 'k') : Bytes(120, 'c'));
        EXPECT_EQ(FPauses, QList<int>{2000});
        EXPECT_TRUE(FBoxes->Texts().isEmpty());
        // An older common release goes with every row of its program, in its own statement.
        const QString wDelete = QStringLiteral("DELETE FROM vcSysProgRelease  WHERE [Suite] = 'VELMORA' AND [ProgName] = 'velTools'");
        EXPECT_EQ(Statements("VelCommon").count(wDelete), c.Copied && c.Common ? 1 : 0);
    }
}

TEST_F(TUpgrade, StartUpShowsTheVersionAndArmsTheTimer)
{
    AddCloud({QStringLiteral("velTools"), QStringLiteral("1"), Bytes(120)});
    EXPECT_FALSE(RunProgram(20000, [this] { return FWindow->State() == TfrmMAIN000::TState::Waiting; }));
    EXPECT_EQ(FWindow->State(), TfrmMAIN000::TState::Waiting);
    EXPECT_EQ(LogMessages(), cStartLines);
    EXPECT_EQ(FWindow->StatusBar1->Panels[2]->text(), QStringLiteral("Version: " VEL_VERSION_SHORT));
    EXPECT_TRUE(FWindow->Timer1->isActive());
    EXPECT_EQ(gRemDBName, QStringLiteral("VelmoraControl"));
    EXPECT_EQ(gRemUser, QStringLiteral("velcloud"));
    EXPECT_EQ(gRemPswd, QStringLiteral("Up;d{ate}1"));
    EXPECT_TRUE(FBoxes->Texts().isEmpty());
    // The tick comes once, runs the scan and closes the window.
    EXPECT_TRUE(RunProgram());
    EXPECT_EQ(CommonRows().size(), 1u);
}

TEST_F(TUpgrade, CopyStoresTheRowItsArchiveAndTheExactStatements)
{
    const QByteArray wArchive = Bytes(5000);
    AddCloud({QStringLiteral("velReports"), QStringLiteral("3.1"), wArchive, QStringLiteral("It's new"),
              QStringLiteral("Caf\u00e9 'quoted'")});
    ASSERT_TRUE(RunProgram());

    const auto wRows = CommonRows();
    ASSERT_EQ(wRows.size(), 1u);
    const TCommonRow& r = wRows[0];
    EXPECT_EQ(r.Suite, QStringLiteral("VELMORA"));
    EXPECT_EQ(r.ProgName, QStringLiteral("velReports"));
    EXPECT_EQ(r.Description, QStringLiteral("It's new"));
    EXPECT_EQ(r.Notes, QStringLiteral("Caf\u00e9 'quoted'"));
    EXPECT_EQ(r.Critical, QStringLiteral("N"));
    EXPECT_EQ(r.MinDBVersion, QStringLiteral("1.0"));
    EXPECT_EQ(r.UploadDate, QDate::currentDate().toString(QStringLiteral("yyyy/MM/dd")));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$")).match(r.UploadTime).hasMatch());
    EXPECT_EQ(r.Archive, wArchive);
    EXPECT_EQ(FWindow.isNull(), true);

    const QStringList wCommon = Statements("VelCommon");
    ASSERT_EQ(wCommon.size(), 4) << wCommon.join(QStringLiteral("\n---\n")).toStdString();
    EXPECT_EQ(wCommon[0], QStringLiteral("SELECT * FROM vcControl WITH (NOLOCK) \r\n WHERE [Suite] = 'VELMORA'\r\n AND [Code] = 'CLOUDSVR'"));
    EXPECT_EQ(wCommon[1], QStringLiteral("SELECT [Version] \r\n FROM vcSysProgRelease WITH (NOLOCK)\r\n WHERE [Suite] = "
                                         "'VELMORA'\r\n AND [ProgName] = 'velReports'"));
    EXPECT_EQ(wCommon[2], QStringLiteral("INSERT INTO [vcSysProgRelease] ( [Suite], [ProgName], [Description], [Version], "
                                         "[Critical], [MinDBVersion], [Notes], [UploadDate], [UploadTime]   ) VALUES ( "
                                         "'VELMORA','velReports','It''s new','3.1','N','1.0','Caf\u00e9 ''quoted''','") +
                              r.UploadDate + QStringLiteral("','") + r.UploadTime + QStringLiteral("')"));
    EXPECT_EQ(wCommon[3], QStringLiteral("UPDATE vcSysProgRelease SET  [RARFile] = @P1 WHERE [Suite] = 'VELMORA' AND "
                                         "[ProgName] = 'velReports' AND [Version] = '3.1'"));
    const QStringList wCloud = Statements("VelmoraControl");
    ASSERT_EQ(wCloud.size(), 2);
    EXPECT_EQ(wCloud[0], QStringLiteral("SELECT [RecID], [ProgName], [Description], [Version], [Critical], \r\n [MinDBVersion], "
                                        "[Notes] \r\n FROM vcSysProgRelease WITH (NOLOCK) \r\n ORDER BY [ProgName], [Version] "));
    EXPECT_TRUE(wCloud[1].startsWith(QStringLiteral("SELECT [RARFile] \r\n FROM vcSysProgRelease WITH (NOLOCK) \r\n WHERE [RecID] = '")));

    // The second run finds everything up to date.
    NextRun();
    ASSERT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages(), cStartLines + Lines({"Reading Cloud Program Upgrades....", " ", "Validating Program : velReports",
                                                  "velReports is Up To Date", " "}) + cClosingLines);
}

TEST_F(TUpgrade, TwoCloudRowsOfOneProgramEndWithTheLast)
{
    AddCloud({QStringLiteral("velTools"), QStringLiteral("2"), Bytes(200, 'b')});
    AddCloud({QStringLiteral("velTools"), QStringLiteral("1"), Bytes(200, 'a')});
    ASSERT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages(), cStartLines + Lines({"Reading Cloud Program Upgrades....", " ",
                                                  "Validating Program : velTools", "Downloading Program : velTools",
                                                  "Downloading Program : velTools - Download Complete",
                                                  "Validating Program : velTools", "Downloading Program : velTools",
                                                  "Downloading Program : velTools - Download Complete"}) +
                                 cClosingLines);
    const auto wRows = CommonRows();
    ASSERT_EQ(wRows.size(), 1u);
    EXPECT_EQ(wRows[0].Version, QStringLiteral("2"));
    EXPECT_EQ(wRows[0].Archive, Bytes(200, 'b'));
}

TEST_F(TUpgrade, ArchiveSizesAndNamesThatSetNoFlag)
{
    AddCloud({QStringLiteral("a99"), QStringLiteral("1"), Bytes(99)});
    AddCloud({QStringLiteral("b100"), QStringLiteral("1"), Bytes(100)});
    AddCloud({QStringLiteral("cNull"), QStringLiteral("1"), QByteArray()});
    AddCloud({QStringLiteral("O'Brien"), QStringLiteral("1'a"), Bytes(150)});
    AddCloud({QStringLiteral("VelDBCommon"), QStringLiteral("1"), Bytes(150)});
    AddCloud({QStringLiteral("veldbvelmora"), QStringLiteral("1"), Bytes(150)});
    ASSERT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages(),
              cStartLines + Lines({"Reading Cloud Program Upgrades....", " ",
                                   "Validating Program : a99", "Downloading Program : a99",
                                   "Validating Program : b100", "Downloading Program : b100",
                                   "Downloading Program : b100 - Download Complete",
                                   "Validating Program : cNull", "Downloading Program : cNull",
                                   "Validating Program : O'Brien", "Downloading Program : O'Brien",
                                   "Downloading Program : O'Brien - Download Complete",
                                   "Validating Program : VelDBCommon", "Downloading Program : VelDBCommon",
                                   "Downloading Program : VelDBCommon - Download Complete",
                                   "Validating Program : veldbvelmora", "Downloading Program : veldbvelmora",
                                   "Downloading Program : veldbvelmora - Download Complete"}) +
                  cClosingLines);
    const auto wRows = CommonRows();
    ASSERT_EQ(wRows.size(), 6u);
    EXPECT_FALSE(wRows[0].Archive.has_value());  // 99 bytes: the row without archive, on purpose
    EXPECT_EQ(wRows[1].Archive, Bytes(100));
    EXPECT_FALSE(wRows[2].Archive.has_value());
    EXPECT_EQ(wRows[3].ProgName, QStringLiteral("O'Brien"));
    EXPECT_EQ(wRows[3].Version, QStringLiteral("1'a"));
    EXPECT_EQ(FPauses, QList<int>{2000});  // no launch: the names differ in case only

    // The next run finds all of them up to date, the 99-byte one included.
    NextRun();
    ASSERT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages().filter(QStringLiteral("is Up To Date")).size(), 6);
    EXPECT_EQ(CommonRows().size(), 6u);
}

TEST_F(TUpgrade, CloudRowGoneByRecIdIsReported)
{
    AddCommon({QStringLiteral("velTools"), QStringLiteral("1"), Bytes(150)});
    AddCloud({QStringLiteral("velTools"), QStringLiteral("2"), Bytes(150)});
    // The cloud row goes while the copy begins, after the check deleted the older common row.
    QObject::connect(FWindow->memNotes, &QPlainTextEdit::textChanged, [this] {
        if (FMemoLines.size() && FMemoLines.last().endsWith(QStringLiteral("Downloading Program : velTools")))
            FServer.Query("VelmoraControl", "DELETE FROM vcSysProgRelease");
    });
    ASSERT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages(), cStartLines + Lines({"Reading Cloud Program Upgrades....", " ", "Validating Program : velTools",
                                                  "Downloading Program : velTools",
                                                  "Downloading Program : velTools ??? ZIP FILE NOT FOUND"}) +
                                 cClosingLines);
    EXPECT_TRUE(CommonRows().empty());
}

TEST_F(TUpgrade, EmptyCloudTableEndsWithoutClosingLinesOrPause)
{
    ASSERT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages(), cStartLines + Lines({"Reading Cloud Program Upgrades....", " ",
                                                  "Reading Cloud Program Upgrades....NO UPGRADES FOUND", " "}));
    EXPECT_TRUE(FPauses.isEmpty());
}

TEST_F(TUpgrade, FailingScanShowsTheStatementErrorBox)
{
    AddCloud({QStringLiteral("velTools"), QStringLiteral("1"), Bytes(150)});
    FailOn("ORDER BY [ProgName]", 208, "Invalid object name 'vcSysProgRelease'.");
    ASSERT_TRUE(RunProgram());
    ASSERT_EQ(FBoxes->Texts().size(), 1);
    EXPECT_TRUE(FBoxes->Texts()[0].startsWith(QStringLiteral("SQL Error on Table: vcSysProgRelease :-\r")));
    EXPECT_TRUE(FBoxes->Texts()[0].endsWith(QStringLiteral("Invalid object name 'vcSysProgRelease'.")));
    EXPECT_EQ(LogMessages(), cStartLines + Lines({"Reading Cloud Program Upgrades....", " "}));
    EXPECT_TRUE(FPauses.isEmpty());
    EXPECT_TRUE(CommonRows().empty());
}

TEST_F(TUpgrade, FailingCommonCheckCopiesWithoutDelete)
{
    AddCommon({QStringLiteral("velTools"), QStringLiteral("1"), Bytes(150)});
    AddCloud({QStringLiteral("velTools"), QStringLiteral("2"), Bytes(150, 'z')});
    FailOn("SELECT [Version]", 50000, "Deadlocked.");
    ASSERT_TRUE(RunProgram());
    ASSERT_EQ(FBoxes->Texts().size(), 1);
    EXPECT_TRUE(FBoxes->Texts()[0].startsWith(QStringLiteral("SQL Error on Table: vcSysProgRelease :-\r")));
    const auto wRows = CommonRows();
    ASSERT_EQ(wRows.size(), 2u);  // the old row stays: nothing was deleted
    EXPECT_EQ(wRows[1].Archive, Bytes(150, 'z'));
}

TEST_F(TUpgrade, FailedInsertIsReportedAndStoresNothing)
{
    AddCloud({QStringLiteral("velDBCommon"), QStringLiteral("1"), Bytes(150)});
    FailOn("INSERT INTO [vcSysProgRelease]", 8152, "String or binary data would be truncated.");
    ASSERT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages(), cStartLines + Lines({"Reading Cloud Program Upgrades....", " ",
                                                  "Validating Program : velDBCommon", "Downloading Program : velDBCommon",
                                                  "Downloading Program : velDBCommon - Download FAILED"}) +
                                 cClosingLines);
    EXPECT_TRUE(CommonRows().empty());
    EXPECT_EQ(FPauses, QList<int>{2000});  // no launch flag
    QFile wError(ProgramFolder() + QStringLiteral("CMNSQLError.TXT"));
    ASSERT_TRUE(wError.open(QIODevice::ReadOnly));
    const QByteArray wText = wError.readAll();
    EXPECT_TRUE(wText.startsWith("INSERT INTO [vcSysProgRelease] ( [Suite]")) << wText.left(80).toStdString();
    EXPECT_TRUE(wText.endsWith("')\r\n"));
}

TEST_F(TUpgrade, ArchiveThatCannotBeStoredLeavesNoRowAndIsCopiedNextRun)
{
    AddCloud({QStringLiteral("velTools"), QStringLiteral("7"), Bytes(3000)});
    // Every try to store the archive loses the connection: the failover's repeat fails too.
    standin::Fault wFault;
    wFault.Match = "SET  [RARFile]";
    wFault.What = standin::Fault::Action::CloseBefore;
    FServer.AddFault(wFault);
    EXPECT_FALSE(RunProgram());
    ASSERT_TRUE(FWindow);
    EXPECT_EQ(FWindow->State(), TfrmMAIN000::TState::Halted);
    ASSERT_EQ(FBoxes->Texts().size(), 1);
    EXPECT_EQ(Statements("VelCommon").filter(QStringLiteral("SET  [RARFile]")).size(), 2);
    EXPECT_EQ(LogMessages(), cStartLines + Lines({"Reading Cloud Program Upgrades....", " ", "Validating Program : velTools",
                                                  "Downloading Program : velTools"}));
    EXPECT_TRUE(CommonRows().empty());

    FServer.ClearFaults();
    NextRun();
    ASSERT_TRUE(RunProgram());
    const auto wRows = CommonRows();
    ASSERT_EQ(wRows.size(), 1u);
    EXPECT_EQ(wRows[0].Archive, Bytes(3000));
}

TEST_F(TUpgrade, CloudSettingsProblemsEndStartUp)
{
    struct TCase {
        const char* Name;
        const char* Setup;   // run on the common database
        const char* Fault;   // a statement that fails, or nullptr
        const char* BoxStart;
        bool Closes;
    };
    const TCase wCases[] = {
        {"no settings row", "DELETE FROM vcControl", nullptr, "Close Settings to the Server NOT Defined", true},
        {"settings statement fails", nullptr, "FROM vcControl", "SQL Error on Table: vcControl :-\r", true},
        {"empty server", "UPDATE vcControl SET Details = ''", nullptr,
         "DataCMN.CommonConnect - Failed to connect to database [VelmoraControl]. Reason: Connection Error: Server "
         "name cannot be empty.", false},
    };
    for (const TCase& c : wCases) {
        SCOPED_TRACE(c.Name);
        FServer.Seed("VelCommon", "DELETE FROM vcControl");
        FServer.Seed("VelCommon", "INSERT INTO vcControl (Suite, Code, DBConnector, Details, DBUser, DBPswd) VALUES "
                                  "('VELMORA', 'CLOUDSVR', 'SQLOLEDB.1', '127.0.0.1," + std::to_string(FServer.Port()) +
                                      "', NULL, NULL)");
        if (c.Setup)
            FServer.Seed("VelCommon", c.Setup);
        FServer.ClearFaults();
        if (c.Fault)
            FailOn(c.Fault);
        NextRun();
        EXPECT_EQ(RunProgram(), c.Closes);
        ASSERT_EQ(FBoxes->Texts().size(), 1);
        EXPECT_TRUE(FBoxes->Texts()[0].startsWith(QString::fromUtf8(c.BoxStart))) << FBoxes->Texts()[0].toStdString();
        EXPECT_EQ(LogMessages(), cStartLines);
        EXPECT_EQ(gRemDBName, c.Closes ? QString() : QStringLiteral("VelmoraControl"));
        EXPECT_TRUE(Statements("VelmoraControl").isEmpty());
        gRemDBName.clear();
    }
}

TEST_F(TUpgrade, CloseDuringTheRunStopsBetweenReleases)
{
    AddCloud({QStringLiteral("a"), QStringLiteral("1"), Bytes(150)});
    AddCloud({QStringLiteral("b"), QStringLiteral("1"), Bytes(150)});
    QObject::connect(FWindow->memNotes, &QPlainTextEdit::textChanged, [this] {
        if (FMemoLines.size() && FMemoLines.last().endsWith(QStringLiteral("Downloading Program : a - Download Complete")))
            QTimer::singleShot(0, FWindow, [this] { FWindow->close(); });
    });
    ASSERT_TRUE(RunProgram());
    EXPECT_TRUE(FBoxes->Texts().isEmpty());
    const auto wRows = CommonRows();
    ASSERT_EQ(wRows.size(), 1u);  // the copy of a is whole; b was never begun
    EXPECT_EQ(wRows[0].Archive, Bytes(150));
    EXPECT_TRUE(LogMessages().filter(QStringLiteral("Program : b")).isEmpty());
}
