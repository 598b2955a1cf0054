// The real program, started as a user or a service manager would start it.
#include "UpgradeFixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

namespace {

// A copy of the built program in a folder of its own, with the machine settings file beside it.
class TProgramCopy {
public:
    explicit TProgramCopy(const QString& xFolder) : FFolder(xFolder)
    {
        QFile::remove(Program());
        EXPECT_TRUE(QFile::copy(QStringLiteral(VELUPD_BINARY), Program()));
    }
    QString Program() const { return FFolder + QStringLiteral("velUPD"); }
    void Start()
    {
        FProcess.setProgram(Program());
        FProcess.setWorkingDirectory(FFolder);
        QProcessEnvironment wEnv = QProcessEnvironment::systemEnvironment();
        wEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        FProcess.setProcessEnvironment(wEnv);
        FProcess.start();
        ASSERT_TRUE(FProcess.waitForStarted());
    }
    bool WaitForExit(int xMs) { return FProcess.waitForFinished(xMs); }
    // The lines the program wrote to standard error that are log lines, time stamps cut off.
    QStringList LogMessages()
    {
        FErr += QString::fromUtf8(FProcess.readAllStandardError());
        static const QRegularExpression wStamp(QStringLiteral("^\\[\\d{4}/\\d{2}/\\d{2}-\\d{2}:\\d{2}:\\d{2}\\] (.*)$"));
        QStringList wLines;
        for (const QString& wLine : FErr.split(QLatin1Char('\n'))) {
            const QRegularExpressionMatch m = wStamp.match(wLine);
            if (m.hasMatch())
                wLines.append(m.captured(1));
        }
        return wLines;
    }
    // Waits for a line of standard error that begins with xStart.
    bool WaitForErrLine(const QString& xStart, int xMs)
    {
        QElapsedTimer wClock;
        wClock.start();
        while (wClock.elapsed() < xMs) {
            FProcess.waitForReadyRead(100);
            FErr += QString::fromUtf8(FProcess.readAllStandardError());
            for (const QString& wLine : FErr.split(QLatin1Char('\n')))
                if (wLine.startsWith(xStart))
                    return true;
        }
        return false;
    }
    QProcess FProcess;

private:
    QString FFolder;
    QString FErr;
};

}  // namespace

using TBinary = TUpgradeFixture;

TEST_F(TBinary, FileWithoutVersionBlockShowsTheBoxAndWaitsForIt)
{
    TProgramCopy wCopy(ProgramFolder());
    ASSERT_EQ(QProcess::execute(QStringLiteral("objcopy"),
                                {QStringLiteral("--remove-section"), QStringLiteral(".velver"), wCopy.Program()}),
              0);
    wCopy.Start();
    EXPECT_TRUE(wCopy.WaitForErrLine(QStringLiteral("Get Program Version FAILED"), 20000));
    // The box is modal: nothing of the chain goes on until it is closed.
    EXPECT_TRUE(wCopy.LogMessages().isEmpty());
    EXPECT_EQ(wCopy.FProcess.state(), QProcess::Running);
    wCopy.FProcess.kill();
    wCopy.WaitForExit(5000);
}

TEST_F(TBinary, UnreachableCommonServerShowsTheConnectErrorAndStaysOpen)
{
    WriteIni(QStringLiteral("[Common]\nHost=127.0.0.1,1\nDBName=VelCommon\nUser=velupd\nPswd=x\n"));
    TProgramCopy wCopy(ProgramFolder());
    wCopy.Start();
    EXPECT_TRUE(wCopy.WaitForErrLine(
        QStringLiteral("DataCMN.CommonConnect - Failed to connect to database [VelCommon]. Reason: [FreeTDS]"), 30000));
    EXPECT_EQ(wCopy.LogMessages(), (QStringList{QStringLiteral("Reading System Registory...."), QStringLiteral(" "),
                                                QStringLiteral("Connecting to Common...."), QStringLiteral(" ")}));
    EXPECT_EQ(wCopy.FProcess.state(), QProcess::Running);  // halted, the box waits for its OK
    wCopy.FProcess.kill();
    wCopy.WaitForExit(5000);
}

TEST_F(TBinary, WholeRunCopiesAndStartsBothUpgradeProgramsThenAgainFindsAllUpToDate)
{
    for (const QString wName : {QStringLiteral("velDBCommon"), QStringLiteral("velDBVelmora")})
        AddCloud({wName, QStringLiteral("8.2"), MakeZip({{wName + QStringLiteral(".exe"), UpgradeScript(wName)}})});

    TProgramCopy wCopy(ProgramFolder());
    wCopy.Start();
    ASSERT_TRUE(wCopy.WaitForExit(120000));
    EXPECT_EQ(wCopy.FProcess.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(wCopy.FProcess.exitCode(), 0);
    const QStringList wLog = wCopy.LogMessages();
    EXPECT_EQ(wLog.mid(0, 6), cStartLines);
    EXPECT_EQ(wLog.mid(wLog.size() - 8),
              (QStringList{QStringLiteral(" "), QStringLiteral("Running Common Database Upgrade"), QStringLiteral(" "),
                           QStringLiteral("Running Velmora Database Upgrade")} + cClosingLines));
    EXPECT_EQ(CommonRows().size(), 2u);

    // Both programs report their start; the suite's came at least 30 s after the common one's.
    QStringList wStarted;
    for (int i = 0; i < 100 && wStarted.size() < 2; ++i) {
        QFile wFile(ProgramFolder() + QStringLiteral("Upgrades/started.txt"));
        if (wFile.open(QIODevice::ReadOnly))
            wStarted = QString::fromUtf8(wFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QThread::msleep(50);
    }
    ASSERT_EQ(wStarted.size(), 2);
    EXPECT_TRUE(wStarted[0].startsWith(QStringLiteral("velDBCommon AUTO ")));
    EXPECT_TRUE(wStarted[1].startsWith(QStringLiteral("velDBVelmora AUTO ")));
    const double wGap = wStarted[1].section(QLatin1Char(' '), 2).toDouble() - wStarted[0].section(QLatin1Char(' '), 2).toDouble();
    EXPECT_GE(wGap, 30.0);

    TProgramCopy wAgain(ProgramFolder());
    wAgain.Start();
    ASSERT_TRUE(wAgain.WaitForExit(60000));
    EXPECT_EQ(wAgain.FProcess.exitCode(), 0);
    EXPECT_EQ(wAgain.LogMessages().filter(QStringLiteral(" is Up To Date")).size(), 2);
}
