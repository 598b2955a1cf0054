// The connection string of one database, built from its five settings.
#include "DataCMN.h"

#include <gtest/gtest.h>

namespace {

const QString cTail = QStringLiteral(
    "Pooling=True;Login Prompt=False;Connect Timeout=60;Encrypt=False;TrustServerCertificate=True;"
    "MultipleActiveResultSets=True;");

struct TCase {
    const char* Name;
    QString Host, DBName, User, Pswd, Connector;
    QString Expected;
};

QString Login(const QString& xUser, const QString& xPswd)
{
    return QStringLiteral("User ID=") + xUser + QStringLiteral(";Password=") + xPswd
         + QStringLiteral(";Persist Security Info=False;");
}

const QString cHead = QStringLiteral("Provider Name=SQL Server;");
const QString cOleDb = QStringLiteral("Provider=MSOLEDBSQL.1;");
const QString cSrv = QStringLiteral("Data Source=SRV01;Initial Catalog=SalesDB;Application Name=velUPD;");
const QString cIntegrated = QStringLiteral("Integrated Security=True;");

}  // namespace

TEST(BuildConnectionStr, PiecesOrderTrimmingAndQuoting)
{
    const TCase cases[] = {
        {"sql login (worked example 1)", " SRV01 ", "SalesDB", "appuser", "Pa55", "msoledbsql",
         QStringLiteral("Provider Name=SQL Server;Provider=MSOLEDBSQL.1;Data Source=SRV01;Initial Catalog=SalesDB;"
                        "Application Name=velUPD;User ID=appuser;Password=Pa55;Persist Security Info=False;"
                        "Pooling=True;Login Prompt=False;Connect Timeout=60;Encrypt=False;"
                        "TrustServerCertificate=True;MultipleActiveResultSets=True;")},
        {"integrated (worked example 2)", "SRV01", "SalesDB", "", "ignored", "SQLOLEDB.1",
         QStringLiteral("Provider Name=SQL Server;Data Source=SRV01;Initial Catalog=SalesDB;"
                        "Application Name=velUPD;Integrated Security=True;Pooling=True;Login Prompt=False;"
                        "Connect Timeout=60;Encrypt=False;TrustServerCertificate=True;"
                        "MultipleActiveResultSets=True;")},
        {"user of blanks only is integrated", "SRV01", "SalesDB", " \t ", "pw", "", cHead + cSrv + cIntegrated + cTail},
        {"MSOLEDBSQL.1 mixed case", "SRV01", "SalesDB", "", "", "MsOleDbSql.1", cHead + cOleDb + cSrv + cIntegrated + cTail},
        {"MSOLEDBSQL always names .1", "SRV01", "SalesDB", "", "", "MSOLEDBSQL", cHead + cOleDb + cSrv + cIntegrated + cTail},
        {"connector not trimmed", "SRV01", "SalesDB", "", "", " MSOLEDBSQL", cHead + cSrv + cIntegrated + cTail},
        {"connector compared whole", "SRV01", "SalesDB", "", "", "MSOLEDBSQL.12", cHead + cSrv + cIntegrated + cTail},
        {"control characters trimmed", "\tSRV01\r\n", "\x01SalesDB\x1f", "", "", "", cHead + cSrv + cIntegrated + cTail},
        {"blanks inside values stay", "SRV01", " Sales DB ", " app user ", " p w ", "",
         cHead + QStringLiteral("Data Source=SRV01;Initial Catalog=Sales DB;Application Name=velUPD;")
             + Login("app user", "p w") + cTail},
        {"empty password under a user", "SRV01", "SalesDB", "appuser", "   ", "", cHead + cSrv + Login("appuser", "") + cTail},
        {"instance and port kept as written", "HOST\\INST", "SalesDB", "", "", "",
         cHead + QStringLiteral("Data Source=HOST\\INST;Initial Catalog=SalesDB;Application Name=velUPD;") + cIntegrated + cTail},
        {"'=' needs no quoting", "SRV01", "SalesDB", "appuser", "a=b", "", cHead + cSrv + Login("appuser", "a=b") + cTail},
        {"';' encloses the value in braces", "SRV01", "SalesDB", "appuser", "a;Integrated Security=True", "",
         cHead + cSrv + Login("appuser", "{a;Integrated Security=True}") + cTail},
        {"'}' doubled inside braces", "SRV01", "SalesDB", "appuser", "x}y;z", "", cHead + cSrv + Login("appuser", "{x}}y;z}") + cTail},
        {"'}' alone needs no braces", "SRV01", "SalesDB", "appuser", "x}y", "", cHead + cSrv + Login("appuser", "x}y") + cTail},
        {"leading '{' is quoted", "SRV01", "SalesDB", "appuser", "{pw}", "", cHead + cSrv + Login("appuser", "{{pw}}}") + cTail},
        {"leading '\"' is quoted", "SRV01", "SalesDB", "appuser", "\"pw", "", cHead + cSrv + Login("appuser", "{\"pw}") + cTail},
        {"server with ';'", "SRV;01", "SalesDB", "", "", "",
         cHead + QStringLiteral("Data Source={SRV;01};Initial Catalog=SalesDB;Application Name=velUPD;") + cIntegrated + cTail},
    };
    for (const TCase& c : cases) {
        const QString s = TcData::BuildConnectionStr(c.Host, c.DBName, c.User, c.Pswd, c.Connector);
        EXPECT_EQ(s.toStdString(), c.Expected.toStdString()) << c.Name;
        EXPECT_TRUE(s.endsWith(QLatin1Char(';'))) << c.Name;
    }
}

TEST(BuildConnectionStr, ServerIsTestedBeforeDatabase)
{
    struct {
        QString Host, DBName;
        const char* Message;
    } const cases[] = {
        {"   ", "", "Connection Error: Server name cannot be empty."},
        {"", "SalesDB", "Connection Error: Server name cannot be empty."},
        {"SRV01", " \r\n", "Connection Error: Database name cannot be empty."},
    };
    for (const auto& c : cases) {
        try {
            TcData::BuildConnectionStr(c.Host, c.DBName, "u", "p", "");
            ADD_FAILURE() << "no error for host '" << c.Host.toStdString() << "'";
        } catch (const EVelError& e) {
            EXPECT_EQ(e.Message().toStdString(), c.Message);
        }
    }
}
