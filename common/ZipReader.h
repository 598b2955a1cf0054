#pragma once
// The archive reader: opens a ZIP file and extracts every entry below a folder.
// Stored, deflated and Deflate64 entries; ZIP64; every entry's CRC-32 and size checked.
#include <QString>
#include <memory>

class TZipReader {
public:
    // Opens the archive for reading; throws EVelError with the library's message.
    explicit TZipReader(const QString& xFileName);
    ~TZipReader();
    TZipReader(const TZipReader&) = delete;
    TZipReader& operator=(const TZipReader&) = delete;

    // Extracts all entries, in archive order, below xFolder: sub-folders created, files of the
    // same name replaced, POSIX execute bits kept. Every entry name is checked before anything
    // is written; an unsafe one (.., absolute, drive letter, link) refuses the whole archive.
    // Each file is written to a temporary file beside its target and renamed into place only
    // when complete and checked. Throws EVelError.
    void ExtractAll(const QString& xFolder);

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};
