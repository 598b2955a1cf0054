#include "Platform.h"

#include "Error.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <mutex>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <vector>
#else
#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>
#endif

namespace {
std::mutex gSleepHookLock;
std::function<void(int)> gSleepHook;
QString gProgramFileOverride;
QString pf_NativeProgramFileName();
}  // namespace

QString pf_ProgramFileName()
{
    return gProgramFileOverride.isEmpty() ? pf_NativeProgramFileName() : gProgramFileOverride;
}

void pf_SetProgramFileName(const QString& xFileName)
{
    gProgramFileOverride = xFileName;
}

#ifdef _WIN32

void pf_WriteRegionalFormats()
{
    // Each call asks for the system's locale anew, and the outcome is not looked at.
    SetLocaleInfoW(GetSystemDefaultLCID(), LOCALE_SDATE, L"/");
    SetLocaleInfoW(GetSystemDefaultLCID(), LOCALE_SSHORTDATE, L"yyyy/MM/dd");
    SetLocaleInfoW(GetSystemDefaultLCID(), LOCALE_STIMEFORMAT, L"HH:mm:ss");
    SetLocaleInfoW(GetSystemDefaultLCID(), LOCALE_SDECIMAL, L".");
    SetLocaleInfoW(GetSystemDefaultLCID(), LOCALE_STHOUSAND, L" ");
}

namespace {
QString pf_NativeProgramFileName()
{
    std::vector<wchar_t> wBuffer(MAX_PATH);
    for (;;) {
        const DWORD wLen = GetModuleFileNameW(nullptr, wBuffer.data(), static_cast<DWORD>(wBuffer.size()));
        if (wLen < wBuffer.size())
            return QString::fromWCharArray(wBuffer.data(), static_cast<qsizetype>(wLen));
        wBuffer.resize(wBuffer.size() * 2);
    }
}
}  // namespace

QChar pf_PathDelimiter()
{
    return QLatin1Char('\\');
}

std::array<quint16, 4> pf_FileVersion(const QString& xFileName)
{
    const std::wstring wName = xFileName.toStdWString();
    DWORD wHandle = 0;
    const DWORD wSize = GetFileVersionInfoSizeW(wName.c_str(), &wHandle);
    if (wSize == 0)
        throw EVelError(QStringLiteral("The file has no version information."));
    std::vector<unsigned char> wBuffer(wSize);
    if (!GetFileVersionInfoW(wName.c_str(), 0, wSize, wBuffer.data()))
        throw EVelError(QStringLiteral("The version information cannot be read."));
    VS_FIXEDFILEINFO* wInfo = nullptr;
    UINT wInfoLen = 0;
    if (!VerQueryValueW(wBuffer.data(), L"\\", reinterpret_cast<void**>(&wInfo), &wInfoLen) || !wInfo)
        throw EVelError(QStringLiteral("The version information has no root block."));
    return {HIWORD(wInfo->dwFileVersionMS), LOWORD(wInfo->dwFileVersionMS),
            HIWORD(wInfo->dwFileVersionLS), LOWORD(wInfo->dwFileVersionLS)};
}

bool pf_StartProgram(const QString& xFileName, const QString& xParameters, quintptr xWindowHandle)
{
    const std::wstring wFile = xFileName.toStdWString();
    const std::wstring wParams = xParameters.toStdWString();
    const HINSTANCE wResult = ShellExecuteW(reinterpret_cast<HWND>(xWindowHandle), L"open", wFile.c_str(),
                                            wParams.c_str(), L"", SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(wResult) > 32;
}

static void pf_NativeSleep(int xMilliseconds)
{
    Sleep(static_cast<DWORD>(xMilliseconds));
}

#else  // POSIX

void pf_WriteRegionalFormats()
{
    // No per-user regional settings to write here; the process formats are set directly.
}

namespace {
QString pf_NativeProgramFileName()
{
#ifdef __linux__
    char wBuffer[4096];
    const ssize_t wLen = readlink("/proc/self/exe", wBuffer, sizeof(wBuffer) - 1);
    if (wLen > 0)
        return QString::fromLocal8Bit(wBuffer, wLen);
#endif
    return QCoreApplication::applicationFilePath();
}
}  // namespace

QChar pf_PathDelimiter()
{
    return QLatin1Char('/');
}

namespace {

// The build writes the version into an ELF section of this name as the text "VELVER1 a.b.c.d".
constexpr const char* cVersionSection = ".velver";
constexpr const char* cVersionTag = "VELVER1 ";

QByteArray ReadElfSection(const QString& xFileName, const char* xSection)
{
    QFile wFile(xFileName);
    if (!wFile.open(QIODevice::ReadOnly))
        throw EVelError(QStringLiteral("Cannot open \"%1\": %2").arg(xFileName, wFile.errorString()));
    Elf64_Ehdr wHeader{};
    if (wFile.read(reinterpret_cast<char*>(&wHeader), sizeof(wHeader)) != sizeof(wHeader) ||
        std::memcmp(wHeader.e_ident, ELFMAG, SELFMAG) != 0 || wHeader.e_ident[EI_CLASS] != ELFCLASS64 ||
        wHeader.e_shentsize != sizeof(Elf64_Shdr) || wHeader.e_shstrndx >= wHeader.e_shnum)
        throw EVelError(QStringLiteral("\"%1\" is no 64-bit ELF file.").arg(xFileName));

    const auto wSectionHeader = [&](int xIndex) {
        Elf64_Shdr wShdr{};
        if (!wFile.seek(static_cast<qint64>(wHeader.e_shoff + static_cast<quint64>(xIndex) * sizeof(Elf64_Shdr))) ||
            wFile.read(reinterpret_cast<char*>(&wShdr), sizeof(wShdr)) != sizeof(wShdr))
            throw EVelError(QStringLiteral("Cannot read the section table of \"%1\".").arg(xFileName));
        return wShdr;
    };
    const auto wSectionData = [&](const Elf64_Shdr& xShdr) {
        if (xShdr.sh_type == SHT_NOBITS || xShdr.sh_size > (1u << 20) || !wFile.seek(static_cast<qint64>(xShdr.sh_offset)))
            throw EVelError(QStringLiteral("Cannot read a section of \"%1\".").arg(xFileName));
        QByteArray wData = wFile.read(static_cast<qint64>(xShdr.sh_size));
        if (wData.size() != static_cast<qsizetype>(xShdr.sh_size))
            throw EVelError(QStringLiteral("Cannot read a section of \"%1\".").arg(xFileName));
        return wData;
    };

    const QByteArray wNames = wSectionData(wSectionHeader(wHeader.e_shstrndx));
    for (int i = 0; i < wHeader.e_shnum; ++i) {
        const Elf64_Shdr wShdr = wSectionHeader(i);
        if (wShdr.sh_name >= static_cast<quint64>(wNames.size()))
            continue;
        if (std::strcmp(wNames.constData() + wShdr.sh_name, xSection) == 0)
            return wSectionData(wShdr);
    }
    throw EVelError(QStringLiteral("\"%1\" has no version information.").arg(xFileName));
}

}  // namespace

std::array<quint16, 4> pf_FileVersion(const QString& xFileName)
{
    const QByteArray wBlock = ReadElfSection(xFileName, cVersionSection);
    const QByteArray wTag(cVersionTag);
    if (!wBlock.startsWith(wTag))
        throw EVelError(QStringLiteral("The version information of \"%1\" is not readable.").arg(xFileName));
    const QList<QByteArray> wParts = wBlock.mid(wTag.size()).trimmed().split('.');
    if (wParts.size() != 4)
        throw EVelError(QStringLiteral("The version information of \"%1\" is not readable.").arg(xFileName));
    std::array<quint16, 4> wVersion{};
    for (int i = 0; i < 4; ++i) {
        bool wOk = false;
        const uint wValue = wParts[i].trimmed().toUInt(&wOk);
        if (!wOk || wValue > 0xFFFF)
            throw EVelError(QStringLiteral("The version information of \"%1\" is not readable.").arg(xFileName));
        wVersion[static_cast<size_t>(i)] = static_cast<quint16>(wValue);
    }
    return wVersion;
}

bool pf_StartProgram(const QString& xFileName, const QString& xParameters, quintptr /*xWindowHandle*/)
{
    // Everything the children need is prepared before fork: after it only exec-safe calls run.
    const std::string wFile = QFile::encodeName(xFileName).toStdString();
    const std::string wArg = xParameters.toStdString();
    char* wArgv[] = {const_cast<char*>(wFile.c_str()), const_cast<char*>(wArg.c_str()), nullptr};

    const pid_t wChild = fork();
    if (wChild < 0)
        return false;
    if (wChild == 0) {
        // The middle child starts the program in a session of its own and leaves at once, so
        // the program is adopted by init and never becomes our zombie.
        setsid();
        const pid_t wGrandChild = fork();
        if (wGrandChild == 0) {
            // Our sockets and files are not the program's business.
#ifdef SYS_close_range
            if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
                for (int wFd = 3; wFd < 4096; ++wFd)
                    close(wFd);
            signal(SIGPIPE, SIG_DFL);
            execv(wArgv[0], wArgv);
            _exit(127);
        }
        _exit(wGrandChild < 0 ? 1 : 0);
    }
    int wStatus = 0;
    while (waitpid(wChild, &wStatus, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(wStatus) && WEXITSTATUS(wStatus) == 0;
}

static void pf_NativeSleep(int xMilliseconds)
{
    QThread::msleep(static_cast<unsigned long>(xMilliseconds));
}

#endif

void pf_Sleep(int xMilliseconds)
{
    std::function<void(int)> wHook;
    {
        std::lock_guard<std::mutex> wLock(gSleepHookLock);
        wHook = gSleepHook;
    }
    if (wHook)
        wHook(xMilliseconds);
    else
        pf_NativeSleep(xMilliseconds);
}

void pf_SetSleepHook(std::function<void(int)> xHook)
{
    std::lock_guard<std::mutex> wLock(gSleepHookLock);
    gSleepHook = std::move(xHook);
}
