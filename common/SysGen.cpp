#include "SysGen.h"

#include "Error.h"
#include "Platform.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextBlock>

#include <cstdio>
#include <limits>

QString gEXEPath;
QString gCmnConnector;
QString gCmnHost;
QString gCmnDBName;
QString gCmnUser;
QString gCmnPswd;
QString gRemConnector;
QString gRemHost;
QString gRemDBName;
QString gRemUser;
QString gRemPswd;
QString gVersion;

TFormatSettings FormatSettings;

namespace {

QPointer<QPlainTextEdit> gMemo;

// The private profile reader hands values back through a buffer of 2,048 characters.
constexpr int cIniValueMax = 2047;

QString DecodeIniBytes(const QByteArray& xBytes)
{
    if (xBytes.startsWith("\xFF\xFE")) {
        QStringDecoder wDecoder(QStringDecoder::Utf16LE);
        return wDecoder(xBytes.mid(2));
    }
    if (xBytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(xBytes.mid(3));
    // Files written by hand on the machine are UTF-8 or in the local 8-bit code page.
    QStringDecoder wUtf8(QStringDecoder::Utf8);
    QString wText = wUtf8(xBytes);
    if (!wUtf8.hasError())
        return wText;
    QStringDecoder wLocal(QStringDecoder::System);
    return wLocal(xBytes);
}

QString TwoDigits(int xValue)
{
    return sg_PADL(QString::number(xValue), QLatin1Char('0'), 2);
}

// Renders a date, a time, or both, in the process's format notation.
QString FormatDateTime(const QString& xFormat, const QDate& xDate, const QTime& xTime, bool xIsDate)
{
    QString wResult;
    qsizetype i = 0;
    const qsizetype n = xFormat.size();
    while (i < n) {
        const QChar c = xFormat[i];
        const QChar lc = c.toLower();
        qsizetype wRun = 1;
        while (i + wRun < n && xFormat[i + wRun].toLower() == lc)
            ++wRun;
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            qsizetype wEnd = xFormat.indexOf(c, i + 1);
            if (wEnd < 0)
                wEnd = n;
            wResult += xFormat.mid(i + 1, wEnd - i - 1);
            i = wEnd + 1;
            continue;
        }
        if (lc == QLatin1Char('y')) {
            wResult += wRun >= 3 ? QString::number(xDate.year())
                                 : TwoDigits(xDate.year() % 100);
        } else if (lc == QLatin1Char('m') && xIsDate) {
            wResult += wRun >= 2 ? TwoDigits(xDate.month()) : QString::number(xDate.month());
        } else if (lc == QLatin1Char('d')) {
            wResult += wRun >= 2 ? TwoDigits(xDate.day()) : QString::number(xDate.day());
        } else if (lc == QLatin1Char('h')) {
            wResult += wRun >= 2 ? TwoDigits(xTime.hour()) : QString::number(xTime.hour());
        } else if (lc == QLatin1Char('n') || (lc == QLatin1Char('m') && !xIsDate)) {
            wResult += wRun >= 2 ? TwoDigits(xTime.minute()) : QString::number(xTime.minute());
        } else if (lc == QLatin1Char('s')) {
            wResult += wRun >= 2 ? TwoDigits(xTime.second()) : QString::number(xTime.second());
        } else if (c == QLatin1Char('/')) {
            wResult += QString(FormatSettings.DateSeparator).repeated(wRun);
        } else if (c == QLatin1Char(':')) {
            wResult += QString(FormatSettings.TimeSeparator).repeated(wRun);
        } else {
            wResult += xFormat.mid(i, wRun);
        }
        i += wRun;
    }
    return wResult;
}

}  // namespace

// ---------------------------------------------------------------- machine settings file

TIniFile::TIniFile(const QString& xFileName)
{
    QFile wFile(xFileName);
    if (!wFile.open(QIODevice::ReadOnly))
        throw EVelError(QStringLiteral("Cannot open file \"%1\". %2").arg(xFileName, wFile.errorString()));
    const QByteArray wBytes = wFile.readAll();
    if (wFile.error() != QFileDevice::NoError)
        throw EVelError(QStringLiteral("Cannot read file \"%1\". %2").arg(xFileName, wFile.errorString()));
    Parse(DecodeIniBytes(wBytes));
}

TIniFile TIniFile::FromText(const QString& xText)
{
    TIniFile wIni;
    wIni.Parse(xText);
    return wIni;
}

namespace {
// The private profile reader trims blanks and tabs only, nothing else a QString counts as space.
QString TrimBlanks(const QString& xText)
{
    qsizetype wFirst = 0;
    qsizetype wLast = xText.size();
    const auto wBlank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (wFirst < wLast && wBlank(xText[wFirst]))
        ++wFirst;
    while (wLast > wFirst && wBlank(xText[wLast - 1]))
        --wLast;
    return xText.mid(wFirst, wLast - wFirst);
}
}  // namespace

void TIniFile::Parse(const QString& xText)
{
    QString wSection;
    bool wInSection = false;
    const QStringList wLines = xText.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")));
    for (const QString& wRaw : wLines) {
        const QString wLine = TrimBlanks(wRaw);
        if (wLine.isEmpty() || wLine.startsWith(QLatin1Char(';')))
            continue;
        if (wLine.startsWith(QLatin1Char('['))) {
            const qsizetype wClose = wLine.indexOf(QLatin1Char(']'));
            wSection = TrimBlanks(wClose < 0 ? wLine.mid(1) : wLine.mid(1, wClose - 1));
            wInSection = true;
            FSections.append(wSection);
            continue;
        }
        const qsizetype wEq = wLine.indexOf(QLatin1Char('='));
        if (!wInSection || wEq < 0)
            continue;
        // Blanks beside the sign and at the line's end are layout, as the Windows reader sees it;
        // everything between them is the value.
        FEntries.append({FSections.size() - 1, TrimBlanks(wLine.left(wEq)), TrimBlanks(wLine.mid(wEq + 1))});
    }
}

QString TIniFile::ReadString(const QString& xSection, const QString& xKey, const QString& xDefault) const
{
    // Only the first section of the name is searched, as the Windows reader does.
    qsizetype wSection = -1;
    for (qsizetype i = 0; i < FSections.size() && wSection < 0; ++i)
        if (FSections[i].compare(xSection, Qt::CaseInsensitive) == 0)
            wSection = i;
    for (const TEntry& wEntry : FEntries) {
        if (wEntry.Section == wSection && wEntry.Key.compare(xKey, Qt::CaseInsensitive) == 0)
            return wEntry.Value.left(cIniValueMax);
    }
    return xDefault.left(cIniValueMax);
}

bool sg_ReadSysReg()
{
    const QString wFileName = gEXEPath + QLatin1String(cMachineSettingsFile);
    QFile wProbe(wFileName);
    if (!QFileInfo(wFileName).isFile() || !wProbe.open(QIODevice::ReadOnly))
        return false;
    wProbe.close();

    const TIniFile wIni(wFileName);
    const QString wSection = QStringLiteral("Common");
    gCmnConnector = wIni.ReadString(wSection, QStringLiteral("Connector"), QStringLiteral("SQLOLEDB.1"));
    gCmnHost = wIni.ReadString(wSection, QStringLiteral("Host"), QString());
    gCmnUser = wIni.ReadString(wSection, QStringLiteral("User"), QString());
    gCmnPswd = wIni.ReadString(wSection, QStringLiteral("Pswd"), QString());
    gCmnDBName = wIni.ReadString(wSection, QStringLiteral("DBName"), QString());
    return true;
}

// ---------------------------------------------------------------- activity log

void sg_SetMemo(QPlainTextEdit* xMemo)
{
    gMemo = xMemo;
}

void sg_EchoLine(const QString& xLine)
{
    QString wLine = xLine;
    wLine.replace(QRegularExpression(QStringLiteral("\r\n|\r|\n")), QStringLiteral(" "));
    const QByteArray wBytes = wLine.toUtf8() + '\n';
    std::fwrite(wBytes.constData(), 1, static_cast<size_t>(wBytes.size()), stderr);
    std::fflush(stderr);
}

void sg_WriteMemo(const QString& xMessage)
{
    const QString wDate = DateToStr(QDate::currentDate());
    const QString wTime = TimeToStr(QTime::currentTime());
    const QString wLine = QLatin1Char('[') + wDate + QLatin1Char('-') + wTime + QLatin1String("] ") + xMessage;
    sg_EchoLine(wLine);
    if (gMemo) {
        QTextDocument* wDoc = gMemo->document();
        const int wLineCount = wDoc->isEmpty() ? 0 : wDoc->blockCount();
        if (wLineCount > cMemoMaxLines)
            gMemo->clear();
        gMemo->appendPlainText(wLine);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void sg_ShowError(const QString& xText)
{
    sg_EchoLine(xText);
    QMessageBox wBox(QMessageBox::Critical, QStringLiteral("Error"), xText, QMessageBox::Ok,
                     QApplication::activeWindow());
    wBox.exec();
}

// ---------------------------------------------------------------- text helpers

QString sg_Trim(const QString& xText)
{
    qsizetype wFirst = 0;
    qsizetype wLast = xText.size();
    while (wFirst < wLast && xText[wFirst].unicode() <= 32)
        ++wFirst;
    while (wLast > wFirst && xText[wLast - 1].unicode() <= 32)
        --wLast;
    return xText.mid(wFirst, wLast - wFirst);
}

QString sg_QuotedStr(const QString& xValue)
{
    QString wInner = xValue;
    wInner.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + wInner + QLatin1Char('\'');
}

QString sg_Date(qint32 xAddDays)
{
    const QDate wDate = QDate::currentDate().addDays(xAddDays);
    const QDate wBack = StrToDate(DateToStr(wDate));
    return QString::number(wBack.year()) + QLatin1Char('/') + TwoDigits(wBack.month()) + QLatin1Char('/') +
           TwoDigits(wBack.day());
}

QString sg_Time()
{
    const QTime wNow = QTime::currentTime();
    return TwoDigits(wNow.hour()) + QLatin1Char(':') + TwoDigits(wNow.minute()) + QLatin1Char(':') +
           TwoDigits(wNow.second());
}

QString sg_PADL(const QString& xString, QChar xChar, qint32 xLength)
{
    const qint64 wRest = static_cast<qint64>(xLength) - static_cast<qint64>(xString.size());
    if (wRest > std::numeric_limits<qint32>::max() || wRest < std::numeric_limits<qint32>::min())
        throw EVelError(QStringLiteral("Integer overflow"));
    if (wRest >= 1)
        return QString(static_cast<qsizetype>(wRest), xChar) + xString;
    return xString;
}

QString sg_VersionOfFile(const QString& xFileName)
{
    QString wResult = QStringLiteral("0.0.0");
    try {
        const std::array<quint16, 4> wVer = pf_FileVersion(xFileName);
        const quint16 wMainVer = wVer[0];
        const quint16 wWeekNo = wVer[1];
        const quint16 wDayVer = wVer[2];
        wResult = QString::number(wMainVer) + QLatin1Char('.') +
                  sg_PADL(QString::number(wWeekNo), QLatin1Char('0'), 2) + QLatin1Char('.') +
                  sg_PADL(QString::number(wDayVer), QLatin1Char('0'), 2);
    } catch (...) {
        sg_ShowError(QStringLiteral("Get Program Version FAILED"));
        return QStringLiteral("0.0.0");
    }
    return wResult;
}

QString sg_Version()
{
    return sg_VersionOfFile(pf_ProgramFileName());
}

// ---------------------------------------------------------------- process formats

QString DateToStr(const QDate& xDate)
{
    return FormatDateTime(FormatSettings.ShortDateFormat, xDate, QTime(), true);
}

QString TimeToStr(const QTime& xTime)
{
    return FormatDateTime(FormatSettings.LongTimeFormat, QDate(), xTime, false);
}

QDate StrToDate(const QString& xText)
{
    // The order of year, month and day is that of the short date format.
    QString wOrder;
    for (const QChar c : FormatSettings.ShortDateFormat) {
        const QChar lc = c.toLower();
        if ((lc == QLatin1Char('y') || lc == QLatin1Char('m') || lc == QLatin1Char('d')) && !wOrder.contains(lc))
            wOrder += lc;
    }
    const QStringList wParts = xText.trimmed().split(FormatSettings.DateSeparator);
    const auto wInvalid = [&xText] {
        return EVelError(QStringLiteral("'%1' is not a valid date").arg(xText));
    };
    if (wOrder.size() != 3 || wParts.size() != 3)
        throw wInvalid();
    int wYear = 0, wMonth = 0, wDay = 0;
    for (int i = 0; i < 3; ++i) {
        bool wOk = false;
        const int wValue = wParts[i].toInt(&wOk);
        if (!wOk)
            throw wInvalid();
        if (wOrder[i] == QLatin1Char('y'))
            wYear = wValue;
        else if (wOrder[i] == QLatin1Char('m'))
            wMonth = wValue;
        else
            wDay = wValue;
    }
    const QDate wDate(wYear, wMonth, wDay);
    if (!wDate.isValid())
        throw wInvalid();
    return wDate;
}

void sg_SetProcessFormats()
{
    FormatSettings.DateSeparator = QLatin1Char('/');
    FormatSettings.ShortDateFormat = QStringLiteral("yyyy/mm/dd");
    FormatSettings.ThousandSeparator = QLatin1Char(' ');
    // Where the runtime would take these from the regional settings just written, they are set
    // directly, so they hold within this very run on every platform.
    FormatSettings.TimeSeparator = QLatin1Char(':');
    FormatSettings.LongTimeFormat = QStringLiteral("hh:nn:ss");
    FormatSettings.DecimalSeparator = QLatin1Char('.');
}
