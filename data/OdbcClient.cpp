#include "OdbcClient.h"

#include <QHash>
#include <QRegularExpression>

#ifdef _WIN32
// The ODBC headers of Windows use its basic types without including them.
#define NOMINMAX
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>

namespace {

// Large values cross the ODBC boundary in pieces of this size, both ways.
constexpr SQLLEN cChunkBytes = 1024 * 1024;
constexpr int cDefaultPort = 1433;

const SQLWCHAR* W(const QString& xText)
{
    return reinterpret_cast<const SQLWCHAR*>(xText.utf16());
}

QString FromW(const SQLWCHAR* xText, qsizetype xLength)
{
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(xText), xLength);
}

bool Succeeded(SQLRETURN xRc)
{
    return xRc == SQL_SUCCESS || xRc == SQL_SUCCESS_WITH_INFO;
}

bool IsLinkLostState(const QString& xState)
{
    // 08S01 communication link failure, 08S02 link reset, 08003 connection not open,
    // 08007 connection failure during transaction.
    return xState == QLatin1String("08S01") || xState == QLatin1String("08S02")
        || xState == QLatin1String("08003") || xState == QLatin1String("08007");
}

// Every diagnostic record of a handle, as one error. The message joins the driver's texts
// with line breaks; the SQLSTATE is the record that best tells what happened.
EOdbcError DiagError(SQLSMALLINT xType, SQLHANDLE xHandle, const QString& xWhat)
{
    QStringList wMessages;
    QString wState, wFirstState;
    int wNative = 0, wFirstNative = 0;
    bool wLinkLost = false;
    for (SQLSMALLINT wRec = 1; xHandle != SQL_NULL_HANDLE; ++wRec) {
        SQLWCHAR wSqlState[6] = {};
        SQLINTEGER wNativeError = 0;
        std::vector<SQLWCHAR> wText(1024);
        SQLSMALLINT wTextLen = 0;
        SQLRETURN wRc = SQLGetDiagRecW(xType, xHandle, wRec, wSqlState, &wNativeError, wText.data(),
                                       static_cast<SQLSMALLINT>(wText.size()), &wTextLen);
        if (wRc == SQL_SUCCESS_WITH_INFO && wTextLen >= static_cast<SQLSMALLINT>(wText.size())) {
            wText.resize(static_cast<size_t>(wTextLen) + 1);
            wRc = SQLGetDiagRecW(xType, xHandle, wRec, wSqlState, &wNativeError, wText.data(),
                                 static_cast<SQLSMALLINT>(wText.size()), &wTextLen);
        }
        if (!Succeeded(wRc))
            break;
        const QString wRecState = FromW(wSqlState, 5);
        const qsizetype wLen = std::min<qsizetype>(wTextLen, static_cast<qsizetype>(wText.size()) - 1);
        wMessages << FromW(wText.data(), wLen);
        if (wRec == 1) {
            wFirstState = wRecState;
            wFirstNative = static_cast<int>(wNativeError);
        }
        if (!wLinkLost && IsLinkLostState(wRecState)) {
            wLinkLost = true;
            wState = wRecState;
            wNative = static_cast<int>(wNativeError);
        } else if (wState.isEmpty() && !wRecState.startsWith(QLatin1String("01"))) {
            wState = wRecState;
            wNative = static_cast<int>(wNativeError);
        }
    }
    if (wState.isEmpty()) {
        wState = wFirstState;
        wNative = wFirstNative;
    }
    if (wMessages.isEmpty())
        return EOdbcError(QStringLiteral("%1 failed without a diagnostic message.").arg(xWhat), wState, wNative);
    return EOdbcError(wMessages.join(QLatin1Char('\n')), wState, wNative);
}

// FreeTDS reports a link that the server closed as a bare warning record (01000 "Unexpected EOF
// from the server") under a failed call; once the handle says the link is dead, the error is
// given the state that means it.
EOdbcError LinkLost(const EOdbcError& xError)
{
    if (xError.ConnectionLost())
        return xError;
    return EOdbcError(xError.Message(), QStringLiteral("08S01"), xError.NativeError());
}

void Check(SQLRETURN xRc, SQLSMALLINT xType, SQLHANDLE xHandle, const char* xWhat)
{
    if (!Succeeded(xRc) && xRc != SQL_NO_DATA)
        throw DiagError(xType, xHandle, QString::fromLatin1(xWhat));
}

// ---------------------------------------------------------------------------------------------
// The process's one ODBC environment. Connection pooling is a process-wide switch that ODBC
// wants before the environment exists; every connection shares this environment so that a
// pooled physical connection can be handed out again.
class TOdbcEnv {
public:
    static std::shared_ptr<TOdbcEnv> Shared()
    {
        static std::shared_ptr<TOdbcEnv> sEnv(new TOdbcEnv);
        return sEnv;
    }
    ~TOdbcEnv()
    {
        if (FEnv != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, FEnv);
    }
    SQLHENV Handle() const
    {
        if (FEnv == SQL_NULL_HENV)
            throw EVelError(QStringLiteral("The ODBC environment could not be allocated."));
        return FEnv;
    }

private:
    TOdbcEnv()
    {
        SQLSetEnvAttr(SQL_NULL_HENV, SQL_ATTR_CONNECTION_POOLING,
                      reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_CP_ONE_PER_HENV)), SQL_IS_UINTEGER);
        if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &FEnv))) {
            FEnv = SQL_NULL_HENV;
            return;
        }
        // unixODBC reads its own pooling switch again while allocating; say it once more.
        SQLSetEnvAttr(SQL_NULL_HENV, SQL_ATTR_CONNECTION_POOLING,
                      reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_CP_ONE_PER_HENV)), SQL_IS_UINTEGER);
        SQLSetEnvAttr(FEnv, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_OV_ODBC3)), 0);
        // Only a connection opened with the same connection string comes from the pool.
        SQLSetEnvAttr(FEnv, SQL_ATTR_CP_MATCH, reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_CP_STRICT_MATCH)), 0);
    }
    SQLHENV FEnv = SQL_NULL_HENV;
};

// A statement handle that is freed on every path.
class TStmt {
public:
    explicit TStmt(SQLHDBC xDbc)
    {
        ::Check(SQLAllocHandle(SQL_HANDLE_STMT, xDbc, &FStmt), SQL_HANDLE_DBC, xDbc, "SQLAllocHandle");
    }
    ~TStmt()
    {
        if (FStmt != SQL_NULL_HSTMT)
            SQLFreeHandle(SQL_HANDLE_STMT, FStmt);
    }
    TStmt(const TStmt&) = delete;
    TStmt& operator=(const TStmt&) = delete;
    SQLHSTMT Handle() const { return FStmt; }
    void Check(SQLRETURN xRc, const char* xWhat) const { ::Check(xRc, SQL_HANDLE_STMT, FStmt, xWhat); }

private:
    SQLHSTMT FStmt = SQL_NULL_HSTMT;
};

// ---------------------------------------------------------------------------------------------
// Connection string: pairs "key=value;", a value in braces when it holds ";" ("}" doubled inside).

struct TPair {
    QString Key;  // as written
    QString Value;
    qsizetype Start = 0, End = 0;  // where the pair stands in the string, its ";" included
};

std::vector<TPair> ParsePairs(const QString& xText)
{
    std::vector<TPair> wPairs;
    qsizetype i = 0;
    const qsizetype n = xText.size();
    while (i < n) {
        const qsizetype wStart = i;
        const qsizetype wEq = xText.indexOf(QLatin1Char('='), i);
        const qsizetype wSemi = xText.indexOf(QLatin1Char(';'), i);
        if (wEq < 0 || (wSemi >= 0 && wSemi < wEq)) {
            // A piece without "=": nothing to apply; skip it.
            i = wSemi < 0 ? n : wSemi + 1;
            continue;
        }
        TPair wPair;
        wPair.Key = xText.mid(i, wEq - i).trimmed();
        i = wEq + 1;
        if (i < n && xText[i] == QLatin1Char('{')) {
            ++i;
            QString wValue;
            while (i < n) {
                if (xText[i] == QLatin1Char('}')) {
                    if (i + 1 < n && xText[i + 1] == QLatin1Char('}')) {
                        wValue += QLatin1Char('}');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                wValue += xText[i++];
            }
            wPair.Value = wValue;
            // Anything between the closing brace and ";" is not part of the value.
            const qsizetype wNext = xText.indexOf(QLatin1Char(';'), i);
            i = wNext < 0 ? n : wNext + 1;
        } else {
            const qsizetype wNext = xText.indexOf(QLatin1Char(';'), i);
            wPair.Value = xText.mid(i, (wNext < 0 ? n : wNext) - i);
            i = wNext < 0 ? n : wNext + 1;
        }
        wPair.Start = wStart;
        wPair.End = i;
        if (!wPair.Key.isEmpty())
            wPairs.push_back(wPair);
    }
    return wPairs;
}

bool ParseBool(const QString& xValue, bool xDefault)
{
    const QString v = xValue.trimmed().toLower();
    if (v == QLatin1String("true") || v == QLatin1String("yes") || v == QLatin1String("1")
        || v == QLatin1String("sspi") || v == QLatin1String("on"))
        return true;
    if (v == QLatin1String("false") || v == QLatin1String("no") || v == QLatin1String("0")
        || v == QLatin1String("off"))
        return false;
    return xDefault;
}

enum class TDriverKind { Microsoft, FreeTDS, Legacy };

// A value for the driver's own connection string: braces only where the value needs them.
// Microsoft's drivers follow the ODBC rule ("}" doubled inside braces). FreeTDS does not undo
// the doubling: its braced value ends at the first "}" that a ";" follows, so "}" stays single
// and a value holding "};" cannot be given to it at all.
QString DriverValue(const QString& xValue, TDriverKind xKind)
{
    if (xKind == TDriverKind::FreeTDS) {
        if (!xValue.contains(QLatin1Char(';')) && !xValue.startsWith(QLatin1Char('{')))
            return xValue;
        if (xValue.contains(QLatin1String("};")))
            throw EVelError(QStringLiteral("Connection Error: the FreeTDS driver cannot take a setting that contains \"};\"."));
        return QLatin1Char('{') + xValue + QLatin1Char('}');
    }
    if (xValue.contains(QLatin1Char(';')) || xValue.startsWith(QLatin1Char('{'))
        || xValue.startsWith(QLatin1Char(' ')) || xValue.endsWith(QLatin1Char(' ')))
        return QLatin1Char('{') + QString(xValue).replace(QLatin1String("}"), QLatin1String("}}")) + QLatin1Char('}');
    return xValue;
}

struct TDriverChoice {
    QString Name;
    TDriverKind Kind = TDriverKind::FreeTDS;
};

QStringList InstalledDrivers(SQLHENV xEnv)
{
    QStringList wNames;
    SQLUSMALLINT wDirection = SQL_FETCH_FIRST;
    for (;;) {
        SQLWCHAR wDesc[512];
        SQLWCHAR wAttrs[2048];
        SQLSMALLINT wDescLen = 0, wAttrsLen = 0;
        SQLRETURN wRc = SQLDriversW(xEnv, wDirection, wDesc, 512, &wDescLen, wAttrs, 2048, &wAttrsLen);
        if (!Succeeded(wRc))
            break;
        wNames << FromW(wDesc, std::min<qsizetype>(wDescLen, 511));
        wDirection = SQL_FETCH_NEXT;
    }
    return wNames;
}

// Microsoft's newest "ODBC Driver NN for SQL Server", else FreeTDS, else the old "SQL Server"
// driver of Windows. With xMicrosoftOnly (the OLE DB driver named) only Microsoft's will do.
TDriverChoice ChooseDriver(SQLHENV xEnv, bool xMicrosoftOnly)
{
    const QStringList wNames = InstalledDrivers(xEnv);
    static const QRegularExpression sMicrosoft(QStringLiteral("^ODBC Driver (\\d+) for SQL Server$"),
                                               QRegularExpression::CaseInsensitiveOption);
    int wBest = -1;
    QString wBestName;
    for (const QString& wName : wNames) {
        const auto m = sMicrosoft.match(wName);
        if (m.hasMatch() && m.captured(1).toInt() > wBest) {
            wBest = m.captured(1).toInt();
            wBestName = wName;
        }
    }
    if (wBest >= 0)
        return {wBestName, TDriverKind::Microsoft};
    if (xMicrosoftOnly)
        throw EVelError(QStringLiteral(
            "Connection Error: the connector asks for Microsoft's driver for SQL Server, but no "
            "\"ODBC Driver NN for SQL Server\" is installed."));
    for (const QString& wName : wNames)
        if (wName.compare(QLatin1String("FreeTDS"), Qt::CaseInsensitive) == 0)
            return {wName, TDriverKind::FreeTDS};
    for (const QString& wName : wNames)
        if (wName.contains(QLatin1String("FreeTDS"), Qt::CaseInsensitive))
            return {wName, TDriverKind::FreeTDS};
    for (const QString& wName : wNames)
        if (wName.compare(QLatin1String("SQL Server"), Qt::CaseInsensitive) == 0)
            return {wName, TDriverKind::Legacy};
    throw EVelError(QStringLiteral(
        "Connection Error: no ODBC driver for SQL Server is installed (looked for \"ODBC Driver NN for "
        "SQL Server\", FreeTDS and \"SQL Server\")."));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

bool EOdbcError::ConnectionLost() const
{
    return IsLinkLostState(FSqlState);
}

void TBlobStream::Seek(qint64 xPosition)
{
    FPosition = std::clamp<qint64>(xPosition, 0, Size());
}

qint64 TBlobStream::Read(char* xBuffer, qint64 xCount)
{
    const qint64 wCount = std::clamp<qint64>(xCount, 0, Size() - FPosition);
    if (wCount > 0)
        std::memcpy(xBuffer, FData.constData() + FPosition, static_cast<size_t>(wCount));
    FPosition += wCount;
    return wCount;
}

// ---------------------------------------------------------------------------------------------

namespace {

// The connection's settings. The defaults are the suite's fixed settings; a connection string
// overrides what it names.
struct TSettings {
    QString Provider;  // empty: the driver is chosen automatically
    QString DataSource;
    QString InitialCatalog;
    QString ApplicationName;
    bool IntegratedSecurity = false;
    QString UserID;
    QString Password;
    bool PersistSecurityInfo = false;
    bool Pooling = true;
    bool LoginPrompt = false;
    int ConnectTimeout = 15;
    bool Encrypt = false;
    bool TrustServerCertificate = false;
    bool MultipleActiveResultSets = false;
    int PacketSize = 4096;
};

}  // namespace

struct TOdbcConnection::TImpl {
    std::shared_ptr<TOdbcEnv> Env = TOdbcEnv::Shared();
    SQLHDBC Dbc = SQL_NULL_HDBC;
    QString ConnectString;     // as applied; without its password once connected (unless persisted)
    TSettings Settings;        // the password stays here for reconnects only
    QString DriverString;      // password masked
    bool LocalFailover = false;
    bool InTransaction = false;
    bool Lost = false;         // the link broke under us; failover may bring it back

    void Apply(const QString& xConnectString);
    QString BuildDriverString(const TDriverChoice& xDriver, bool xMasked) const;
    void Open();
    void FreeDbc();
    void DropLink();
    bool LinkDead() const;
    void EnsureLink(TOdbcConnection& xOwner);
};

void TOdbcConnection::TImpl::Apply(const QString& xConnectString)
{
    Settings = TSettings{};
    ConnectString = xConnectString;
    for (const TPair& p : ParsePairs(xConnectString)) {
        const QString k = p.Key.toLower();
        const QString& v = p.Value;
        if (k == QLatin1String("provider"))
            Settings.Provider = v.trimmed();
        else if (k == QLatin1String("data source") || k == QLatin1String("server") || k == QLatin1String("address")
                 || k == QLatin1String("addr") || k == QLatin1String("network address"))
            Settings.DataSource = v.trimmed();
        else if (k == QLatin1String("initial catalog") || k == QLatin1String("database"))
            Settings.InitialCatalog = v;
        else if (k == QLatin1String("application name") || k == QLatin1String("app"))
            Settings.ApplicationName = v;
        else if (k == QLatin1String("integrated security") || k == QLatin1String("trusted_connection"))
            Settings.IntegratedSecurity = ParseBool(v, false);
        else if (k == QLatin1String("user id") || k == QLatin1String("uid") || k == QLatin1String("user"))
            Settings.UserID = v;
        else if (k == QLatin1String("password") || k == QLatin1String("pwd"))
            Settings.Password = v;
        else if (k == QLatin1String("persist security info"))
            Settings.PersistSecurityInfo = ParseBool(v, false);
        else if (k == QLatin1String("pooling"))
            Settings.Pooling = ParseBool(v, true);
        else if (k == QLatin1String("login prompt"))
            Settings.LoginPrompt = ParseBool(v, false);
        else if (k == QLatin1String("connect timeout") || k == QLatin1String("connection timeout")) {
            bool ok = false;
            const int t = v.trimmed().toInt(&ok);
            if (ok && t >= 0)
                Settings.ConnectTimeout = t;
        } else if (k == QLatin1String("encrypt"))
            Settings.Encrypt = ParseBool(v, false);
        else if (k == QLatin1String("trustservercertificate"))
            Settings.TrustServerCertificate = ParseBool(v, false);
        else if (k == QLatin1String("multipleactiveresultsets") || k == QLatin1String("mars_connection"))
            Settings.MultipleActiveResultSets = ParseBool(v, false);
        else if (k == QLatin1String("packet size")) {
            bool ok = false;
            const int s = v.trimmed().toInt(&ok);
            if (ok && s > 0)
                Settings.PacketSize = s;
        }
        // "Provider Name" names the client (always SQL Server here); other keys carry nothing for us.
    }
}

namespace {

struct TServerParts {
    QString Host;
    QString Instance;
    int Port = 0;  // 0: none named
};

// "host", "host,port", "host\instance", optionally with "tcp:" before it.
TServerParts SplitServer(const QString& xDataSource)
{
    TServerParts wParts;
    QString s = xDataSource.trimmed();
    if (s.startsWith(QLatin1String("tcp:"), Qt::CaseInsensitive))
        s = s.mid(4);
    const qsizetype wComma = s.indexOf(QLatin1Char(','));
    if (wComma >= 0) {
        wParts.Port = s.mid(wComma + 1).trimmed().toInt();
        s = s.left(wComma).trimmed();
    }
    const qsizetype wSlash = s.indexOf(QLatin1Char('\\'));
    if (wSlash >= 0) {
        wParts.Instance = s.mid(wSlash + 1);
        s = s.left(wSlash);
    }
    // Windows' names for this machine mean nothing to a resolver elsewhere.
    if (s == QLatin1String(".") || s.compare(QLatin1String("(local)"), Qt::CaseInsensitive) == 0)
        s = QStringLiteral("localhost");
    wParts.Host = s;
    return wParts;
}

}  // namespace

QString TOdbcConnection::TImpl::BuildDriverString(const TDriverChoice& xDriver, bool xMasked) const
{
    const TServerParts wServer = SplitServer(Settings.DataSource);
    QString s = QStringLiteral("DRIVER={%1};").arg(xDriver.Name);
    auto add = [&s, &xDriver](const char* xKey, const QString& xValue) {
        s += QLatin1String(xKey) + QLatin1Char('=') + DriverValue(xValue, xDriver.Kind) + QLatin1Char(';');
    };
    const QString wPassword = xMasked ? QStringLiteral("***") : Settings.Password;

    if (xDriver.Kind == TDriverKind::FreeTDS) {
        // FreeTDS wants the port as a key of its own: "host,port" would reach the server's
        // login record with a NUL in the server name.
        if (!wServer.Instance.isEmpty() && wServer.Port == 0) {
            add("Server", wServer.Host + QLatin1Char('\\') + wServer.Instance);
        } else {
            add("Server", wServer.Host);
            add("Port", QString::number(wServer.Port > 0 ? wServer.Port : cDefaultPort));
        }
    } else {
        QString wName = wServer.Host;
        if (!wServer.Instance.isEmpty())
            wName += QLatin1Char('\\') + wServer.Instance;
        if (wServer.Port > 0 || wServer.Instance.isEmpty())
            wName += QLatin1Char(',') + QString::number(wServer.Port > 0 ? wServer.Port : cDefaultPort);
        add("Server", xDriver.Kind == TDriverKind::Microsoft ? QLatin1String("tcp:") + wName : wName);
    }
    if (!Settings.InitialCatalog.trimmed().isEmpty())
        add("Database", Settings.InitialCatalog);
    if (!Settings.ApplicationName.isEmpty())
        add("APP", Settings.ApplicationName);
    if (Settings.IntegratedSecurity) {
        add("Trusted_Connection", QStringLiteral("Yes"));
    } else {
        add("UID", Settings.UserID);
        add("PWD", wPassword);
    }
    switch (xDriver.Kind) {
    case TDriverKind::FreeTDS:
        // Without a fixed protocol version a silent server makes the driver fall back to an
        // old login and wait forever.
        add("TDS_Version", QStringLiteral("7.4"));
        // "request" offers the server what Encrypt=False offers it in Microsoft's drivers: no
        // encryption asked for, but a server that insists (a cloud service) is still reached.
        add("Encryption", Settings.Encrypt ? QStringLiteral("require") : QStringLiteral("request"));
        add("MARS_Connection", Settings.MultipleActiveResultSets ? QStringLiteral("Yes") : QStringLiteral("No"));
        break;
    case TDriverKind::Microsoft:
        add("Encrypt", Settings.Encrypt ? QStringLiteral("yes") : QStringLiteral("no"));
        add("TrustServerCertificate", Settings.TrustServerCertificate ? QStringLiteral("yes") : QStringLiteral("no"));
        add("MARS_Connection", Settings.MultipleActiveResultSets ? QStringLiteral("yes") : QStringLiteral("no"));
        break;
    case TDriverKind::Legacy:
        add("Encrypt", Settings.Encrypt ? QStringLiteral("yes") : QStringLiteral("no"));
        break;
    }
    return s;
}

void TOdbcConnection::TImpl::FreeDbc()
{
    if (Dbc != SQL_NULL_HDBC) {
        SQLFreeHandle(SQL_HANDLE_DBC, Dbc);
        Dbc = SQL_NULL_HDBC;
    }
    InTransaction = false;
}

void TOdbcConnection::TImpl::Open()
{
    if (Settings.DataSource.isEmpty())
        throw EVelError(QStringLiteral("Connection Error: Server name cannot be empty."));
    const SQLHENV wEnv = Env->Handle();
    const TDriverChoice wDriver =
        ChooseDriver(wEnv, Settings.Provider.compare(QLatin1String("MSOLEDBSQL.1"), Qt::CaseInsensitive) == 0
                               || Settings.Provider.compare(QLatin1String("MSOLEDBSQL"), Qt::CaseInsensitive) == 0);
    DriverString = BuildDriverString(wDriver, true);
    const QString wFull = BuildDriverString(wDriver, false);

    Check(SQLAllocHandle(SQL_HANDLE_DBC, wEnv, &Dbc), SQL_HANDLE_ENV, wEnv, "SQLAllocHandle");
    try {
        Check(SQLSetConnectAttr(Dbc, SQL_ATTR_LOGIN_TIMEOUT,
                                reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(Settings.ConnectTimeout)), 0),
              SQL_HANDLE_DBC, Dbc, "SQLSetConnectAttr");
        Check(SQLSetConnectAttr(Dbc, SQL_ATTR_PACKET_SIZE,
                                reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(Settings.PacketSize)), 0),
              SQL_HANDLE_DBC, Dbc, "SQLSetConnectAttr");
        SQLWCHAR wOut[1024];
        SQLSMALLINT wOutLen = 0;
        // Never a prompt: this program runs unattended.
        const SQLRETURN wRc = SQLDriverConnectW(Dbc, nullptr, const_cast<SQLWCHAR*>(W(wFull)),
                                                static_cast<SQLSMALLINT>(wFull.size()), wOut, 1024, &wOutLen,
                                                SQL_DRIVER_NOPROMPT);
        if (!Succeeded(wRc))
            throw DiagError(SQL_HANDLE_DBC, Dbc, QStringLiteral("SQLDriverConnect"));
    } catch (...) {
        FreeDbc();
        throw;
    }
    Lost = false;
    InTransaction = false;
}

bool TOdbcConnection::TImpl::LinkDead() const
{
    if (Dbc == SQL_NULL_HDBC)
        return true;
    SQLUINTEGER wDead = SQL_CD_FALSE;
    if (!Succeeded(SQLGetConnectAttr(Dbc, SQL_ATTR_CONNECTION_DEAD, &wDead, 0, nullptr)))
        return false;
    return wDead == SQL_CD_TRUE;
}

// The link is gone: give the handle back and remember that it was lost, not closed. Whatever
// transaction was open is gone with it (the server rolls it back).
void TOdbcConnection::TImpl::DropLink()
{
    if (Dbc != SQL_NULL_HDBC)
        SQLDisconnect(Dbc);
    FreeDbc();
    Lost = true;
}

void TOdbcConnection::TImpl::EnsureLink(TOdbcConnection& xOwner)
{
    if (Dbc != SQL_NULL_HDBC)
        return;
    if (Lost && LocalFailover) {
        xOwner.Connect();
        return;
    }
    throw EVelError(QStringLiteral("Connection is not open."));
}

TOdbcConnection::TOdbcConnection() : FImpl(std::make_unique<TImpl>()) {}

TOdbcConnection::~TOdbcConnection()
{
    try {
        Close();
    } catch (...) {
        FImpl->FreeDbc();
    }
}

void TOdbcConnection::SetConnectString(const QString& xConnectString)
{
    if (Connected())
        Close();
    FImpl->Apply(xConnectString);
    FImpl->Lost = false;
}

QString TOdbcConnection::ConnectString() const
{
    return FImpl->ConnectString;
}

void TOdbcConnection::SetLocalFailover(bool xOn)
{
    FImpl->LocalFailover = xOn;
}

bool TOdbcConnection::LocalFailover() const
{
    return FImpl->LocalFailover;
}

void TOdbcConnection::Connect()
{
    if (Connected())
        Close();
    FImpl->Open();
    if (!FImpl->Settings.PersistSecurityInfo) {
        // The password leaves the visible settings; the private copy serves reconnects only.
        QString s = FImpl->ConnectString;
        const std::vector<TPair> wPairs = ParsePairs(s);
        for (auto it = wPairs.rbegin(); it != wPairs.rend(); ++it) {
            const QString k = it->Key.toLower();
            if (k == QLatin1String("password") || k == QLatin1String("pwd"))
                s.remove(it->Start, it->End - it->Start);
        }
        FImpl->ConnectString = s;
    }
}

void TOdbcConnection::Close()
{
    TImpl& d = *FImpl;
    d.Lost = false;
    if (d.Dbc == SQL_NULL_HDBC)
        return;
    if (d.InTransaction) {
        // ODBC refuses to disconnect inside a transaction; an open one is abandoned.
        SQLEndTran(SQL_HANDLE_DBC, d.Dbc, SQL_ROLLBACK);
        SQLSetConnectAttr(d.Dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_AUTOCOMMIT_ON)), 0);
    }
    const SQLRETURN wRc = SQLDisconnect(d.Dbc);
    if (!Succeeded(wRc)) {
        EOdbcError wError = DiagError(SQL_HANDLE_DBC, d.Dbc, QStringLiteral("SQLDisconnect"));
        d.FreeDbc();
        throw wError;
    }
    d.FreeDbc();
}

bool TOdbcConnection::Connected() const
{
    return FImpl->Dbc != SQL_NULL_HDBC;
}

void TOdbcConnection::StartTransaction()
{
    TImpl& d = *FImpl;
    d.EnsureLink(*this);
    if (d.InTransaction)
        throw EVelError(QStringLiteral("A transaction is already active."));
    // A link found dead while the transaction begins loses nothing yet: with local failover the
    // transaction is begun once more on a new link.
    for (int wTry = 0;; ++wTry) {
        const SQLRETURN wRc = SQLSetConnectAttr(d.Dbc, SQL_ATTR_AUTOCOMMIT,
                                                reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_AUTOCOMMIT_OFF)), 0);
        if (Succeeded(wRc))
            break;
        EOdbcError wError = DiagError(SQL_HANDLE_DBC, d.Dbc, QStringLiteral("SQLSetConnectAttr"));
        if (!wError.ConnectionLost() && !d.LinkDead())
            throw wError;
        d.DropLink();
        if (wTry > 0 || !d.LocalFailover)
            throw LinkLost(wError);
        Connect();
    }
    d.InTransaction = true;
}

namespace {

void EndTransaction(TOdbcConnection::TImpl& d, SQLSMALLINT xHow)
{
    const SQLRETURN wRc = SQLEndTran(SQL_HANDLE_DBC, d.Dbc, xHow);
    if (!Succeeded(wRc)) {
        EOdbcError wError = DiagError(SQL_HANDLE_DBC, d.Dbc, QStringLiteral("SQLEndTran"));
        if (wError.ConnectionLost() || d.LinkDead()) {
            d.DropLink();
            // A rollback on a dead link has nothing left to undo: the server did it.
            if (xHow == SQL_ROLLBACK)
                return;
            throw LinkLost(wError);
        }
        if (xHow == SQL_ROLLBACK) {
            SQLSetConnectAttr(d.Dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_AUTOCOMMIT_ON)), 0);
            d.InTransaction = false;
        }
        throw wError;
    }
    d.InTransaction = false;
    const SQLRETURN wAuto =
        SQLSetConnectAttr(d.Dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_AUTOCOMMIT_ON)), 0);
    if (!Succeeded(wAuto)) {
        EOdbcError wError = DiagError(SQL_HANDLE_DBC, d.Dbc, QStringLiteral("SQLSetConnectAttr"));
        if (wError.ConnectionLost() || d.LinkDead()) {
            d.DropLink();
            throw LinkLost(wError);
        }
        throw wError;
    }
}

}  // namespace

void TOdbcConnection::Commit()
{
    if (!FImpl->InTransaction || FImpl->Dbc == SQL_NULL_HDBC)
        throw EVelError(QStringLiteral("No transaction is active."));
    EndTransaction(*FImpl, SQL_COMMIT);
}

void TOdbcConnection::Rollback()
{
    if (!FImpl->InTransaction || FImpl->Dbc == SQL_NULL_HDBC)
        return;
    EndTransaction(*FImpl, SQL_ROLLBACK);
}

bool TOdbcConnection::InTransaction() const
{
    return FImpl->InTransaction;
}

QString TOdbcConnection::DriverConnectString() const
{
    return FImpl->DriverString;
}

// ---------------------------------------------------------------------------------------------
// Queries

namespace {

// Turns ":name" markers into "?" and lists the names in marker order. Quoted literals,
// bracketed and double-quoted names and both kinds of comment are copied untouched; "::" is
// plain text (T-SQL uses it), and so is a colon not followed by a name.
void ScanMarkers(const QString& xText, QString& xOut, QStringList& xNames)
{
    xOut.clear();
    xNames.clear();
    xOut.reserve(xText.size());
    const qsizetype n = xText.size();
    auto isNameChar = [](QChar c) { return c.isLetterOrNumber() || c == QLatin1Char('_'); };
    qsizetype i = 0;
    // Copies a quoted span that xClose ends, where a doubled xClose stands for itself.
    auto copyQuoted = [&](QChar xClose) {
        xOut += xText[i++];
        while (i < n) {
            const QChar c = xText[i++];
            xOut += c;
            if (c == xClose) {
                if (i < n && xText[i] == xClose) {
                    xOut += xText[i++];
                    continue;
                }
                return;
            }
        }
    };
    while (i < n) {
        const QChar c = xText[i];
        if (c == QLatin1Char('\'')) {
            copyQuoted(QLatin1Char('\''));
        } else if (c == QLatin1Char('"')) {
            copyQuoted(QLatin1Char('"'));
        } else if (c == QLatin1Char('[')) {
            copyQuoted(QLatin1Char(']'));
        } else if (c == QLatin1Char('-') && i + 1 < n && xText[i + 1] == QLatin1Char('-')) {
            while (i < n && xText[i] != QLatin1Char('\n') && xText[i] != QLatin1Char('\r'))
                xOut += xText[i++];
        } else if (c == QLatin1Char('/') && i + 1 < n && xText[i + 1] == QLatin1Char('*')) {
            // T-SQL block comments nest.
            int wDepth = 0;
            while (i < n) {
                if (xText[i] == QLatin1Char('/') && i + 1 < n && xText[i + 1] == QLatin1Char('*')) {
                    ++wDepth;
                    xOut += xText[i++];
                    xOut += xText[i++];
                } else if (xText[i] == QLatin1Char('*') && i + 1 < n && xText[i + 1] == QLatin1Char('/')) {
                    xOut += xText[i++];
                    xOut += xText[i++];
                    if (--wDepth == 0)
                        break;
                } else {
                    xOut += xText[i++];
                }
            }
        } else if (c == QLatin1Char(':')) {
            if (i + 1 < n && xText[i + 1] == QLatin1Char(':')) {
                xOut += QLatin1String("::");
                i += 2;
            } else if (i + 1 < n && isNameChar(xText[i + 1])) {
                qsizetype j = i + 1;
                while (j < n && isNameChar(xText[j]))
                    ++j;
                xNames << xText.mid(i + 1, j - i - 1);
                xOut += QLatin1Char('?');
                i = j;
            } else {
                xOut += xText[i++];
            }
        } else {
            xOut += xText[i++];
        }
    }
}

enum class TCellKind : unsigned char { Null, Int, Text, Bytes };

struct TCell {
    TCellKind Kind = TCellKind::Null;
    qint64 Int = 0;
    QString Text;
    QByteArray Bytes;
};

struct TColumn {
    QString Name;
    SQLSMALLINT Type = 0;
};

// One buffer per statement for the pieces of long values, so a row of small values costs no
// large allocation per field.
struct TScratch {
    std::vector<char> Bytes = std::vector<char>(static_cast<size_t>(cChunkBytes));
};

QString ReadWide(const TStmt& xStmt, SQLUSMALLINT xCol, TScratch& xScratch, bool& xNull)
{
    const SQLLEN wBufBytes = static_cast<SQLLEN>(xScratch.Bytes.size());
    const SQLLEN wChars = wBufBytes / static_cast<SQLLEN>(sizeof(SQLWCHAR)) - 1;  // room for the terminator
    auto* wBuf = reinterpret_cast<SQLWCHAR*>(xScratch.Bytes.data());
    QString wText;
    xNull = false;
    for (;;) {
        SQLLEN wInd = 0;
        const SQLRETURN wRc = SQLGetData(xStmt.Handle(), xCol, SQL_C_WCHAR, wBuf, wBufBytes, &wInd);
        if (wRc == SQL_NO_DATA)
            break;
        xStmt.Check(wRc, "SQLGetData");
        if (wInd == SQL_NULL_DATA) {
            xNull = true;
            return {};
        }
        const bool wMore = wRc == SQL_SUCCESS_WITH_INFO
                        && (wInd == SQL_NO_TOTAL || wInd / static_cast<SQLLEN>(sizeof(SQLWCHAR)) > wChars);
        wText += FromW(wBuf, wMore ? wChars : wInd / static_cast<SQLLEN>(sizeof(SQLWCHAR)));
        if (!wMore)
            break;
    }
    return wText;
}

// A binary value in pieces of cChunkBytes. When the driver tells the whole length, the result
// is allocated once and the pieces land in it directly.
QByteArray ReadBinary(const TStmt& xStmt, SQLUSMALLINT xCol, TScratch& xScratch, bool& xNull)
{
    xNull = false;
    SQLLEN wInd = 0;
    SQLRETURN wRc = SQLGetData(xStmt.Handle(), xCol, SQL_C_BINARY, xScratch.Bytes.data(), cChunkBytes, &wInd);
    if (wRc == SQL_NO_DATA)
        return {};
    xStmt.Check(wRc, "SQLGetData");
    if (wInd == SQL_NULL_DATA) {
        xNull = true;
        return {};
    }
    const bool wMore = wRc == SQL_SUCCESS_WITH_INFO && (wInd == SQL_NO_TOTAL || wInd > cChunkBytes);
    if (!wMore)
        return QByteArray(xScratch.Bytes.data(), static_cast<qsizetype>(wInd));

    QByteArray wData;
    if (wInd != SQL_NO_TOTAL) {
        wData.resize(static_cast<qsizetype>(wInd));
        std::memcpy(wData.data(), xScratch.Bytes.data(), static_cast<size_t>(cChunkBytes));
        qsizetype wUsed = cChunkBytes;
        while (wUsed < wData.size()) {
            const SQLLEN wWant = std::min<SQLLEN>(cChunkBytes, static_cast<SQLLEN>(wData.size() - wUsed));
            wRc = SQLGetData(xStmt.Handle(), xCol, SQL_C_BINARY, wData.data() + wUsed, wWant, &wInd);
            if (wRc == SQL_NO_DATA)
                break;
            xStmt.Check(wRc, "SQLGetData");
            wUsed += wWant;
        }
        wData.resize(wUsed);
        return wData;
    }
    // Length unknown: append piece by piece (the array grows geometrically).
    wData.append(xScratch.Bytes.data(), static_cast<qsizetype>(cChunkBytes));
    for (;;) {
        wRc = SQLGetData(xStmt.Handle(), xCol, SQL_C_BINARY, xScratch.Bytes.data(), cChunkBytes, &wInd);
        if (wRc == SQL_NO_DATA)
            break;
        xStmt.Check(wRc, "SQLGetData");
        const bool wFull = wRc == SQL_SUCCESS_WITH_INFO && (wInd == SQL_NO_TOTAL || wInd > cChunkBytes);
        wData.append(xScratch.Bytes.data(), wFull ? static_cast<qsizetype>(cChunkBytes) : static_cast<qsizetype>(wInd));
        if (!wFull)
            break;
    }
    return wData;
}

TCell ReadCell(const TStmt& xStmt, SQLUSMALLINT xCol, SQLSMALLINT xType, TScratch& xScratch)
{
    TCell wCell;
    bool wNull = false;
    switch (xType) {
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY: {
        wCell.Bytes = ReadBinary(xStmt, xCol, xScratch, wNull);
        wCell.Kind = TCellKind::Bytes;
        break;
    }
    case SQL_BIT:
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT: {
        SQLBIGINT v = 0;
        SQLLEN wInd = 0;
        xStmt.Check(SQLGetData(xStmt.Handle(), xCol, SQL_C_SBIGINT, &v, sizeof v, &wInd), "SQLGetData");
        wNull = wInd == SQL_NULL_DATA;
        wCell.Int = v;
        wCell.Kind = TCellKind::Int;
        break;
    }
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: {
        double v = 0;
        SQLLEN wInd = 0;
        xStmt.Check(SQLGetData(xStmt.Handle(), xCol, SQL_C_DOUBLE, &v, sizeof v, &wInd), "SQLGetData");
        wNull = wInd == SQL_NULL_DATA;
        wCell.Text = QString::number(v, 'g', xType == SQL_REAL ? 7 : 15);
        wCell.Kind = TCellKind::Text;
        break;
    }
    default:
        // Text of every kind, and whatever else the driver can render as text.
        wCell.Text = ReadWide(xStmt, xCol, xScratch, wNull);
        wCell.Kind = TCellKind::Text;
        break;
    }
    if (wNull)
        wCell = TCell{};
    return wCell;
}

}  // namespace

struct TOdbcQuery::TImpl {
    TOdbcConnection* Connection = nullptr;
    bool ParamCheck = false;
    bool ReadOnly = false;
    QStringList Lines;

    // The statement as sent, with its markers, worked out when the text changes.
    bool Scanned = false;
    QString DriverText;
    QStringList Markers;
    std::map<QString, QByteArray> Values;  // by lower-case name

    bool Active = false;
    std::vector<TColumn> Columns;
    std::vector<std::vector<TCell>> Rows;
    qsizetype Position = 0;
    qint64 RowsAffected = -1;

    void TextChanged();
    void Scan();
    const TCell& Cell(const QString& xName) const;
    void Run(bool xWantRows);
    void RunOnce(SQLHDBC xDbc, bool xWantRows);
};

void TOdbcQuery::TImpl::TextChanged()
{
    Scanned = false;
}

void TOdbcQuery::TImpl::Scan()
{
    if (Scanned)
        return;
    const QString wText = Lines.join(QLatin1String("\r\n"));
    if (ParamCheck) {
        ScanMarkers(wText, DriverText, Markers);
    } else {
        DriverText = wText;
        Markers.clear();
    }
    // Values of parameters that the new text no longer names are dropped.
    for (auto it = Values.begin(); it != Values.end();) {
        const bool wNamed = std::any_of(Markers.begin(), Markers.end(),
                                        [&](const QString& m) { return m.toLower() == it->first; });
        it = wNamed ? std::next(it) : Values.erase(it);
    }
    Scanned = true;
}

const TCell& TOdbcQuery::TImpl::Cell(const QString& xName) const
{
    if (!Active)
        throw EVelError(QStringLiteral("Cannot read field '%1': the query is not open.").arg(xName));
    qsizetype wCol = -1;
    for (qsizetype i = 0; i < static_cast<qsizetype>(Columns.size()); ++i)
        if (Columns[static_cast<size_t>(i)].Name.compare(xName, Qt::CaseInsensitive) == 0) {
            wCol = i;
            break;
        }
    if (wCol < 0)
        throw EVelError(QStringLiteral("Field '%1' not found").arg(xName));
    if (Position >= static_cast<qsizetype>(Rows.size()))
        throw EVelError(QStringLiteral("Cannot read field '%1': there is no current row.").arg(xName));
    return Rows[static_cast<size_t>(Position)][static_cast<size_t>(wCol)];
}

void TOdbcQuery::TImpl::RunOnce(SQLHDBC xDbc, bool xWantRows)
{
    Scan();
    TStmt st(xDbc);

    // BLOBs go as varbinary(max) with data at execution; the driver asks for each in turn.
    // SQL_VARBINARY would be declared varbinary(n <= 8000) and cut without a word.
    std::vector<SQLLEN> wInd(static_cast<size_t>(Markers.size()));
    std::vector<const QByteArray*> wData(static_cast<size_t>(Markers.size()), nullptr);
    for (qsizetype i = 0; i < Markers.size(); ++i) {
        const auto wNo = static_cast<SQLUSMALLINT>(i + 1);
        const auto it = Values.find(Markers[i].toLower());
        const size_t k = static_cast<size_t>(i);
        if (it == Values.end()) {
            wInd[k] = SQL_NULL_DATA;
            st.Check(SQLBindParameter(st.Handle(), wNo, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, 1, 0,
                                      nullptr, 0, &wInd[k]),
                     "SQLBindParameter");
            continue;
        }
        wData[k] = &it->second;
        const SQLLEN wSize = static_cast<SQLLEN>(it->second.size());
        wInd[k] = SQL_LEN_DATA_AT_EXEC(wSize);
        st.Check(SQLBindParameter(st.Handle(), wNo, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY,
                                  static_cast<SQLULEN>(std::max<SQLLEN>(wSize, 1)), 0,
                                  reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(i + 1)), 0, &wInd[k]),
                 "SQLBindParameter");
    }

    SQLRETURN wRc = SQLExecDirectW(st.Handle(), const_cast<SQLWCHAR*>(W(DriverText)),
                                   static_cast<SQLINTEGER>(DriverText.size()));
    while (wRc == SQL_NEED_DATA) {
        SQLPOINTER wToken = nullptr;
        wRc = SQLParamData(st.Handle(), &wToken);
        if (wRc != SQL_NEED_DATA)
            break;
        const auto wIndex = static_cast<size_t>(reinterpret_cast<uintptr_t>(wToken)) - 1;
        if (wIndex >= wData.size() || !wData[wIndex]) {
            SQLCancel(st.Handle());  // a statement left waiting for data cannot be freed
            throw EVelError(QStringLiteral("The driver asked for a parameter that was not given."));
        }
        const QByteArray& wBytes = *wData[wIndex];
        if (wBytes.isEmpty()) {
            static const char sNothing = 0;
            st.Check(SQLPutData(st.Handle(), const_cast<char*>(&sNothing), 0), "SQLPutData");
        }
        for (qsizetype wOff = 0; wOff < wBytes.size(); wOff += cChunkBytes) {
            const SQLLEN wLen = std::min<SQLLEN>(cChunkBytes, static_cast<SQLLEN>(wBytes.size() - wOff));
            st.Check(SQLPutData(st.Handle(), const_cast<char*>(wBytes.constData() + wOff), wLen), "SQLPutData");
        }
    }
    st.Check(wRc, "SQLExecDirect");

    std::vector<TColumn> wColumns;
    std::vector<std::vector<TCell>> wRows;
    bool wHaveRows = false;
    qint64 wAffected = -1;
    // Every result is read or passed here, so the connection is free when this returns.
    for (bool wFirst = true;; wFirst = false) {
        if (!wFirst) {
            wRc = SQLMoreResults(st.Handle());
            if (wRc == SQL_NO_DATA)
                break;
            st.Check(wRc, "SQLMoreResults");
        }
        SQLSMALLINT wCols = 0;
        st.Check(SQLNumResultCols(st.Handle(), &wCols), "SQLNumResultCols");
        if (wCols == 0) {
            SQLLEN wCount = -1;
            if (Succeeded(SQLRowCount(st.Handle(), &wCount)) && wCount >= 0)
                wAffected = wCount;
            continue;
        }
        if (!xWantRows || wHaveRows)
            continue;  // later result sets are skipped by SQLMoreResults
        wHaveRows = true;
        for (SQLSMALLINT c = 1; c <= wCols; ++c) {
            SQLWCHAR wName[256];
            SQLSMALLINT wNameLen = 0, wType = 0, wDigits = 0, wNullable = 0;
            SQLULEN wSize = 0;
            st.Check(SQLDescribeColW(st.Handle(), static_cast<SQLUSMALLINT>(c), wName, 256, &wNameLen, &wType,
                                     &wSize, &wDigits, &wNullable),
                     "SQLDescribeCol");
            wColumns.push_back({FromW(wName, std::min<qsizetype>(wNameLen, 255)), wType});
        }
        TScratch wScratch;
        for (;;) {
            wRc = SQLFetch(st.Handle());
            if (wRc == SQL_NO_DATA)
                break;
            st.Check(wRc, "SQLFetch");
            std::vector<TCell> wRow;
            wRow.reserve(wColumns.size());
            for (size_t c = 0; c < wColumns.size(); ++c)
                wRow.push_back(ReadCell(st, static_cast<SQLUSMALLINT>(c + 1), wColumns[c].Type, wScratch));
            wRows.push_back(std::move(wRow));
        }
    }
    Columns = std::move(wColumns);
    Rows = std::move(wRows);
    RowsAffected = wAffected;
}

void TOdbcQuery::TImpl::Run(bool xWantRows)
{
    if (!Connection)
        throw EVelError(QStringLiteral("The query has no connection."));
    TOdbcConnection::TImpl& c = *Connection->Impl();
    c.EnsureLink(*Connection);
    try {
        RunOnce(c.Dbc, xWantRows);
        return;
    } catch (const EOdbcError& e) {
        if (!e.ConnectionLost() && !c.LinkDead())
            throw;
        // Local failover: outside a transaction the work is repeated once on a new link; inside
        // one the transaction is gone, so the error goes to the caller.
        const bool wRepeat = c.LocalFailover && !c.InTransaction;
        c.DropLink();
        if (!wRepeat)
            throw LinkLost(e);
    }
    Connection->Connect();
    try {
        RunOnce(c.Dbc, xWantRows);
    } catch (const EOdbcError& e) {
        if (!e.ConnectionLost() && !c.LinkDead())
            throw;
        c.DropLink();
        throw LinkLost(e);
    }
}

TOdbcQuery::TOdbcQuery(TOdbcConnection* xConnection, bool xParamCheck, bool xReadOnly)
    : FImpl(std::make_unique<TImpl>())
{
    FImpl->Connection = xConnection;
    FImpl->ParamCheck = xParamCheck;
    FImpl->ReadOnly = xReadOnly;
}

TOdbcQuery::~TOdbcQuery() = default;

TOdbcConnection* TOdbcQuery::Connection() const
{
    return FImpl->Connection;
}

void TOdbcQuery::SetConnection(TOdbcConnection* xConnection)
{
    if (FImpl->Connection != xConnection)
        Close();
    FImpl->Connection = xConnection;
}

bool TOdbcQuery::ParamCheck() const
{
    return FImpl->ParamCheck;
}

bool TOdbcQuery::ReadOnly() const
{
    return FImpl->ReadOnly;
}

void TOdbcQuery::SQLClear()
{
    FImpl->Lines.clear();
    FImpl->TextChanged();
}

void TOdbcQuery::SQLAdd(const QString& xLine)
{
    FImpl->Lines << xLine;
    FImpl->TextChanged();
}

void TOdbcQuery::SetSQLText(const QString& xText)
{
    QStringList wLines;
    QString wLine;
    for (qsizetype i = 0; i < xText.size(); ++i) {
        const QChar c = xText[i];
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            wLines << wLine;
            wLine.clear();
            if (c == QLatin1Char('\r') && i + 1 < xText.size() && xText[i + 1] == QLatin1Char('\n'))
                ++i;
        } else {
            wLine += c;
        }
    }
    // A final line break ends the last line; it does not start another.
    if (!wLine.isEmpty())
        wLines << wLine;
    FImpl->Lines = wLines;
    FImpl->TextChanged();
}

QStringList TOdbcQuery::SQLLines() const
{
    return FImpl->Lines;
}

QString TOdbcQuery::SQLText() const
{
    return FImpl->Lines.join(QLatin1String("\r\n"));
}

QStringList TOdbcQuery::ParamNames() const
{
    FImpl->Scan();
    QStringList wNames;
    for (const QString& m : FImpl->Markers)
        if (!wNames.contains(m, Qt::CaseInsensitive))
            wNames << m;
    return wNames;
}

void TOdbcQuery::Open()
{
    Close();
    FImpl->Run(true);
    FImpl->Active = true;
    FImpl->Position = 0;
}

void TOdbcQuery::ExecSQL()
{
    Close();
    FImpl->Run(false);
    FImpl->Columns.clear();
    FImpl->Rows.clear();
}

void TOdbcQuery::Close()
{
    FImpl->Active = false;
    FImpl->Columns.clear();
    FImpl->Rows.clear();
    FImpl->Position = 0;
}

bool TOdbcQuery::Active() const
{
    return FImpl->Active;
}

int TOdbcQuery::RecordCount() const
{
    return FImpl->Active ? static_cast<int>(FImpl->Rows.size()) : 0;
}

void TOdbcQuery::First()
{
    FImpl->Position = 0;
}

void TOdbcQuery::Next()
{
    if (FImpl->Position < static_cast<qsizetype>(FImpl->Rows.size()))
        ++FImpl->Position;
}

bool TOdbcQuery::Eof() const
{
    return !FImpl->Active || FImpl->Position >= static_cast<qsizetype>(FImpl->Rows.size());
}

qint64 TOdbcQuery::RowsAffected() const
{
    return FImpl->RowsAffected;
}

QString TOdbcQuery::FieldAsString(const QString& xName) const
{
    const TCell& c = FImpl->Cell(xName);
    switch (c.Kind) {
    case TCellKind::Null:
        return {};
    case TCellKind::Int:
        return QString::number(c.Int);
    case TCellKind::Text:
        return c.Text;
    case TCellKind::Bytes:
        return QString::fromLatin1(c.Bytes);
    }
    return {};
}

qint32 TOdbcQuery::FieldAsInteger(const QString& xName) const
{
    const TCell& c = FImpl->Cell(xName);
    qint64 v = 0;
    switch (c.Kind) {
    case TCellKind::Null:
        return 0;
    case TCellKind::Int:
        v = c.Int;
        break;
    case TCellKind::Text:
    case TCellKind::Bytes: {
        const QString t = c.Kind == TCellKind::Text ? c.Text : QString::fromLatin1(c.Bytes);
        bool ok = false;
        v = t.trimmed().toLongLong(&ok);
        if (!ok)
            throw EVelError(QStringLiteral("'%1' is not a valid integer value").arg(t));
        break;
    }
    }
    if (v < std::numeric_limits<qint32>::min() || v > std::numeric_limits<qint32>::max())
        throw EVelError(QStringLiteral("%1 is not a valid 32-bit integer value").arg(v));
    return static_cast<qint32>(v);
}

bool TOdbcQuery::FieldIsNull(const QString& xName) const
{
    return FImpl->Cell(xName).Kind == TCellKind::Null;
}

std::unique_ptr<TBlobStream> TOdbcQuery::CreateBlobStream(const QString& xName) const
{
    const TCell& c = FImpl->Cell(xName);
    switch (c.Kind) {
    case TCellKind::Null:
        return std::make_unique<TBlobStream>(QByteArray());
    case TCellKind::Bytes:
        return std::make_unique<TBlobStream>(c.Bytes);  // shares the row's bytes, no copy
    case TCellKind::Int:
        return std::make_unique<TBlobStream>(QByteArray::number(c.Int));
    case TCellKind::Text:
        return std::make_unique<TBlobStream>(c.Text.toUtf8());
    }
    return std::make_unique<TBlobStream>(QByteArray());
}

void TOdbcQuery::ParamLoadFromStream(const QString& xName, TBlobStream& xStream)
{
    FImpl->Scan();
    if (!FImpl->Markers.contains(xName, Qt::CaseInsensitive))
        throw EVelError(QStringLiteral("Parameter '%1' not found").arg(xName));
    FImpl->Values[xName.toLower()] = xStream.Bytes();
    xStream.Seek(xStream.Size());
}
