#include "ZipReader.h"

#include "Deflate64.h"
#include "Error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>

#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

constexpr std::size_t cChunk = std::size_t(1) << 20;

// Unix file types as the high half of the external attributes carries them, on any platform.
constexpr std::uint32_t cTypeMask = 0170000;
constexpr std::uint32_t cTypeLink = 0120000;
constexpr std::uint32_t cTypeDir = 0040000;

struct TZipDiscard {
    void operator()(zip_t* x) const { zip_discard(x); }
};
struct TZipFileClose {
    void operator()(zip_file_t* x) const { zip_fclose(x); }
};
struct TZipSourceFree {
    void operator()(zip_source_t* x) const { zip_source_free(x); }
};
using TZipPtr = std::unique_ptr<zip_t, TZipDiscard>;
using TZipFilePtr = std::unique_ptr<zip_file_t, TZipFileClose>;
using TZipSourcePtr = std::unique_ptr<zip_source_t, TZipSourceFree>;

struct TZipError {
    zip_error_t E;
    TZipError() { zip_error_init(&E); }
    ~TZipError() { zip_error_fini(&E); }
    TZipError(const TZipError&) = delete;
    TZipError& operator=(const TZipError&) = delete;
    QString Text() { return QString::fromUtf8(zip_error_strerror(&E)); }
};

struct TEntry {
    zip_uint64_t Index = 0;
    QString Name;     // as stored, for messages
    QString RelPath;  // checked, '/'-separated, below the target folder
    bool IsDir = false;
    bool HasUnixMode = false;
    std::uint32_t Mode = 0;
    zip_uint16_t Method = 0;
    zip_uint64_t Size = 0;
    std::uint32_t Crc = 0;
};

QString Quoted(const QString& x) { return QLatin1Char('"') + x + QLatin1Char('"'); }

QString Native(const QString& x) { return Quoted(QDir::toNativeSeparators(x)); }

// A new file under a name of its own beside the target, renamed over the target by Commit and
// removed on every other path. Named rather than unnamed (O_TMPFILE): creating unnamed files
// costs ext4 far more than the extraction itself.
class TTempFile {
public:
    explicit TTempFile(const QString& xTarget) : FTarget(xTarget) {
        const QFileInfo wInfo(xTarget);
        for (int wTry = 0;; ++wTry) {
            FFile.setFileName(wInfo.path() + QStringLiteral("/.") + wInfo.fileName() +
                              QStringLiteral(".part-%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
            if (FFile.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
                return;
            if (!FFile.exists() || wTry == 20)
                throw EVelError(QStringLiteral("cannot create %1: %2").arg(Native(FFile.fileName()), FFile.errorString()));
        }
    }
    ~TTempFile() {
        if (!FCommitted)
            FFile.remove();
    }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;

    int Handle() const { return FFile.handle(); }

    void Write(const unsigned char* xData, std::size_t xLen) {
        if (FFile.write(reinterpret_cast<const char*>(xData), static_cast<qint64>(xLen)) != static_cast<qint64>(xLen))
            throw EVelError(QStringLiteral("cannot write %1: %2").arg(Native(FFile.fileName()), FFile.errorString()));
    }

    // Replaces the target in one step where the system allows it (rename, MoveFileEx).
    void Commit() {
        FFile.close();
        if (FFile.error() != QFileDevice::NoError)
            throw EVelError(QStringLiteral("cannot write %1: %2").arg(Native(FFile.fileName()), FFile.errorString()));
        std::error_code wError;
        std::filesystem::rename(QFileInfo(FFile.fileName()).filesystemFilePath(), QFileInfo(FTarget).filesystemFilePath(), wError);
        if (wError)
            throw EVelError(QStringLiteral("cannot replace %1: %2").arg(Native(FTarget), QString::fromLocal8Bit(wError.message())));
        FCommitted = true;
    }

private:
    QString FTarget;
    QFile FFile;
    bool FCommitted = false;
};

// Why the name would lead outside the target folder, or an empty text when it stays inside.
// Backslashes count as separators because the archives come from Windows, where they are.
QString UnsafeReason(const QString& xName, bool xIsDir, QStringList& xParts) {
    if (xName.isEmpty())
        return QStringLiteral("has an empty name");
    if (xName.front() == QLatin1Char('/') || xName.front() == QLatin1Char('\\'))
        return QStringLiteral("is an absolute path");
    if (xName.size() >= 2 && xName[1] == QLatin1Char(':') && xName[0].isLetter())
        return QStringLiteral("names a drive");
    // Elsewhere a colon would name an NTFS stream or be refused by Windows anyway.
    if (xName.contains(QLatin1Char(':')))
        return QStringLiteral("contains ':'");
    const QStringList wParts = QString(xName).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    xParts.clear();
    for (const QString& wPart : wParts) {
        if (wPart.isEmpty() || wPart == QLatin1String("."))
            continue;
        if (wPart == QLatin1String(".."))
            return QStringLiteral("has a \"..\" path component");
        // Windows drops trailing dots and spaces from names, so ". ." is no safer than "..".
        bool wOnlyDots = true;
        for (QChar c : wPart)
            wOnlyDots = wOnlyDots && (c == QLatin1Char('.') || c == QLatin1Char(' '));
        if (wOnlyDots)
            return QStringLiteral("has a path component of only dots and spaces");
        xParts << wPart;
    }
    if (xParts.isEmpty() && !xIsDir)
        return QStringLiteral("has no file name");
    return {};
}

QString MethodName(zip_uint16_t xMethod) {
    switch (xMethod) {
    case 6:
        return QStringLiteral("implode");
    case 12:
        return QStringLiteral("bzip2");
    case 14:
        return QStringLiteral("LZMA");
    case 93:
        return QStringLiteral("Zstandard");
    case 95:
        return QStringLiteral("XZ");
    case 98:
        return QStringLiteral("PPMd");
    default:
        return QStringLiteral("method %1").arg(xMethod);
    }
}

}  // namespace

struct TZipReader::TImpl {
    QString FFileName;
    TZipPtr FZip;
    std::unique_ptr<unsigned char[]> FBuffer;

    QString ArchiveText() const { return Native(FFileName); }
    QString LibError() const { return QString::fromUtf8(zip_strerror(FZip.get())); }

    [[noreturn]] void Refuse(const QString& xEntry, const QString& xReason) const {
        throw EVelError(QStringLiteral("Archive %1 refused: entry %2 %3").arg(ArchiveText(), Quoted(xEntry), xReason));
    }

    std::vector<TEntry> CheckedEntries() const;
    void ExtractFile(const TEntry& xEntry, const QString& xTarget);
};

std::vector<TEntry> TZipReader::TImpl::CheckedEntries() const {
    zip_t* const wZip = FZip.get();
    const zip_int64_t wCount = zip_get_num_entries(wZip, 0);
    if (wCount < 0)
        throw EVelError(QStringLiteral("Cannot read archive %1: %2").arg(ArchiveText(), LibError()));
    std::vector<TEntry> wEntries;
    wEntries.reserve(static_cast<std::size_t>(wCount));
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(wCount); ++i) {
        zip_stat_t wStat;
        zip_stat_init(&wStat);
        zip_uint8_t wOpSys = 0;
        zip_uint32_t wAttributes = 0;
        if (zip_stat_index(wZip, i, 0, &wStat) != 0 ||
            zip_file_get_external_attributes(wZip, i, 0, &wOpSys, &wAttributes) != 0)
            throw EVelError(QStringLiteral("Cannot read entry %1 of archive %2: %3").arg(i).arg(ArchiveText(), LibError()));
        constexpr zip_uint64_t cNeeded =
            ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
        if ((wStat.valid & cNeeded) != cNeeded)
            throw EVelError(QStringLiteral("Cannot read entry %1 of archive %2: incomplete directory record").arg(i).arg(ArchiveText()));

        TEntry wEntry;
        wEntry.Index = i;
        wEntry.Name = QString::fromUtf8(wStat.name);
        wEntry.HasUnixMode = wOpSys == ZIP_OPSYS_UNIX || wOpSys == ZIP_OPSYS_OS_X;
        wEntry.Mode = wEntry.HasUnixMode ? wAttributes >> 16 : 0;
        wEntry.IsDir = wEntry.Name.endsWith(QLatin1Char('/')) || wEntry.Name.endsWith(QLatin1Char('\\')) ||
                       (wEntry.Mode & cTypeMask) == cTypeDir;
        wEntry.Method = wStat.comp_method;
        wEntry.Size = wStat.size;
        wEntry.Crc = wStat.crc;

        QStringList wParts;
        const QString wReason = UnsafeReason(wEntry.Name, wEntry.IsDir, wParts);
        if (!wReason.isEmpty())
            Refuse(wEntry.Name, wReason);
        // Only a link could point outside; other special types are written as plain files.
        if ((wEntry.Mode & cTypeMask) == cTypeLink)
            Refuse(wEntry.Name, QStringLiteral("is a symbolic link"));
        if (wStat.encryption_method != ZIP_EM_NONE)
            Refuse(wEntry.Name, QStringLiteral("is encrypted, which is not supported"));
        if (!wEntry.IsDir && wEntry.Method != ZIP_CM_STORE && wEntry.Method != ZIP_CM_DEFLATE &&
            wEntry.Method != ZIP_CM_DEFLATE64)
            Refuse(wEntry.Name, QStringLiteral("is compressed with %1, which is not supported").arg(MethodName(wEntry.Method)));
        wEntry.RelPath = wParts.join(QLatin1Char('/'));
        wEntries.push_back(std::move(wEntry));
    }
    return wEntries;
}

void TZipReader::TImpl::ExtractFile(const TEntry& xEntry, const QString& xTarget) {
    const QString wFolder = QFileInfo(xTarget).path();
    if (!QDir().mkpath(wFolder))
        throw EVelError(QStringLiteral("cannot create folder %1").arg(Native(wFolder)));

    // Nothing appears under the target's name until the entry is complete and checked.
    TTempFile wOut(xTarget);
    uLong wCrc = crc32(0L, Z_NULL, 0);
    zip_uint64_t wSize = 0;
    const auto wWrite = [&](const unsigned char* xData, std::size_t xLen) {
        if (xLen > xEntry.Size - wSize)
            throw EVelError(QStringLiteral("more data than the recorded size of %1 bytes").arg(xEntry.Size));
        wSize += xLen;
        wCrc = crc32_z(wCrc, xData, xLen);
        wOut.Write(xData, xLen);
    };

    // libzip inflates stored and deflated entries itself; Deflate64 comes raw and is decoded here.
    const bool wRaw = xEntry.Method == ZIP_CM_DEFLATE64;
    TZipFilePtr wFile(zip_fopen_index(FZip.get(), xEntry.Index, wRaw ? ZIP_FL_COMPRESSED : 0));
    if (!wFile)
        throw EVelError(LibError());
    const auto wRead = [&](unsigned char* xBuffer, std::size_t xCapacity) -> std::size_t {
        const zip_int64_t wGot = zip_fread(wFile.get(), xBuffer, xCapacity);
        if (wGot < 0)
            throw EVelError(QString::fromUtf8(zip_file_strerror(wFile.get())));
        return static_cast<std::size_t>(wGot);
    };
    if (wRaw) {
        Deflate64::Decode(wRead, wWrite);
    } else {
        for (std::size_t wGot; (wGot = wRead(FBuffer.get(), cChunk)) > 0;)
            wWrite(FBuffer.get(), wGot);
    }
    wFile.reset();

    if (wSize != xEntry.Size)
        throw EVelError(QStringLiteral("%1 bytes where the archive records %2").arg(wSize).arg(xEntry.Size));
    if (wCrc != xEntry.Crc)
        throw EVelError(QStringLiteral("CRC-32 mismatch (%1 instead of the recorded %2)")
                            .arg(static_cast<qulonglong>(wCrc), 8, 16, QLatin1Char('0'))
                            .arg(xEntry.Crc, 8, 16, QLatin1Char('0')));

#ifndef _WIN32
    // Execute bits follow the entry; read and write bits stay as created from the umask, and an
    // execute bit is granted only to whom the umask left reading.
    if (xEntry.HasUnixMode) {
        struct stat wSt;
        if (fstat(wOut.Handle(), &wSt) != 0)
            throw EVelError(QStringLiteral("cannot read the mode of %1: %2").arg(Native(xTarget), QString::fromLocal8Bit(std::strerror(errno))));
        const mode_t wPerms = wSt.st_mode & 0777;
        const mode_t wExec = static_cast<mode_t>(xEntry.Mode & 0111) & ((wPerms & 0444) >> 2);
        if (fchmod(wOut.Handle(), (wPerms & ~mode_t(0111)) | wExec) != 0)
            throw EVelError(QStringLiteral("cannot set the mode of %1: %2").arg(Native(xTarget), QString::fromLocal8Bit(std::strerror(errno))));
    }
#endif

    wOut.Commit();
}

TZipReader::TZipReader(const QString& xFileName) : FImpl(std::make_unique<TImpl>()) {
    FImpl->FFileName = xFileName;
    TZipError wError;
    TZipSourcePtr wSource(
#ifdef _WIN32
        zip_source_win32w_create(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(xFileName).utf16()), 0, -1, &wError.E)
#else
        zip_source_file_create(QFile::encodeName(xFileName).constData(), 0, -1, &wError.E)
#endif
    );
    zip_t* wZip = wSource ? zip_open_from_source(wSource.get(), ZIP_RDONLY | ZIP_CHECKCONS, &wError.E) : nullptr;
    if (!wZip)
        throw EVelError(QStringLiteral("Cannot open archive %1: %2").arg(FImpl->ArchiveText(), wError.Text()));
    wSource.release();  // the archive owns its source from here on
    FImpl->FZip.reset(wZip);
}

TZipReader::~TZipReader() = default;

void TZipReader::ExtractAll(const QString& xFolder) {
    // Every entry is checked before the first byte is written.
    const std::vector<TEntry> wEntries = FImpl->CheckedEntries();
    if (!QDir().mkpath(xFolder))
        throw EVelError(QStringLiteral("Cannot create folder %1 for archive %2").arg(Native(xFolder), FImpl->ArchiveText()));
    if (!FImpl->FBuffer)
        FImpl->FBuffer = std::make_unique_for_overwrite<unsigned char[]>(cChunk);
    for (const TEntry& wEntry : wEntries) {
        const QString wTarget = QDir(xFolder).filePath(wEntry.RelPath);
        try {
            if (wEntry.IsDir) {
                if (!QDir().mkpath(wTarget))
                    throw EVelError(QStringLiteral("cannot create folder %1").arg(Native(wTarget)));
            } else {
                FImpl->ExtractFile(wEntry, wTarget);
            }
        } catch (const EVelError& x) {
            throw EVelError(QStringLiteral("Cannot extract %1 from archive %2: %3").arg(Quoted(wEntry.Name), FImpl->ArchiveText(), x.Message()));
        }
    }
}
