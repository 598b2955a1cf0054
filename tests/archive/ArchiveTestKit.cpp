#include "ArchiveTestKit.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <memory>

namespace ArchiveTestKit {

QString FindTool(const QString& xName) { return QStandardPaths::findExecutable(xName); }

QByteArray RunTool(const QString& xName, const QStringList& xArgs, const QString& xWorkDir, const QByteArray& xStdin) {
    QProcess wProc;
    wProc.setProgram(FindTool(xName));
    wProc.setArguments(xArgs);
    if (!xWorkDir.isEmpty())
        wProc.setWorkingDirectory(xWorkDir);
    wProc.start();
    if (!wProc.waitForStarted()) {
        ADD_FAILURE() << "cannot start " << xName.toStdString();
        return {};
    }
    wProc.write(xStdin);
    wProc.closeWriteChannel();
    wProc.waitForFinished(120000);
    const QByteArray wOut = wProc.readAllStandardOutput();
    EXPECT_TRUE(wProc.exitStatus() == QProcess::NormalExit && wProc.exitCode() == 0)
        << xName.toStdString() << " " << xArgs.join(' ').toStdString() << " failed:\n"
        << wProc.readAllStandardError().toStdString();
    return wOut;
}

void WriteFile(const QString& xPath, const QByteArray& xData) {
    QDir().mkpath(QFileInfo(xPath).path());
    QFile wFile(xPath);
    ASSERT_TRUE(wFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) << xPath.toStdString();
    ASSERT_EQ(wFile.write(xData), xData.size());
}

QByteArray ReadFile(const QString& xPath) {
    QFile wFile(xPath);
    if (!wFile.open(QIODevice::ReadOnly))
        return {};
    return wFile.readAll();
}

namespace {
struct TRandom {
    std::uint64_t State;
    explicit TRandom(std::uint32_t xSeed) : State(0x9E3779B97F4A7C15ull ^ xSeed) {}
    std::uint32_t Next() {
        State ^= State << 13;
        State ^= State >> 7;
        State ^= State << 17;
        return static_cast<std::uint32_t>(State >> 16);
    }
};
}  // namespace

QByteArray RandomBytes(std::size_t xSize, std::uint32_t xSeed) {
    TRandom wRandom(xSeed);
    QByteArray wData(static_cast<qsizetype>(xSize), Qt::Uninitialized);
    for (auto& c : wData)
        c = static_cast<char>(wRandom.Next());
    return wData;
}

QByteArray PseudoText(std::size_t xSize, std::uint32_t xSeed) {
    TRandom wRandom(xSeed);
    std::vector<QByteArray> wWords;
    for (int i = 0; i < 3000; ++i) {
        QByteArray wWord;
        const int wLen = 2 + static_cast<int>(wRandom.Next() % 9);
        for (int k = 0; k < wLen; ++k)
            wWord += static_cast<char>('a' + wRandom.Next() % 26);
        wWords.push_back(wWord);
    }
    QByteArray wText;
    wText.reserve(static_cast<qsizetype>(xSize) + 16);
    while (static_cast<std::size_t>(wText.size()) < xSize) {
        // Skewed towards the first words, as in real text.
        const std::uint32_t r = wRandom.Next();
        wText += wWords[(r % 3000) * ((r >> 12) % 3000) / 3000];
        wText += (r >> 28) == 0 ? '\n' : ' ';
    }
    wText.truncate(static_cast<qsizetype>(xSize));
    return wText;
}

QByteArray FarMatches() {
    QByteArray wData;
    const QByteArray wFar = RandomBytes(50000, 1);   // repeats at 50000: distance code 31
    const QByteArray wNear = RandomBytes(40000, 2);  // repeats at 40000: distance code 30
    for (int i = 0; i < 5; ++i)
        wData += wFar;
    for (int i = 0; i < 4; ++i)
        wData += wNear;
    wData += QByteArray(300000, 'z');
    wData += PseudoText(100000, 3);
    return wData;
}

std::map<QString, TNode> Snapshot(const QString& xFolder) {
    std::map<QString, TNode> wTree;
    const QDir wRoot(xFolder);
    QDirIterator wIt(xFolder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                     QDirIterator::Subdirectories);
    while (wIt.hasNext()) {
        wIt.next();
        const QFileInfo wInfo = wIt.fileInfo();
        TNode wNode;
        wNode.IsDir = wInfo.isDir() && !wInfo.isSymLink();
        if (wInfo.isSymLink())
            wNode.Data = "<link to " + wInfo.symLinkTarget().toUtf8() + ">";
        else if (!wNode.IsDir)
            wNode.Data = ReadFile(wInfo.filePath());
#ifndef _WIN32
        wNode.Executable = !wNode.IsDir && (wInfo.permissions() & QFileDevice::ExeOwner);
#endif
        wTree[wRoot.relativeFilePath(wInfo.filePath())] = wNode;
    }
    return wTree;
}

QString Diff(const std::map<QString, TNode>& xExpected, const std::map<QString, TNode>& xActual) {
    QString wText;
    for (const auto& [wPath, wNode] : xExpected) {
        const auto wIt = xActual.find(wPath);
        if (wIt == xActual.end())
            wText += QStringLiteral("missing: %1\n").arg(wPath);
        else if (wIt->second.IsDir != wNode.IsDir)
            wText += QStringLiteral("kind differs: %1\n").arg(wPath);
        else if (wIt->second.Data != wNode.Data)
            wText += QStringLiteral("content differs: %1 (%2 bytes, expected %3)\n")
                         .arg(wPath)
                         .arg(wIt->second.Data.size())
                         .arg(wNode.Data.size());
        else if (wIt->second.Executable != wNode.Executable)
            wText += QStringLiteral("execute bit differs: %1\n").arg(wPath);
    }
    for (const auto& [wPath, wNode] : xActual)
        if (!xExpected.contains(wPath))
            wText += QStringLiteral("unexpected: %1\n").arg(wPath);
    return wText;
}

namespace {
void Put16(QByteArray& x, std::uint32_t v) {
    x += static_cast<char>(v & 0xFF);
    x += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(QByteArray& x, std::uint32_t v) {
    Put16(x, v & 0xFFFF);
    Put16(x, v >> 16);
}
void Put64(QByteArray& x, std::uint64_t v) {
    Put32(x, static_cast<std::uint32_t>(v));
    Put32(x, static_cast<std::uint32_t>(v >> 32));
}
}  // namespace

QByteArray BuildZip(const std::vector<TRawEntry>& xEntries, bool xZip64) {
    constexpr std::uint32_t cMadeBy = (3u << 8) | 45u;  // Unix host, format 4.5
    const std::uint32_t wNeeded = xZip64 ? 45 : 20;
    const std::uint32_t cUtf8Names = 0x0800;
    QByteArray wZip, wCentral;
    for (const TRawEntry& wEntry : xEntries) {
        const auto wOffset = static_cast<std::uint64_t>(wZip.size());
        const auto wSize = static_cast<std::uint32_t>(wEntry.Data.size());
        const QByteArray& wStored = wEntry.Method == 0 ? wEntry.Data : wEntry.Compressed;
        const auto wCompSize = static_cast<std::uint32_t>(wStored.size());
        const auto wCrc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(wEntry.Data.constData()), static_cast<uInt>(wEntry.Data.size())));
        const auto wNameLen = static_cast<std::uint32_t>(wEntry.Name.size());

        Put32(wZip, 0x04034b50);
        Put16(wZip, wNeeded);
        Put16(wZip, cUtf8Names);
        Put16(wZip, wEntry.Method);
        Put16(wZip, 0);       // time
        Put16(wZip, 0x0021);  // 1980-01-01
        Put32(wZip, wCrc);
        Put32(wZip, xZip64 ? 0xFFFFFFFF : wCompSize);
        Put32(wZip, xZip64 ? 0xFFFFFFFF : wSize);
        Put16(wZip, wNameLen);
        Put16(wZip, xZip64 ? 20 : 0);
        wZip += wEntry.Name;
        if (xZip64) {
            Put16(wZip, 1);
            Put16(wZip, 16);
            Put64(wZip, wSize);
            Put64(wZip, wCompSize);
        }
        wZip += wStored;

        Put32(wCentral, 0x02014b50);
        Put16(wCentral, cMadeBy);
        Put16(wCentral, wNeeded);
        Put16(wCentral, cUtf8Names);
        Put16(wCentral, wEntry.Method);
        Put16(wCentral, 0);
        Put16(wCentral, 0x0021);
        Put32(wCentral, wCrc);
        Put32(wCentral, xZip64 ? 0xFFFFFFFF : wCompSize);
        Put32(wCentral, xZip64 ? 0xFFFFFFFF : wSize);
        Put16(wCentral, wNameLen);
        Put16(wCentral, xZip64 ? 28 : 0);
        Put16(wCentral, 0);  // comment
        Put16(wCentral, 0);  // disk
        Put16(wCentral, 0);  // internal attributes
        Put32(wCentral, wEntry.UnixMode << 16);
        Put32(wCentral, xZip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(wOffset));
        wCentral += wEntry.Name;
        if (xZip64) {
            Put16(wCentral, 1);
            Put16(wCentral, 24);
            Put64(wCentral, wSize);
            Put64(wCentral, wCompSize);
            Put64(wCentral, wOffset);
        }
    }
    const auto wCentralOffset = static_cast<std::uint64_t>(wZip.size());
    const auto wCentralSize = static_cast<std::uint64_t>(wCentral.size());
    const auto wCount = static_cast<std::uint64_t>(xEntries.size());
    wZip += wCentral;
    if (xZip64) {
        const auto wRecordOffset = static_cast<std::uint64_t>(wZip.size());
        Put32(wZip, 0x06064b50);
        Put64(wZip, 44);
        Put16(wZip, cMadeBy);
        Put16(wZip, wNeeded);
        Put32(wZip, 0);
        Put32(wZip, 0);
        Put64(wZip, wCount);
        Put64(wZip, wCount);
        Put64(wZip, wCentralSize);
        Put64(wZip, wCentralOffset);
        Put32(wZip, 0x07064b50);
        Put32(wZip, 0);
        Put64(wZip, wRecordOffset);
        Put32(wZip, 1);
    }
    Put32(wZip, 0x06054b50);
    Put16(wZip, 0);
    Put16(wZip, 0);
    Put16(wZip, xZip64 ? 0xFFFF : static_cast<std::uint32_t>(wCount));
    Put16(wZip, xZip64 ? 0xFFFF : static_cast<std::uint32_t>(wCount));
    Put32(wZip, xZip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(wCentralSize));
    Put32(wZip, xZip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(wCentralOffset));
    Put16(wZip, 0);
    return wZip;
}

QByteArray RawEntryData(const QString& xArchive, const QString& xName, int* xMethod) {
    int wError = 0;
    std::unique_ptr<zip_t, decltype(&zip_discard)> wZip(zip_open(QFile::encodeName(xArchive).constData(), ZIP_RDONLY, &wError),
                                                        &zip_discard);
    if (!wZip) {
        ADD_FAILURE() << "cannot open " << xArchive.toStdString();
        return {};
    }
    zip_stat_t wStat;
    if (zip_stat(wZip.get(), xName.toUtf8().constData(), 0, &wStat) != 0) {
        ADD_FAILURE() << zip_strerror(wZip.get());
        return {};
    }
    if (xMethod)
        *xMethod = wStat.comp_method;
    std::unique_ptr<zip_file_t, decltype(&zip_fclose)> wFile(zip_fopen_index(wZip.get(), wStat.index, ZIP_FL_COMPRESSED),
                                                             &zip_fclose);
    if (!wFile) {
        ADD_FAILURE() << zip_strerror(wZip.get());
        return {};
    }
    QByteArray wData;
    char wBuf[65536];
    for (zip_int64_t n; (n = zip_fread(wFile.get(), wBuf, sizeof wBuf)) > 0;)
        wData.append(wBuf, static_cast<qsizetype>(n));
    return wData;
}

std::size_t FirstEntryDataOffset(const QByteArray& xArchive) {
    const auto At16 = [&](int i) {
        return static_cast<std::size_t>(static_cast<unsigned char>(xArchive[i]) |
                                        static_cast<unsigned char>(xArchive[i + 1]) << 8);
    };
    return 30 + At16(26) + At16(28);
}

}  // namespace ArchiveTestKit
