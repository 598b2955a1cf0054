// Opening the two connections through the real driver, and the one connect error.
#include "DataTestDb.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>

using namespace datatest;

namespace {

class Connect : public TDataTest {};

QString ConnectError(const std::function<void()>& xConnect)
{
    try {
        xConnect();
    } catch (const EVelError& e) {
        return e.Message();
    }
    return QStringLiteral("<no error>");
}

const QString cPrefix = QStringLiteral("DataCMN.CommonConnect - Failed to connect to database [");

}  // namespace

TEST_F(Connect, OpensWithTheDriversKeysAndForgetsThePassword)
{
    ASSERT_TRUE(Data.ConnectDB_Common());
    EXPECT_TRUE(Data.VelmoraCommon.Connected());

    const QString wDriver = Data.VelmoraCommon.DriverConnectString();
    const QString wPort = QString::number(Server().Port());
    for (const QString& wPiece :
         {QStringLiteral("Server=127.0.0.1;Port=") + wPort + QLatin1Char(';'),
          QStringLiteral("Database=") + QString::fromStdString(CmnDB) + QLatin1Char(';'), QStringLiteral("APP=velUPD;"),
          QStringLiteral("UID=velupd;PWD=***;"), QStringLiteral("TDS_Version=7.4;"), QStringLiteral("Encryption=request;"),
          QStringLiteral("MARS_Connection=Yes;")})
        EXPECT_TRUE(wDriver.contains(wPiece)) << wDriver.toStdString() << " lacks " << wPiece.toStdString();

    // Persist Security Info=False: once connected the settings no longer show the password.
    const QString wShown = Data.VelmoraCommon.ConnectString();
    EXPECT_FALSE(wShown.contains(QLatin1String("Password"))) << wShown.toStdString();
    EXPECT_FALSE(wShown.contains(QLatin1String("Up;d"))) << wShown.toStdString();
    EXPECT_TRUE(wShown.startsWith(QLatin1String("Provider Name=SQL Server;Data Source=127.0.0.1,"))) << wShown.toStdString();
    EXPECT_FALSE(wDriver.contains(QLatin1String("Up;d")));

    // The login named the database: a statement runs in it.
    Data.vcQuery1.SQLAdd(QStringLiteral("SELECT * FROM vcSysProgRelease WITH (NOLOCK) "));
    Data.vcQuery1.Open();
    const auto wSeen = RequestsMatching("FROM vcSysProgRelease");
    ASSERT_EQ(wSeen.size(), 1u);
    EXPECT_EQ(wSeen[0].Database, CmnDB);
}

TEST_F(Connect, ErrorTextsCarryTheUntrimmedDatabaseSetting)
{
    gCmnHost = QStringLiteral("   ");
    gCmnDBName = QStringLiteral(" SalesDB ");
    EXPECT_EQ(ConnectError([&] { Data.ConnectDB_Common(); }).toStdString(),
              "DataCMN.CommonConnect - Failed to connect to database [ SalesDB ]. Reason: Connection Error: Server "
              "name cannot be empty.");

    gCmnHost = HostSetting();
    gCmnDBName = QStringLiteral("\t");
    EXPECT_EQ(ConnectError([&] { Data.ReConnect_Common(); }).toStdString(),
              "DataCMN.CommonConnect - Failed to connect to database [\t]. Reason: Connection Error: Database name "
              "cannot be empty.");

    // The cloud connection before its settings were read: nothing reaches any server.
    gRemHost = gRemDBName = gRemUser = gRemPswd = gRemConnector = QString();
    EXPECT_EQ(ConnectError([&] { Data.ConnectDB_Cloud(); }).toStdString(),
              "DataCMN.CommonConnect - Failed to connect to database []. Reason: Connection Error: Server name "
              "cannot be empty.");
    EXPECT_TRUE(Server().Requests().empty());
    EXPECT_FALSE(Data.VelmoraCommon.Connected());
    EXPECT_FALSE(Data.CloudDB.Connected());
}

TEST_F(Connect, ClosedPortFailsFastWithTheDriversReason)
{
    gRemHost = ClosedHostSetting();
    const auto t0 = std::chrono::steady_clock::now();
    const QString wError = ConnectError([&] { Data.ConnectDB_Cloud(); });
    const auto wTook = std::chrono::steady_clock::now() - t0;

    const QString wStart = cPrefix + QString::fromStdString(CloudDB) + QStringLiteral("]. Reason: ");
    ASSERT_TRUE(wError.startsWith(wStart)) << wError.toStdString();
    EXPECT_GT(wError.size(), wStart.size() + 10) << "the driver's own reason follows";
    EXPECT_TRUE(wError.contains(QLatin1Char('\n'))) << "each of the driver's records, one a line";
    EXPECT_LT(wTook, std::chrono::seconds(15));
    EXPECT_FALSE(Data.CloudDB.Connected());
}

TEST_F(Connect, PasswordsWithQuotingCharactersArriveUnchanged)
{
    struct {
        const char* User;
        const char* Password;
    } const cases[] = {
        {"u_semicolon", "a;b"}, {"u_brace", "a}b;c"}, {"u_lead", "{lead}"}, {"u_close", "plain}"},
    };
    for (const auto& c : cases) {
        Server().AddUser(c.User, c.Password);
        gCmnUser = QString::fromLatin1(c.User);
        gCmnPswd = QString::fromLatin1(c.Password);
        EXPECT_NO_THROW(Data.ConnectDB_Common()) << c.Password;
        EXPECT_TRUE(Data.VelmoraCommon.Connected()) << c.Password;
    }
    // FreeTDS ends a braced value at the first "};": such a password cannot reach it intact.
    gCmnPswd = QStringLiteral("x};y");
    const QString wError = ConnectError([&] { Data.ConnectDB_Common(); });
    EXPECT_TRUE(wError.contains(QLatin1String("cannot take a setting that contains \"};\""))) << wError.toStdString();
}

TEST_F(Connect, WrongPasswordIsRefused)
{
    gCmnPswd = QStringLiteral("not the password");
    const QString wError = ConnectError([&] { Data.ConnectDB_Common(); });
    EXPECT_TRUE(wError.startsWith(cPrefix + QString::fromStdString(CmnDB) + QStringLiteral("]. Reason: ")))
        << wError.toStdString();
    EXPECT_TRUE(wError.contains(QLatin1String("Login failed for user 'velupd'"))) << wError.toStdString();
    EXPECT_FALSE(Data.VelmoraCommon.Connected());
}

TEST_F(Connect, ConnectingAnOpenConnectionReconnectsWithTheCurrentSettings)
{
    ASSERT_TRUE(Data.ConnectDB_Common());
    gCmnDBName = QString::fromStdString(CloudDB);
    ASSERT_TRUE(Data.ReConnect_Common());
    Data.vcQuery1.SQLAdd(QStringLiteral("SELECT * FROM vcSysProgRelease WITH (NOLOCK) "));
    Data.vcQuery1.Open();
    const auto wSeen = RequestsMatching("FROM vcSysProgRelease");
    ASSERT_EQ(wSeen.size(), 1u);
    EXPECT_EQ(wSeen[0].Database, CloudDB);

    // A failed new attempt leaves the connection closed.
    gCmnHost = ClosedHostSetting();
    EXPECT_TRUE(ConnectError([&] { Data.ConnectDB_Common(); }).startsWith(cPrefix));
    EXPECT_FALSE(Data.VelmoraCommon.Connected());
}

TEST_F(Connect, OleDbConnectorInsistsOnMicrosoftsDriver)
{
    gCmnConnector = QStringLiteral("MSOLEDBSQL");
    const QString wError = ConnectError([&] { Data.ConnectDB_Common(); });
    if (wError == QLatin1String("<no error>")) {
        EXPECT_TRUE(Data.VelmoraCommon.DriverConnectString().startsWith(QLatin1String("DRIVER={ODBC Driver ")));
    } else {
        EXPECT_TRUE(wError.contains(QLatin1String("ODBC Driver NN for SQL Server"))) << wError.toStdString();
        EXPECT_TRUE(Server().Requests().empty());
    }
}

TEST(ConnectTimeout, ServerThatNeverAnswersIsGivenUpAfterTheLoginTimeout)
{
    // A port that takes the connection but never says a word.
    const int wSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in wAddr{};
    wAddr.sin_family = AF_INET;
    wAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t wLen = sizeof wAddr;
    ASSERT_EQ(::bind(wSocket, reinterpret_cast<sockaddr*>(&wAddr), sizeof wAddr), 0);
    ASSERT_EQ(::listen(wSocket, 4), 0);
    ::getsockname(wSocket, reinterpret_cast<sockaddr*>(&wAddr), &wLen);

    TOdbcConnection c;
    c.SetConnectString(QStringLiteral("Data Source=127.0.0.1,%1;Initial Catalog=x;User ID=u;Password=p;Connect Timeout=2;")
                           .arg(ntohs(wAddr.sin_port)));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(c.Connect(), EOdbcError);
    const auto wTook = std::chrono::steady_clock::now() - t0;
    ::close(wSocket);
    EXPECT_GE(wTook, std::chrono::milliseconds(1500));
    EXPECT_LT(wTook, std::chrono::seconds(20));
    EXPECT_FALSE(c.Connected());
}
