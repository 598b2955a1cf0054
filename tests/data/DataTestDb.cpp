#include "DataTestDb.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>

namespace datatest {

veltest::StandInEnv& Env()
{
    static veltest::StandInEnv* sEnv = new veltest::StandInEnv;
    return *sEnv;
}

QString HostSetting()
{
    return QStringLiteral("127.0.0.1,%1").arg(Server().Port());
}

QString ClosedHostSetting()
{
    // Bind a free port, then let it go: nothing listens there afterwards.
    const int wSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in wAddr{};
    wAddr.sin_family = AF_INET;
    wAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t wLen = sizeof wAddr;
    ::bind(wSocket, reinterpret_cast<sockaddr*>(&wAddr), sizeof wAddr);
    ::getsockname(wSocket, reinterpret_cast<sockaddr*>(&wAddr), &wLen);
    ::close(wSocket);
    return QStringLiteral("127.0.0.1,%1").arg(ntohs(wAddr.sin_port));
}

QByteArray Pattern(qsizetype xSize, unsigned xSeed)
{
    QByteArray wData(xSize, Qt::Uninitialized);
    std::mt19937 wGen(xSeed);
    for (qsizetype i = 0; i < xSize; ++i)
        wData[i] = static_cast<char>(wGen() & 0xFF);
    return wData;
}

void TDataTest::SetUp()
{
    static std::atomic<int> sNext{0};
    const int n = ++sNext;
    CmnDB = "VelCommon" + std::to_string(n);
    CloudDB = "VelCloud" + std::to_string(n);
    Server().ClearFaults();
    Server().Seed(CmnDB, veltest::StandInEnv::SchemaSql());
    Server().Seed(CloudDB, veltest::StandInEnv::SchemaSql());
    Server().ClearRequests();

    ASSERT_TRUE(ExeDir.isValid());
    gEXEPath = ExeDir.path() + QLatin1Char('/');
    gCmnHost = HostSetting();
    gCmnDBName = QString::fromStdString(CmnDB);
    gCmnUser = QString::fromLatin1(cUser);
    gCmnPswd = QString::fromLatin1(cPassword);
    gCmnConnector = QStringLiteral("SQLOLEDB.1");
    gRemHost = HostSetting();
    gRemDBName = QString::fromStdString(CloudDB);
    gRemUser = QString::fromLatin1(cUser);
    gRemPswd = QString::fromLatin1(cPassword);
    gRemConnector = QString();
}

void TDataTest::TearDown()
{
    Server().ClearFaults();
}

std::vector<std::vector<std::string>> TDataTest::Rows(const std::string& xDatabase, const std::string& xSql)
{
    std::vector<std::vector<std::string>> wRows;
    for (const standin::Row& r : Server().Query(xDatabase, xSql)) {
        std::vector<std::string> wRow;
        for (const auto& v : r)
            wRow.push_back(v ? *v : std::string("<null>"));
        wRows.push_back(wRow);
    }
    return wRows;
}

std::vector<standin::Request> TDataTest::RequestsMatching(const std::string& xPart) const
{
    std::vector<standin::Request> wFound;
    for (const standin::Request& r : Server().Requests())
        if (r.Text.find(xPart) != std::string::npos)
            wFound.push_back(r);
    return wFound;
}

}  // namespace datatest
