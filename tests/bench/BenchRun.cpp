// End-to-end benchmark: the real program copies a 64 MiB and a 256 MiB archive from the cloud
// database into the common one, through the real driver and the stand-in. Prints the run's wall
// time and peak memory beside a floor measured in the same run: reading both archives once
// through our client layer.
#include "DataCMN.h"
#include "StandInEnv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

QByteArray Archive(qsizetype xSize)
{
    QByteArray wBytes(xSize, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (qsizetype i = 0; i < xSize; ++i) {  // not compressible, like a real archive
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        wBytes[i] = static_cast<char>(x);
    }
    return wBytes;
}

QString ConnectString(const veltest::StandInEnv& xEnv, const char* xDatabase)
{
    return TcData::BuildConnectionStr(QStringLiteral("127.0.0.1,%1").arg(xEnv.Port()), QString::fromUtf8(xDatabase),
                                      QString::fromUtf8(veltest::StandInEnv::kUser),
                                      QString::fromUtf8(veltest::StandInEnv::kPassword), QStringLiteral("SQLOLEDB.1"));
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication wApp(argc, argv);
    veltest::StandInEnv wEnv;
    const QString wServer = QStringLiteral("127.0.0.1,%1").arg(wEnv.Port());
    wEnv.Seed(veltest::StandInEnv::kCommon,
              "INSERT INTO vcControl (Suite, Code, DBConnector, Details, DBUser, DBPswd) VALUES ('VELMORA', "
              "'CLOUDSVR', 'SQLOLEDB.1', '" + wServer.toStdString() + "', '" + veltest::StandInEnv::kUser + "', '" +
                  veltest::StandInEnv::kPassword + "')");

    const qsizetype wSizes[] = {64 << 20, 256 << 20};
    TOdbcConnection wCloud;
    wCloud.SetConnectString(ConnectString(wEnv, veltest::StandInEnv::kCloud));
    wCloud.Connect();
    for (const qsizetype wSize : wSizes) {
        TBlobStream wStream(Archive(wSize));
        TOdbcQuery wInsert(&wCloud, true, false);
        wInsert.SQLAdd(QStringLiteral("INSERT INTO vcSysProgRelease (Suite, ProgName, Version, RARFile) VALUES "
                                      "('VELMORA', 'velBig%1', '1.0', :blob)").arg(wSize >> 20));
        wInsert.ParamLoadFromStream(QStringLiteral("blob"), wStream);
        wInsert.ExecSQL();
    }

    // The floor: both archives read once through the client layer, as the copy must read them.
    QElapsedTimer wClock;
    wClock.start();
    {
        TOdbcQuery wRead(&wCloud, false, true);
        wRead.SQLAdd(QStringLiteral("SELECT [RARFile] FROM vcSysProgRelease WITH (NOLOCK)"));
        wRead.Open();
        for (wRead.First(); !wRead.Eof(); wRead.Next())
            wRead.CreateBlobStream(QStringLiteral("RARFile"));
    }
    const double wFloor = static_cast<double>(wClock.elapsed()) / 1000.0;
    wCloud.Close();

    QTemporaryDir wSite;
    const QString wProgram = wSite.filePath(QStringLiteral("velUPD"));
    QFile::copy(QStringLiteral(VELUPD_BINARY), wProgram);
    QFile wIni(wSite.filePath(QStringLiteral("VELMORA.INI")));
    if (!wIni.open(QIODevice::WriteOnly))
        return 2;
    wIni.write(QStringLiteral("[Common]\nHost=%1\nDBName=%2\nUser=%3\nPswd=%4\n")
                   .arg(wServer, QString::fromUtf8(veltest::StandInEnv::kCommon),
                        QString::fromUtf8(veltest::StandInEnv::kUser), QString::fromUtf8(veltest::StandInEnv::kPassword))
                   .toUtf8());
    wIni.close();

    QProcess wRun;
    QProcessEnvironment wEnvVars = QProcessEnvironment::systemEnvironment();
    wEnvVars.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    wRun.setProcessEnvironment(wEnvVars);
    wRun.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    wClock.restart();
    // BENCH_WRAP names a tool to run the program under (a profiler), with its arguments.
    QStringList wCommand = QString::fromLocal8Bit(qgetenv("BENCH_WRAP")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    wCommand.append(wProgram);
    wRun.start(wCommand.takeFirst(), wCommand);
    // The high-water mark of the program's resident memory, read while it runs: the program ends
    // with a 2 s pause, well after its peak. (A fork's inherited pages make getrusage useless here.)
    double wPeakMiB = 0;
    const QString wStatus = QStringLiteral("/proc/%1/status").arg(wRun.processId());
    while (!wRun.waitForFinished(100)) {
        QFile wFile(wStatus);
        if (!wFile.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& wLine : wFile.readAll().split('\n'))
            if (wLine.startsWith("VmHWM:"))
                wPeakMiB = wLine.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
        if (wClock.elapsed() > 600000)
            break;
    }
    if (wRun.state() != QProcess::NotRunning || wRun.exitCode() != 0) {
        std::fprintf(stderr, "velUPD failed\n");
        return 1;
    }
    const double wWall = static_cast<double>(wClock.elapsed()) / 1000.0;

    const auto wRows = wEnv.Rows(veltest::StandInEnv::kCommon,
                                 "SELECT ProgName, DATALENGTH(RARFile) FROM vcSysProgRelease ORDER BY ProgName");
    bool wOk = wRows.size() == 2;
    for (size_t i = 0; wOk && i < 2; ++i)
        wOk = wRows[i][1] && std::stoll(*wRows[i][1]) == wSizes[i == 0 ? 1 : 0];
    // The start-up timer and the closing pause are fixed waits of the program: 2 s each.
    const double wWork = wWall - 4.0;
    std::printf("archives copied: 64 MiB + 256 MiB (%s)\n", wOk ? "both stored, sizes checked" : "MISSING");
    std::printf("velUPD wall time:        %7.2f s (of which 4.00 s fixed timer and pause)\n", wWall);
    std::printf("velUPD work time:        %7.2f s = %.1f MiB/s\n", wWork, 320.0 / wWork);
    std::printf("floor, one read of both: %7.2f s; work / floor = %.2f\n", wFloor, wWork / wFloor);
    std::printf("velUPD peak memory:      %7.1f MiB = %.2f x the largest archive\n", wPeakMiB, wPeakMiB / 256.0);
    return wOk ? 0 : 1;
}
