#include "UpgradeFixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {
const std::string cCommon = veltest::StandInEnv::kCommon;
const std::string cCloud = veltest::StandInEnv::kCloud;
// The cloud login has a password that needs braces and doubled ones in a connection string.
const char* cCloudUser = "velcloud";
const char* cCloudPassword = "Up;d{ate}1";

std::string SqlText(const QString& xValue)
{
    return sg_QuotedStr(xValue).toStdString();
}

std::string SqlBinary(const QByteArray& xValue)
{
    return xValue.isEmpty() ? std::string("NULL") : "0x" + xValue.toHex().toStdString();
}
}  // namespace

const QStringList TUpgradeFixture::cStartLines{
    QStringLiteral("Reading System Registory...."), QStringLiteral(" "), QStringLiteral("Connecting to Common...."),
    QStringLiteral(" "), QStringLiteral("Connecting to VELMORA Cloud...."), QStringLiteral(" ")};
const QStringList TUpgradeFixture::cClosingLines{QStringLiteral(" "), QStringLiteral(" "),
                                                 QStringLiteral("***  Program Upgrade Complete  ***"),
                                                 QStringLiteral(" ")};

void TUpgradeFixture::SetUp()
{
    TWindowFixture::SetUp();
    FServer.AddUser(cCloudUser, cCloudPassword);
    const std::string wServer = "127.0.0.1," + std::to_string(FServer.Port());
    FServer.Seed(cCommon, "INSERT INTO vcControl (Suite, Code, DBConnector, Details, DBUser, DBPswd) VALUES "
                          "('VELMORA', 'CLOUDSVR', 'SQLOLEDB.1', '" + wServer + "', '" + cCloudUser + "', '" + cCloudPassword + "')");
    WriteIni(QStringLiteral("[Common]\nConnector=SQLOLEDB.1\nHost=%1\nDBName=%2\nUser=%3\nPswd=%4\n")
                 .arg(QString::fromStdString(wServer), QString::fromStdString(cCommon),
                      QString::fromUtf8(veltest::StandInEnv::kUser), QString::fromUtf8(veltest::StandInEnv::kPassword)));
    FServer.ClearRequests();
}

void TUpgradeFixture::TearDown()
{
    TWindowFixture::TearDown();
    FServer.Stop();
}

void TUpgradeFixture::AddCloud(const TRelease& x)
{
    FServer.Seed(cCloud, "INSERT INTO vcSysProgRelease (Suite, ProgName, Description, Version, Critical, MinDBVersion, "
                         "Notes, RARFile) VALUES ('VELMORA', " + SqlText(x.ProgName) + ", " + SqlText(x.Description) +
                             ", " + SqlText(x.Version) + ", 'N', '1.0', " + SqlText(x.Notes) + ", " +
                             SqlBinary(x.Archive) + ")");
    FServer.ClearRequests();
}

void TUpgradeFixture::AddCommon(const TRelease& x)
{
    FServer.Seed(cCommon, "INSERT INTO vcSysProgRelease (Suite, ProgName, Description, Version, Critical, "
                          "MinDBVersion, Notes, UploadDate, UploadTime, RARFile) VALUES ('VELMORA', " +
                              SqlText(x.ProgName) + ", " + SqlText(x.Description) + ", " + SqlText(x.Version) +
                              ", 'N', '1.0', " + SqlText(x.Notes) + ", '2020/01/01', '00:00:00', " +
                              SqlBinary(x.Archive) + ")");
    FServer.ClearRequests();
}

std::vector<TUpgradeFixture::TCommonRow> TUpgradeFixture::CommonRows()
{
    std::vector<TCommonRow> wRows;
    for (const standin::Row& r : FServer.Query(cCommon, "SELECT Suite, ProgName, Description, Version, Critical, "
                                                        "MinDBVersion, Notes, UploadDate, UploadTime, RARFile "
                                                        "FROM vcSysProgRelease ORDER BY RecID")) {
        const auto wText = [&r](size_t i) { return r[i] ? QString::fromStdString(*r[i]) : QString(); };
        TCommonRow wRow{wText(0), wText(1), wText(2), wText(3), wText(4), wText(5), wText(6), wText(7), wText(8), {}};
        if (r[9])
            wRow.Archive = QByteArray::fromStdString(*r[9]);
        wRows.push_back(wRow);
    }
    return wRows;
}

QStringList TUpgradeFixture::Statements(const std::string& xDatabase) const
{
    QStringList wTexts;
    for (const standin::Request& r : FServer.Requests())
        if (r.Database == xDatabase && r.Kind != "tm")
            wTexts.append(QString::fromStdString(r.Text));
    return wTexts;
}

void TUpgradeFixture::FailOn(const std::string& xMatch, int xNumber, const std::string& xMessage)
{
    standin::Fault wFault;
    wFault.Match = xMatch;
    wFault.ErrorNumber = xNumber;
    wFault.ErrorMessage = xMessage;
    FServer.AddFault(wFault);
}

void TUpgradeFixture::NextRun()
{
    delete FWindow.data();
    delete cData;
    delete sData;
    FPauses.clear();
    CreateModules();
    FBoxes = std::make_unique<TBoxRecorder>();
    FServer.ClearRequests();
}

QByteArray TUpgradeFixture::Bytes(int xSize, char xSeed)
{
    QByteArray wBytes(xSize, Qt::Uninitialized);
    for (int i = 0; i < xSize; ++i)
        wBytes[i] = static_cast<char>(xSeed + (i * 7) % 23);
    return wBytes;
}

QByteArray TUpgradeFixture::MakeZip(const QList<std::pair<QString, QByteArray>>& xFiles) const
{
    QTemporaryDir wDir;
    QStringList wNames;
    for (const auto& [wName, wContent] : xFiles) {
        const QString wPath = wDir.filePath(wName);
        QDir().mkpath(QFileInfo(wPath).path());
        QFile wFile(wPath);
        if (!wFile.open(QIODevice::WriteOnly))
            return {};
        wFile.write(wContent);
        wFile.close();
        if (wName.endsWith(QStringLiteral(".exe")))
            wFile.setPermissions(wFile.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
        wNames.append(wName);
    }
    QProcess wZip;
    wZip.setWorkingDirectory(wDir.path());
    wZip.start(QStringLiteral("zip"), QStringList{QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("out.zip")} + wNames);
    if (!wZip.waitForFinished(30000) || wZip.exitCode() != 0)
        return {};
    QFile wOut(wDir.filePath(QStringLiteral("out.zip")));
    return wOut.open(QIODevice::ReadOnly) ? wOut.readAll() : QByteArray();
}

QByteArray TUpgradeFixture::UpgradeScript(const QString& xName)
{
    // Appends "name argument start-time" to started.txt beside itself.
    return QStringLiteral("#!/bin/sh\nprintf '%s %s %s\\n' '%1' \"$1\" \"$(date +%s.%N)\" >> \"$(dirname \"$0\")/started.txt\"\n")
        .arg(xName)
        .toUtf8();
}
