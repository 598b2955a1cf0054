// The database upgrade launch after the scan: archives written to the Upgrades folder,
// unpacked and started with "AUTO".
#include "UpgradeFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

}  // namespace

class TLaunch : public TUpgradeFixture {
protected:
    QString Upgrades() const { return ProgramFolder() + QStringLiteral("Upgrades/"); }
    QByteArray ProgramZip(const QString& xName, const QString& xPath = QString())
    {
        return MakeZip({{xPath.isEmpty() ? xName + QStringLiteral(".exe") : xPath, UpgradeScript(xName)},
                        {QStringLiteral("lib/") + xName + QStringLiteral(".dat"), Bytes(300)}});
    }
    // The started programs write their lines themselves, a moment after the start.
    QStringList Started(int xExpected, int xTimeoutMs = 5000) const
    {
        QStringList wLines;
        QElapsedTimer wClock;
        wClock.start();
        do {
            QFile wFile(Upgrades() + QStringLiteral("started.txt"));
            if (wFile.open(QIODevice::ReadOnly))
                wLines = QString::fromUtf8(wFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            if (wLines.size() >= xExpected)
                break;
            QThread::msleep(20);
        } while (wClock.elapsed() < xTimeoutMs);
        for (QString& wLine : wLines)
            wLine = wLine.section(QLatin1Char(' '), 0, 1);  // name and argument; the time is for the real run
        return wLines;
    }
    // Runs xAction on the common database when the log reaches xLine.
    void AtLine(const QString& xLine, std::string xSql)
    {
        QObject::connect(FWindow->memNotes, &QPlainTextEdit::textChanged, [this, xLine, xSql] {
            if (!FMemoLines.isEmpty() && FMemoLines.last().endsWith(QStringLiteral("] ") + xLine))
                FServer.Query("VelCommon", xSql);
        });
    }
};

TEST_F(TLaunch, BothProgramsCommonFirstThenTheSuiteAfterThePause)
{
    AddCloud({QStringLiteral("velDBCommon"), QStringLiteral("5.1"), ProgramZip(QStringLiteral("velDBCommon"))});
    AddCloud({QStringLiteral("velDBVelmora"), QStringLiteral("5.1"), ProgramZip(QStringLiteral("velDBVelmora"))});
    // The shortened pause lasts until the common program has reported, as the real one would.
    pf_SetSleepHook([this](int xMs) {
        FPauses.append(xMs);
        if (xMs == 30000)
            Started(1);
    });
    ASSERT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages(), cStartLines + Lines({"Reading Cloud Program Upgrades....", " ",
                                                  "Validating Program : velDBCommon", "Downloading Program : velDBCommon",
                                                  "Downloading Program : velDBCommon - Download Complete",
                                                  "Validating Program : velDBVelmora", "Downloading Program : velDBVelmora",
                                                  "Downloading Program : velDBVelmora - Download Complete", " ",
                                                  "Running Common Database Upgrade", " ",
                                                  "Running Velmora Database Upgrade"}) +
                                 cClosingLines);
    EXPECT_EQ(FPauses, (QList<int>{30000, 2000}));
    for (const char* wName : {"velDBCommon", "velDBVelmora"})
        EXPECT_EQ(Statements("VelCommon").count(QStringLiteral("SELECT * FROM vcSysProgRelease WITH (NOLOCK) \r\n WHERE "
                                                               "[Suite] = 'VELMORA'\r\n AND [ProgName] = '%1'")
                                                    .arg(QString::fromUtf8(wName))),
                  1) << wName;
    EXPECT_EQ(Started(2), (QStringList{QStringLiteral("velDBCommon AUTO"), QStringLiteral("velDBVelmora AUTO")}));
    for (const char* wFile : {"velDBCommon.ZIP", "velDBVelmora.ZIP", "velDBCommon.exe", "velDBVelmora.exe",
                              "lib/velDBCommon.dat", "lib/velDBVelmora.dat"})
        EXPECT_TRUE(QFileInfo::exists(Upgrades() + QString::fromUtf8(wFile))) << wFile;
    QFile wZip(Upgrades() + QStringLiteral("velDBCommon.ZIP"));
    ASSERT_TRUE(wZip.open(QIODevice::ReadOnly));
    EXPECT_EQ(wZip.readAll(), CommonRows()[0].Archive.value_or(QByteArray()));
    EXPECT_TRUE(QDir(Upgrades()).entryList(QStringList{QStringLiteral("*.tmp*"), QStringLiteral("*~*")}, QDir::Files).isEmpty());
}

TEST_F(TLaunch, OneFlagEach)
{
    for (const QString wName : {QStringLiteral("velDBCommon"), QStringLiteral("velDBVelmora")}) {
        SCOPED_TRACE(wName.toStdString());
        FServer.Seed("VelmoraControl", "DELETE FROM vcSysProgRelease");
        QFile::remove(Upgrades() + QStringLiteral("started.txt"));
        AddCloud({wName, QStringLiteral("1"), ProgramZip(wName)});
        NextRun();
        ASSERT_TRUE(RunProgram());
        const bool wCommon = wName == QStringLiteral("velDBCommon");
        EXPECT_EQ(FPauses, wCommon ? (QList<int>{30000, 2000}) : (QList<int>{2000}));
        EXPECT_EQ(Started(1), QStringList{wName + QStringLiteral(" AUTO")});
        EXPECT_TRUE(LogMessages().contains(wCommon ? QStringLiteral("Running Common Database Upgrade")
                                                   : QStringLiteral("Running Velmora Database Upgrade")));
    }
}

TEST_F(TLaunch, ArchiveOf100BytesReplacesAStaleOneAndIsNeverStartedInItsPlace)
{
    // An earlier run left a working archive behind.
    QDir().mkpath(Upgrades());
    QFile wStale(Upgrades() + QStringLiteral("velDBCommon.ZIP"));
    ASSERT_TRUE(wStale.open(QIODevice::WriteOnly));
    wStale.write(ProgramZip(QStringLiteral("velDBCommon")));
    wStale.close();

    AddCloud({QStringLiteral("velDBCommon"), QStringLiteral("2"), Bytes(100)});
    EXPECT_FALSE(RunProgram());
    ASSERT_EQ(FBoxes->Texts().size(), 1);  // the 100 bytes are written and are no archive
    EXPECT_EQ(FWindow->State(), TfrmMAIN000::TState::Halted);
    QFile wWritten(Upgrades() + QStringLiteral("velDBCommon.ZIP"));
    ASSERT_TRUE(wWritten.open(QIODevice::ReadOnly));
    EXPECT_EQ(wWritten.readAll(), Bytes(100));
    EXPECT_TRUE(Started(1, 500).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(Upgrades() + QStringLiteral("velDBCommon.exe")));
    EXPECT_FALSE(LogMessages().contains(QStringLiteral("***  Program Upgrade Complete  ***")));
}

TEST_F(TLaunch, NothingToStart)
{
    struct TCase {
        const char* Name;
        const char* Path;     // where the archive keeps the executable
        const char* AtRun;    // statement on the common database when the launch begins
        bool Halts;
    };
    const TCase wCases[] = {
        {"executable only in a sub-folder", "bin/velDBCommon.exe", nullptr, false},
        {"no common row", nullptr, "DELETE FROM vcSysProgRelease", false},
        {"no archive and no file", nullptr, "UPDATE vcSysProgRelease SET RARFile = NULL", true},
    };
    for (const TCase& c : wCases) {
        SCOPED_TRACE(c.Name);
        FServer.Seed("VelmoraControl", "DELETE FROM vcSysProgRelease");
        FServer.Seed("VelCommon", "DELETE FROM vcSysProgRelease");
        QDir(Upgrades()).removeRecursively();
        QDir().mkpath(Upgrades());
        AddCloud({QStringLiteral("velDBCommon"), QStringLiteral("3"),
                  ProgramZip(QStringLiteral("velDBCommon"), c.Path ? QString::fromUtf8(c.Path) : QString())});
        NextRun();
        if (c.AtRun)
            AtLine(QStringLiteral("Running Common Database Upgrade"), c.AtRun);
        EXPECT_EQ(RunProgram(), !c.Halts);
        EXPECT_EQ(FBoxes->Texts().size(), c.Halts ? 1 : 0);
        EXPECT_TRUE(Started(1, 500).isEmpty());
        EXPECT_EQ(FPauses, c.Halts ? QList<int>{} : (QList<int>{30000, 2000}));
        if (c.Path)
            EXPECT_TRUE(QFileInfo::exists(Upgrades() + QString::fromUtf8(c.Path)));
        if (c.AtRun && !c.Halts)
            EXPECT_FALSE(QFileInfo::exists(Upgrades() + QStringLiteral("velDBCommon.ZIP")));
    }
}
