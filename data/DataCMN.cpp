#include "DataCMN.h"
#include "SysGen.h"

#include <QFile>

TcData* cData = nullptr;

namespace {

// A value that could end its pair early or open a quoted value goes in braces, "}" doubled,
// so that no setting can add a key of its own.
QString PairValue(const QString& xValue)
{
    if (xValue.contains(QLatin1Char(';')) || xValue.startsWith(QLatin1Char('{')) || xValue.startsWith(QLatin1Char('"')))
        return QLatin1Char('{') + QString(xValue).replace(QLatin1String("}"), QLatin1String("}}")) + QLatin1Char('}');
    return xValue;
}

// The statement error file holds the system's 8-bit text: the ANSI code page on Windows; on
// other systems Latin-1 stands in for it.
QByteArray EightBit(const QString& xText)
{
#ifdef Q_OS_WIN
    return xText.toLocal8Bit();
#else
    return xText.toLatin1();
#endif
}

void WriteStatementFile(const QStringList& xLines)
{
    const QString wFileName = gEXEPath + QStringLiteral("CMNSQLError.TXT");
    QByteArray wContent;
    for (const QString& wLine : xLines)
        wContent += EightBit(wLine) + "\r\n";
    QFile wFile(wFileName);
    if (!wFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw EVelError(QStringLiteral("Cannot create file \"%1\". %2").arg(wFileName, wFile.errorString()));
    if (wFile.write(wContent) != wContent.size() || !wFile.flush())
        throw EVelError(QStringLiteral("Cannot write file \"%1\". %2").arg(wFileName, wFile.errorString()));
}

}  // namespace

TcData::TcData()
    : vcUpdSQL(&VelmoraCommon, true, false),
      vcLoadQuery1(&VelmoraCommon, false, true),
      vcQuery1(&VelmoraCommon, false, true),
      vcQuery2(&VelmoraCommon, false, true),
      vcQuery3(&VelmoraCommon, false, true),
      qryServices(&VelmoraCommon, false, true),
      vcImages(&VelmoraCommon, true, false),
      vcUpdTemplate(&VelmoraCommon, true, false),
      rUpdSQL(&CloudDB, true, false),
      rLoadQuery1(&CloudDB, false, true),
      rQuery1(&CloudDB, false, true),
      rqryZIPUpload(&CloudDB, true, true),
      rQuery2(&CloudDB, false, true),
      vcZIPUpload(&VelmoraCommon, true, false)
{
}

TcData::~TcData() = default;

QString TcData::BuildConnectionStr(QString xHost, QString xDBName, QString xUser, QString xPswd,
                                   QString xDBConnector)
{
    const QString wServerName = sg_Trim(xHost);
    if (wServerName.isEmpty())
        throw EVelError(QStringLiteral("Connection Error: Server name cannot be empty."));
    const QString wDBName = sg_Trim(xDBName);
    if (wDBName.isEmpty())
        throw EVelError(QStringLiteral("Connection Error: Database name cannot be empty."));

    QString wConnBuilder;
    wConnBuilder += QStringLiteral("Provider Name=SQL Server;");
    // The connector is compared whole and untrimmed, letter case ignored.
    if (xDBConnector.compare(QLatin1String("MSOLEDBSQL"), Qt::CaseInsensitive) == 0
        || xDBConnector.compare(QLatin1String("MSOLEDBSQL.1"), Qt::CaseInsensitive) == 0)
        wConnBuilder += QStringLiteral("Provider=MSOLEDBSQL.1;");
    wConnBuilder += QStringLiteral("Data Source=") + PairValue(wServerName) + QLatin1Char(';');
    wConnBuilder += QStringLiteral("Initial Catalog=") + PairValue(wDBName) + QLatin1Char(';');
    wConnBuilder += QStringLiteral("Application Name=velUPD;");
    const QString wUser = sg_Trim(xUser);
    if (wUser.isEmpty()) {
        wConnBuilder += QStringLiteral("Integrated Security=True;");
    } else {
        wConnBuilder += QStringLiteral("User ID=") + PairValue(wUser) + QLatin1Char(';');
        wConnBuilder += QStringLiteral("Password=") + PairValue(sg_Trim(xPswd)) + QLatin1Char(';');
        wConnBuilder += QStringLiteral("Persist Security Info=False;");
    }
    wConnBuilder += QStringLiteral("Pooling=True;");
    wConnBuilder += QStringLiteral("Login Prompt=False;");
    wConnBuilder += QStringLiteral("Connect Timeout=60;");
    wConnBuilder += QStringLiteral("Encrypt=False;");
    wConnBuilder += QStringLiteral("TrustServerCertificate=True;");
    wConnBuilder += QStringLiteral("MultipleActiveResultSets=True;");
    return wConnBuilder;
}

bool TcData::Connect(TOdbcConnection& xConnection, const QString& xHost, const QString& xDBName,
                     const QString& xUser, const QString& xPswd, const QString& xDBConnector)
{
    // Outside the trap: an error while closing reaches the caller as it is.
    if (xConnection.Connected())
        xConnection.Close();
    try {
        xConnection.SetConnectString(BuildConnectionStr(xHost, xDBName, xUser, xPswd, xDBConnector));
        xConnection.SetLocalFailover(true);
        xConnection.Connect();
    } catch (const std::exception& e) {
        throw EVelError(QStringLiteral("DataCMN") + QStringLiteral(".CommonConnect - Failed to connect to database [")
                        + xDBName + QStringLiteral("]. Reason: ") + ErrorMessage(e));
    }
    return xConnection.Connected();
}

bool TcData::ConnectDB_Common()
{
    return Connect(VelmoraCommon, gCmnHost, gCmnDBName, gCmnUser, gCmnPswd, gCmnConnector);
}

void TcData::Close_Query_Common()
{
    vcUpdSQL.Close();
    vcLoadQuery1.Close();
    vcUpdTemplate.Close();
    qryServices.Close();
    vcQuery1.Close();
    vcQuery2.Close();
    vcQuery3.Close();
    vcImages.Close();
}

void TcData::CloseDB_Common()
{
    VelmoraCommon.Close();
}

bool TcData::Disconnect_Common()
{
    VelmoraCommon.Close();
    return !VelmoraCommon.Connected();
}

bool TcData::ReConnect_Common()
{
    return Connect(VelmoraCommon, gCmnHost, gCmnDBName, gCmnUser, gCmnPswd, gCmnConnector);
}

bool TcData::ExecSQL(TOdbcConnection& xConnection, TOdbcQuery& xQuery, const QString& xSQL)
{
    bool wResult = true;
    // Outside the trap: a transaction that cannot start reaches the caller.
    xConnection.StartTransaction();
    try {
        xQuery.SetConnection(&xConnection);
        xQuery.SetSQLText(xSQL);
        xQuery.ExecSQL();
        xConnection.Commit();
    } catch (const std::exception&) {
        // The statement's error is dropped; what is left of it is the statement in the file.
        xConnection.Rollback();
        WriteStatementFile(xQuery.SQLLines());
        wResult = false;
    }
    return wResult;
}

bool TcData::cmn_ExecSQL(const QString& xSQL)
{
    return ExecSQL(VelmoraCommon, vcUpdSQL, xSQL);
}

bool TcData::ConnectDB_Cloud()
{
    return Connect(CloudDB, gRemHost, gRemDBName, gRemUser, gRemPswd, gRemConnector);
}

void TcData::Close_Query_Cloud()
{
    rUpdSQL.Close();
    rLoadQuery1.Close();
    rQuery1.Close();
    vcZIPUpload.Close();
}

void TcData::CloseDB_Cloud()
{
    CloudDB.Close();
}

bool TcData::cloud_ExecSQL(const QString& xSQL)
{
    return ExecSQL(CloudDB, rUpdSQL, xSQL);
}
