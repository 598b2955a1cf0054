// The text helpers, the process formats and the machine settings file.
#include "BoxRecorder.h"
#include "Error.h"
#include "SysGen.h"

#include <QDate>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <limits>

namespace {

struct TFormatsFixture : ::testing::Test {
    void SetUp() override { sg_SetProcessFormats(); }
    void TearDown() override { FormatSettings = TFormatSettings(); }
};

}  // namespace

TEST_F(TFormatsFixture, DateWalksDaysAndYears)
{
    const QDate wToday = QDate::currentDate();
    EXPECT_EQ(sg_Date(0), wToday.toString(QStringLiteral("yyyy/MM/dd")));
    EXPECT_EQ(sg_Date(-1), wToday.addDays(-1).toString(QStringLiteral("yyyy/MM/dd")));
    // One day past the year's last day is the first of January, month and day two digits.
    const qint32 wToYearEnd = static_cast<qint32>(wToday.daysTo(QDate(wToday.year(), 12, 31)));
    EXPECT_EQ(sg_Date(wToYearEnd + 1), QString::number(wToday.year() + 1) + QStringLiteral("/01/01"));
}

TEST_F(TFormatsFixture, TimeAndLogStampFollowTheProcessFormats)
{
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d$")).match(sg_Time()).hasMatch());
    EXPECT_EQ(DateToStr(QDate(2025, 3, 7)), QStringLiteral("2025/03/07"));
    EXPECT_EQ(TimeToStr(QTime(21, 5, 0)), QStringLiteral("21:05:00"));
    EXPECT_EQ(TimeToStr(QTime(0, 0, 5)), QStringLiteral("00:00:05"));
    EXPECT_EQ(StrToDate(QStringLiteral("2025/12/31")), QDate(2025, 12, 31));
    EXPECT_THROW(StrToDate(QStringLiteral("2025-12-31")), EVelError);
}

TEST(TextHelpers, PadLeft)
{
    struct TCase { const char* Text; char Pad; qint32 Length; const char* Expected; };
    const TCase wCases[] = {
        {"7", '0', 2, "07"}, {"123", '0', 2, "123"}, {"", '*', 3, "***"},
        {"ab", 'x', 0, "ab"}, {"ab", 'x', -5, "ab"}, {"12", '0', 2, "12"},
    };
    for (const TCase& c : wCases)
        EXPECT_EQ(sg_PADL(QString::fromUtf8(c.Text), QLatin1Char(c.Pad), c.Length), QString::fromUtf8(c.Expected))
            << c.Text << " to " << c.Length;
    // The subtraction overflows: the error reaches the caller and nothing is padded.
    EXPECT_THROW(sg_PADL(QStringLiteral("a"), QLatin1Char('0'), std::numeric_limits<qint32>::min()), EVelError);
}

TEST(TextHelpers, TrimAndQuote)
{
    EXPECT_EQ(sg_Trim(QStringLiteral("\t SRV01 \r\n")), QStringLiteral("SRV01"));
    EXPECT_EQ(sg_Trim(QStringLiteral(" a b ")), QStringLiteral("a b"));
    EXPECT_EQ(sg_Trim(QStringLiteral(" \x01 ")), QString());
    EXPECT_EQ(sg_QuotedStr(QStringLiteral("It's")), QStringLiteral("'It''s'"));
    EXPECT_EQ(sg_QuotedStr(QString()), QStringLiteral("''"));
}

namespace {
// A copy of a small executable with a version block of our own stamped in.
QString StampedFile(const QTemporaryDir& xDir, const QString& xName, const QByteArray& xBlock)
{
    const QString wBlock = xDir.filePath(xName + QStringLiteral(".ver"));
    QFile wFile(wBlock);
    if (!wFile.open(QIODevice::WriteOnly))
        return QString();
    wFile.write(xBlock);
    wFile.close();
    const QString wOut = xDir.filePath(xName);
    QStringList wArgs{QStringLiteral("--add-section"), QStringLiteral(".velver=") + wBlock,
                      QStringLiteral("--set-section-flags"), QStringLiteral(".velver=noload,readonly"),
                      QStringLiteral("/bin/true"), wOut};
    if (xBlock.isEmpty())
        wArgs = QStringList{QStringLiteral("/bin/true"), wOut};
    return QProcess::execute(QStringLiteral("objcopy"), wArgs) == 0 ? wOut : QString();
}
}  // namespace

TEST(TextHelpers, VersionOfTheProgramFile)
{
    QTemporaryDir wDir;
    struct TCase { const char* Name; QByteArray Block; const char* Expected; bool Box; };
    const TCase wCases[] = {
        {"padded", "VELVER1 3.5.7.12\n", "3.05.07", false},
        {"wide", "VELVER1 2.100.365.0\n", "2.100.365", false},
        {"example", "VELVER1 14.50.41.0\n", "14.50.41", false},
        {"no-block", QByteArray(), "0.0.0", true},
        {"bad-block", "VELVER1 3.5\n", "0.0.0", true},
    };
    for (const TCase& c : wCases) {
        const QString wFile = StampedFile(wDir, QString::fromUtf8(c.Name), c.Block);
        ASSERT_FALSE(wFile.isEmpty()) << c.Name;
        TBoxRecorder wBoxes;
        EXPECT_EQ(sg_VersionOfFile(wFile), QString::fromUtf8(c.Expected)) << c.Name;
        EXPECT_EQ(wBoxes.Texts(), c.Box ? QStringList{QStringLiteral("Get Program Version FAILED")} : QStringList())
            << c.Name;
    }
}

TEST(MachineSettingsFile, ReadingRules)
{
    struct TCase {
        const char* Name;
        const char* Text;
        const char* Connector, *Host, *DBName;
    };
    const TCase wCases[] = {
        {"defaults", "[Common]\nHost=SRV\nDBName=Db\n", "SQLOLEDB.1", "SRV", "Db"},
        {"present but empty", "[Common]\nConnector=\nHost=\n", "", "", ""},
        {"names in other case", "[COMMON]\nHOST=a\ndbname=b\nconnector=MSOLEDBSQL\n", "MSOLEDBSQL", "a", "b"},
        {"other section ignored", "[Other]\nHost=x\nDBName=y\n", "SQLOLEDB.1", "", ""},
        {"blanks inside kept", "[Common]\nHost = my server \\ inst\n", "SQLOLEDB.1", "my server \\ inst", ""},
        {"first key and first section win, CR LF", "[Common]\r\nHost=one\r\nHost=two\r\n[common]\r\nDBName=d\r\n",
         "SQLOLEDB.1", "one", ""},
        {"only blanks and tabs are layout", "[Common]\nHost=\t\u00a0srv\u00a0 \n", "SQLOLEDB.1", "\u00a0srv\u00a0", ""},
        {"comment line", "[Common]\n;Host=hidden\nHost=shown\n", "SQLOLEDB.1", "shown", ""},
        {"equals in the value", "[Common]\nHost=a=b;c\n", "SQLOLEDB.1", "a=b;c", ""},
    };
    for (const TCase& c : wCases) {
        const TIniFile wIni = TIniFile::FromText(QString::fromUtf8(c.Text));
        EXPECT_EQ(wIni.ReadString(QStringLiteral("Common"), QStringLiteral("Connector"), QStringLiteral("SQLOLEDB.1")),
                  QString::fromUtf8(c.Connector)) << c.Name;
        EXPECT_EQ(wIni.ReadString(QStringLiteral("Common"), QStringLiteral("Host"), QString()), QString::fromUtf8(c.Host))
            << c.Name;
        EXPECT_EQ(wIni.ReadString(QStringLiteral("Common"), QStringLiteral("DBName"), QString()),
                  QString::fromUtf8(c.DBName)) << c.Name;
    }
    const QString wLong(3000, QLatin1Char('x'));
    const TIniFile wIni = TIniFile::FromText(QStringLiteral("[Common]\nPswd=") + wLong);
    EXPECT_EQ(wIni.ReadString(QStringLiteral("Common"), QStringLiteral("Pswd"), QString()), wLong.left(2047));
}

TEST(MachineSettingsFile, ReadSysRegStoresOrLeavesTheStore)
{
    QTemporaryDir wDir;
    gEXEPath = wDir.path() + QLatin1Char('/');
    gCmnHost = QStringLiteral("untouched");
    EXPECT_FALSE(sg_ReadSysReg());
    EXPECT_EQ(gCmnHost, QStringLiteral("untouched"));

    QFile wFile(gEXEPath + QStringLiteral("VELMORA.INI"));
    ASSERT_TRUE(wFile.open(QIODevice::WriteOnly));
    // UTF-16 with its byte order mark, as Windows editors write it.
    const QString wText = QStringLiteral("[Common]\r\nHost=h\u00e9\r\nUser=u\r\nPswd=p;w\r\nDBName=d\r\n");
    wFile.write(QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char*>(wText.utf16()), wText.size() * 2));
    wFile.close();
    EXPECT_TRUE(sg_ReadSysReg());
    EXPECT_EQ(gCmnConnector, QStringLiteral("SQLOLEDB.1"));
    EXPECT_EQ(gCmnHost, QStringLiteral("h\u00e9"));
    EXPECT_EQ(gCmnUser, QStringLiteral("u"));
    EXPECT_EQ(gCmnPswd, QStringLiteral("p;w"));
    EXPECT_EQ(gCmnDBName, QStringLiteral("d"));
    for (QString* wValue : {&gEXEPath, &gCmnConnector, &gCmnHost, &gCmnDBName, &gCmnUser, &gCmnPswd})
        wValue->clear();
}
