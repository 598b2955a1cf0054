// The archive reader against archives made by real tools, checked against what Info-ZIP's unzip
// extracts from the same archive, and against broken and hostile archives.
#include "ArchiveTestKit.h"
#include "Error.h"
#include "ZipReader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace ArchiveTestKit;

namespace {

class ZipReaderTest : public ::testing::Test {
protected:
    QTemporaryDir FTmp;
    QString FSrc;

    void SetUp() override {
        for (const char* wTool : {"zip", "unzip", "7zz"})
            if (FindTool(QString::fromLatin1(wTool)).isEmpty())
                GTEST_SKIP() << wTool << " is not installed";
        FSrc = Path("src");
        WriteFile(FSrc + "/small.txt", "hello\n");
        WriteFile(FSrc + "/empty.bin", {});
        QDir().mkpath(FSrc + "/emptydir");
        WriteFile(FSrc + "/sub/deeper/notes.txt", PseudoText(10000, 21));
        WriteFile(FSrc + "/sub/random.bin", RandomBytes(200000, 22));
        WriteFile(FSrc + "/far.bin", FarMatches());
        WriteFile(FSrc + "/big.txt", PseudoText(2'500'000, 23));
        WriteFile(FSrc + "/tool.sh", "#!/bin/sh\necho ran\n");
        QFile::setPermissions(FSrc + "/tool.sh", QFile::permissions(FSrc + "/tool.sh") | QFileDevice::ExeOwner |
                                                     QFileDevice::ExeGroup | QFileDevice::ExeOther);
    }

    QString Path(const QString& xName) const { return FTmp.filePath(xName); }

    // Runs the extraction and returns the error text, empty when it succeeded.
    static QString Extract(const QString& xArchive, const QString& xFolder) {
        try {
            TZipReader wReader(xArchive);
            wReader.ExtractAll(xFolder);
            return {};
        } catch (const EVelError& x) {
            return x.Message().isEmpty() ? QStringLiteral("(empty message)") : x.Message();
        }
    }

    static void Zip(const QStringList& xArgs, const QString& xWorkDir) { RunTool("zip", QStringList{"-q", "-X"} + xArgs, xWorkDir); }
    static void SevenZip(const QStringList& xArgs, const QString& xWorkDir) {
        RunTool("7zz", QStringList{"a", "-tzip", "-bd", "-bso0"} + xArgs, xWorkDir);
    }

    static void FlipByte(const QString& xArchive, std::size_t xAt) {
        QByteArray wData = ReadFile(xArchive);
        ASSERT_LT(xAt, static_cast<std::size_t>(wData.size()));
        wData[static_cast<qsizetype>(xAt)] = static_cast<char>(wData[static_cast<qsizetype>(xAt)] ^ 0x55);
        WriteFile(xArchive, wData);
    }
};

std::vector<TRawEntry> EntriesOf(const QString& xFolder, const QStringList& xNames) {
    std::vector<TRawEntry> wEntries;
    for (const QString& wName : xNames)
        wEntries.push_back({wName.toUtf8(), ReadFile(xFolder + "/" + wName)});
    return wEntries;
}

struct TToolCase {
    const char* Name;
    std::function<void(const QString& xSrc, const QString& xArchive)> Make;
    bool WholeTree;       // holds all of the source folder, so it must come out as it went in
    int FarBinMethod;     // compression method expected for far.bin, -1 when absent
};

}  // namespace

TEST_F(ZipReaderTest, ToolArchivesExtractAsUnzipExtractsThem) {
    const std::vector<TToolCase> wCases = {
        {"zip, stored", [](const QString& s, const QString& a) { Zip({"-r", "-0", a, "."}, s); }, true, 0},
        {"zip, deflated", [](const QString& s, const QString& a) { Zip({"-r", "-9", a, "."}, s); }, true, 8},
        {"7zz, deflated", [](const QString& s, const QString& a) { SevenZip({"-mm=Deflate", a, "."}, s); }, true, 8},
        {"7zz, Deflate64", [](const QString& s, const QString& a) { SevenZip({"-mm=Deflate64", "-mx=9", a, "."}, s); }, true, 9},
        {"7zz, Deflate64 fastest", [](const QString& s, const QString& a) { SevenZip({"-mm=Deflate64", "-mx=1", a, "."}, s); }, true, 9},
        {"zip from a pipe: ZIP64 records",
         [](const QString& s, const QString& a) {
             RunTool("zip", {"-q", a, "-"}, s, ReadFile(s + "/big.txt"));
             ASSERT_TRUE(ReadFile(a).contains(QByteArray("PK\x06\x06", 4))) << "no ZIP64 end record";
         },
         false, -1},
        {"ZIP64 fields in every header, no folder entries",
         [](const QString& s, const QString& a) {
             WriteFile(a, BuildZip(EntriesOf(s, {"sub/deeper/notes.txt", "empty.bin", "far.bin"}), true));
         },
         false, 0},
    };
    int wNumber = 0;
    for (const TToolCase& wCase : wCases) {
        SCOPED_TRACE(wCase.Name);
        const QString wId = QString::number(++wNumber);
        const QString wArchive = Path("case" + wId + ".zip");
        wCase.Make(FSrc, wArchive);
        if (wCase.FarBinMethod >= 0) {
            int wMethod = -1;
            RawEntryData(wArchive, "far.bin", &wMethod);
            ASSERT_EQ(wMethod, wCase.FarBinMethod) << "the tool did not write what this case is about";
        }
        const QString wOurs = Path("ours" + wId);
        const QString wTheirs = Path("unzip" + wId);
        ASSERT_EQ(Extract(wArchive, wOurs), QString());
        RunTool("unzip", {"-q", "-o", wArchive, "-d", wTheirs});
        const auto wOurTree = Snapshot(wOurs);
        EXPECT_EQ(Diff(Snapshot(wTheirs), wOurTree), QString());
        if (wCase.WholeTree) {
            EXPECT_EQ(Diff(Snapshot(FSrc), wOurTree), QString());
#ifndef _WIN32
            EXPECT_TRUE(wOurTree.at("tool.sh").Executable);
            EXPECT_FALSE(wOurTree.at("small.txt").Executable);
#endif
        }
    }
}

TEST_F(ZipReaderTest, ExistingFilesAreReplaced) {
    const QString wArchive = Path("a.zip");
    SevenZip({"-mm=Deflate64", wArchive, "."}, FSrc);
    const QString wOut = Path("out");
    WriteFile(wOut + "/small.txt", QByteArray(100000, 'o'));  // longer than the new one
    WriteFile(wOut + "/sub/deeper/notes.txt", "old");
    WriteFile(wOut + "/tool.sh", "old, not executable");
    WriteFile(wOut + "/stale.txt", "not in the archive");
    ASSERT_EQ(Extract(wArchive, wOut), QString());
    auto wExpected = Snapshot(FSrc);
    wExpected["stale.txt"] = TNode{"not in the archive"};
    EXPECT_EQ(Diff(wExpected, Snapshot(wOut)), QString());
    // Once more over its own output: same result, nothing left beside it.
    ASSERT_EQ(Extract(wArchive, wOut), QString());
    EXPECT_EQ(Diff(wExpected, Snapshot(wOut)), QString());
}

// A file that fails its check never takes the place of the old one, and no temporary file stays.
TEST_F(ZipReaderTest, DamagedEntryRaisesAndLeavesTheOldFile) {
    struct TDamage {
        const char* Name;
        std::function<void(const QString& xArchive)> Make;
        QString Entry;
        const char* Reason;
    };
    const std::vector<TDamage> wCases = {
        {"stored",
         [&](const QString& a) {
             Zip({"-0", a, "big.txt"}, FSrc);
             FlipByte(a, FirstEntryDataOffset(ReadFile(a)) + 1000);
         },
         "big.txt", "CRC error"},
        {"deflated",
         [&](const QString& a) {
             Zip({"-9", a, "big.txt"}, FSrc);
             FlipByte(a, FirstEntryDataOffset(ReadFile(a)) + 300000);
         },
         "big.txt", ""},
        {"Deflate64",
         [&](const QString& a) {
             SevenZip({"-mm=Deflate64", a, "big.txt"}, FSrc);
             FlipByte(a, FirstEntryDataOffset(ReadFile(a)) + 300000);
         },
         "big.txt", ""},
        {"Deflate64, in a stored block the decoder cannot judge",
         [&](const QString& a) {
             WriteFile(FSrc + "/mixed.bin", PseudoText(50000, 31) + RandomBytes(300000, 32) + PseudoText(50000, 33));
             SevenZip({"-mm=Deflate64", a, "mixed.bin"}, FSrc);
             int wMethod = 0;
             RawEntryData(a, "mixed.bin", &wMethod);
             ASSERT_EQ(wMethod, 9);
             FlipByte(a, FirstEntryDataOffset(ReadFile(a)) + 200000);
         },
         "mixed.bin", "CRC-32 mismatch"},
    };
    int wNumber = 0;
    for (const TDamage& wCase : wCases) {
        SCOPED_TRACE(wCase.Name);
        const QString wId = QString::number(++wNumber);
        const QString wArchive = Path("damaged" + wId + ".zip");
        wCase.Make(wArchive);
        const QString wOut = Path("out" + wId);
        const QString wEntry = wCase.Entry;
        WriteFile(wOut + "/" + wEntry, "the old version");
        const std::map<QString, TNode> wBefore = Snapshot(wOut);

        const QString wError = Extract(wArchive, wOut);
        EXPECT_TRUE(wError.contains(wEntry) && wError.contains(QFileInfo(wArchive).fileName()) &&
                    wError.contains(QLatin1String(wCase.Reason)))
            << wError.toStdString();
        EXPECT_EQ(Diff(wBefore, Snapshot(wOut)), QString());
    }
}

TEST_F(ZipReaderTest, ExtractionStopsAtTheFirstBadEntry) {
    const QString wArchive = Path("three.zip");
    QByteArray wZip = BuildZip({{"first.txt", "complete and checked"}, {"second.txt", "this one is damaged"}, {"third.txt", "never reached"}});
    wZip[wZip.indexOf("damaged")] = 'D';
    WriteFile(wArchive, wZip);
    const QString wOut = Path("out");
    const QString wError = Extract(wArchive, wOut);
    EXPECT_TRUE(wError.contains("second.txt")) << wError.toStdString();
    EXPECT_EQ(Diff({{"first.txt", TNode{"complete and checked"}}}, Snapshot(wOut)), QString());
}

TEST_F(ZipReaderTest, UnreadableArchivesRaiseAtOpen) {
    const QString wZipped = Path("whole.zip");
    Zip({"-r", wZipped, "."}, FSrc);
    const QByteArray wWhole = ReadFile(wZipped);
    struct TCase {
        const char* Name;
        QByteArray Content;  // null: no file at all
    };
    const std::vector<TCase> wCases = {
        {"not a ZIP", "just some text, no archive at all\n"},
        {"empty file", ""},
        {"cut in half", wWhole.left(wWhole.size() / 2)},
        {"cut inside the end record", wWhole.left(wWhole.size() - 10)},
        {"missing", QByteArray()},
    };
    int wNumber = 0;
    for (const TCase& wCase : wCases) {
        SCOPED_TRACE(wCase.Name);
        const QString wArchive = Path("broken" + QString::number(++wNumber) + ".zip");
        if (!wCase.Content.isNull())
            WriteFile(wArchive, wCase.Content);
        try {
            TZipReader wReader(wArchive);
            ADD_FAILURE() << "opened";
        } catch (const EVelError& x) {
            EXPECT_TRUE(x.Message().startsWith("Cannot open archive") && x.Message().contains(QFileInfo(wArchive).fileName()))
                << x.what();
        }
    }
}

// Nothing at all is written when any entry is refused, not even the harmless ones before it.
TEST_F(ZipReaderTest, UnsupportedOrUnsafeEntriesRefuseTheWholeArchive) {
    struct TCase {
        QString Label;
        std::function<void(const QString& xArchive)> Make;
        QString Entry;
        const char* Reason;
    };
    const QString wOutside = Path("outside/evil.txt");
    const auto wCrafted = [](const QByteArray& xName, std::uint32_t xMode = 0100644) {
        return [=](const QString& a) {
            WriteFile(a, BuildZip({{"first.txt", "harmless"}, {xName, "evil", xMode}, {"last.txt", "harmless"}}));
        };
    };
    std::vector<TCase> wCases;
    for (const char* wName : {"../evil.txt", "sub/../../evil.txt", "..", "/evil.txt", "\\evil.txt", "..\\evil.txt",
                              "sub\\..\\..\\evil.txt", "C:/evil.txt", "c:\\evil.txt", "C:evil.txt"})
        wCases.push_back({wName, wCrafted(wName), wName, ""});
    wCases.push_back({"absolute path into a real folder", wCrafted(wOutside.toUtf8()), wOutside, "absolute"});
    wCases.push_back({"crafted link", wCrafted("link", 0120777), "link", "symbolic link"});
    wCases.push_back({"link stored by zip -y",
                      [&](const QString& a) {
                          ASSERT_TRUE(QFile::link("../../outside", FSrc + "/link"));
                          Zip({"-y", a, "small.txt", "link"}, FSrc);
                          QFile::remove(FSrc + "/link");
                      },
                      "link", "symbolic link"});
    wCases.push_back({"bzip2", [&](const QString& a) { Zip({"-Z", "bzip2", a, "small.txt", "big.txt"}, FSrc); }, "big.txt", "bzip2"});
    wCases.push_back({"LZMA", [&](const QString& a) { SevenZip({"-mm=LZMA", a, "big.txt"}, FSrc); }, "big.txt", "LZMA"});
    wCases.push_back({"encrypted", [&](const QString& a) { Zip({"-P", "secret", a, "small.txt"}, FSrc); }, "small.txt", "encrypted"});

    int wNumber = 0;
    for (const TCase& wCase : wCases) {
        SCOPED_TRACE(wCase.Label.toStdString());
        const QString wId = QString::number(++wNumber);
        const QString wArchive = Path("refused" + wId + ".zip");
        wCase.Make(wArchive);
        const QString wOut = Path("nest" + wId + "/deeper/out");
        const QString wError = Extract(wArchive, wOut);
        EXPECT_TRUE(wError.contains("refused") && wError.contains('"' + wCase.Entry + '"') &&
                    wError.contains(QLatin1String(wCase.Reason)))
            << wError.toStdString();
        EXPECT_FALSE(QFileInfo::exists(Path("nest" + wId)));
        EXPECT_FALSE(QFileInfo::exists(wOutside));
    }
}
