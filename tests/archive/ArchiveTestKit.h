#pragma once
// Helpers for the archive tests: running the real zip tools, sample data, folder snapshots and a
// tiny ZIP writer for archives no tool will make (unsafe names, links, 64-bit fields everywhere).
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <vector>

namespace ArchiveTestKit {

// Full path of a tool on PATH, or an empty text.
QString FindTool(const QString& xName);
// Runs a tool, failing the test when it does not exit with 0; returns its standard output.
QByteArray RunTool(const QString& xName, const QStringList& xArgs, const QString& xWorkDir = {},
                   const QByteArray& xStdin = {});

void WriteFile(const QString& xPath, const QByteArray& xData);
QByteArray ReadFile(const QString& xPath);

// Deterministic sample data.
QByteArray RandomBytes(std::size_t xSize, std::uint32_t xSeed);
QByteArray PseudoText(std::size_t xSize, std::uint32_t xSeed);
// Blocks repeated at distances past 32 KiB and 48 KiB and a long run, so that an encoder with a
// 64 KiB window uses the far distance codes and long matches.
QByteArray FarMatches();

struct TNode {
    QByteArray Data;       // empty for folders
    bool IsDir = false;
    bool Executable = false;  // owner execute bit, POSIX only
    bool operator==(const TNode&) const = default;
};
// Everything below xFolder, hidden files included, keyed by '/'-separated relative path.
std::map<QString, TNode> Snapshot(const QString& xFolder);
// Readable listing of the differences, empty when equal.
QString Diff(const std::map<QString, TNode>& xExpected, const std::map<QString, TNode>& xActual);

struct TRawEntry {
    QByteArray Name;
    QByteArray Data;  // as extracted
    std::uint32_t UnixMode = 0100644;
    std::uint16_t Method = 0;
    QByteArray Compressed{};  // for other methods than stored
};
// A ZIP from a Unix host; with xZip64 every size and offset goes through the ZIP64 extra fields
// and end records.
QByteArray BuildZip(const std::vector<TRawEntry>& xEntries, bool xZip64 = false);

// The raw compressed bytes of an entry as libzip hands them out, and its compression method.
QByteArray RawEntryData(const QString& xArchive, const QString& xName, int* xMethod = nullptr);
// Offset of entry 0's data in an archive whose first local header is at offset 0.
std::size_t FirstEntryDataOffset(const QByteArray& xArchive);

}  // namespace ArchiveTestKit
