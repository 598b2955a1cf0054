#pragma once
// Unit SysGen: the settings store, the machine settings file, the activity log and small text helpers.
#include <QString>
#include <QDate>
#include <QTime>
#include <QtGlobal>
#include <QList>
#include <QStringList>

// The settings store: process-wide texts, read and assigned directly by every unit.
extern QString gEXEPath;
extern QString gCmnConnector;
extern QString gCmnHost;
extern QString gCmnDBName;
extern QString gCmnUser;
extern QString gCmnPswd;
extern QString gRemConnector;
extern QString gRemHost;
extern QString gRemDBName;
extern QString gRemUser;
extern QString gRemPswd;
extern QString gVersion;

// The machine settings file, in the program's folder.
inline constexpr const char* cMachineSettingsFile = "VELMORA.INI";

// Reads section "Common" of the machine settings file into the five gCmn values.
// False when the file cannot be read; the store is then left untouched.
bool sg_ReadSysReg();

// Reads one value the way the Windows private profile reader does: section and key
// names without regard to case, xDefault only when the key or its section is absent,
// the value cut to 2,047 characters. Used by sg_ReadSysReg; open for tests.
class TIniFile {
public:
    // Throws EVelError when the file cannot be read.
    explicit TIniFile(const QString& xFileName);
    QString ReadString(const QString& xSection, const QString& xKey, const QString& xDefault) const;
    static TIniFile FromText(const QString& xText);

private:
    TIniFile() = default;
    void Parse(const QString& xText);
    struct TEntry { qsizetype Section; QString Key, Value; };
    QStringList FSections;  // in file order
    QList<TEntry> FEntries;
};

// Activity log: one line "[date-time] message" in the main window's memo; pending events then run.
void sg_WriteMemo(const QString& xMessage);
// The main window hands its memo over at creation and takes it back when it goes.
class QPlainTextEdit;
void sg_SetMemo(QPlainTextEdit* xMemo);
// The memo's cap: past this many lines the memo is emptied before the next line.
inline constexpr int cMemoMaxLines = 2000;

// Removes every leading and trailing character whose code is 32 or less.
QString sg_Trim(const QString& xText);
// A value as an SQL string literal: enclosed in single quotes, inner single quotes doubled.
QString sg_QuotedStr(const QString& xValue);

QString sg_Date(qint32 xAddDays);
QString sg_Time();
QString sg_PADL(const QString& xString, QChar xChar, qint32 xLength);
QString sg_Version();
// The version text of the named file; "0.0.0" after the "Get Program Version FAILED" box.
QString sg_VersionOfFile(const QString& xFileName);

// The modal error box: error icon, one OK button; the text also goes to standard error.
void sg_ShowError(const QString& xText);
// One line to standard error, as it happens (operators run the program from scripts).
void sg_EchoLine(const QString& xLine);

// The process-wide format settings and the conversions that use them. Format notation:
// "yyyy", "mm"/"m" (month in a date format), "dd"/"d", "hh"/"h", "nn"/"n" (minutes), "ss"/"s";
// "/" stands for DateSeparator and ":" for TimeSeparator.
struct TFormatSettings {
    QChar DateSeparator = QLatin1Char('/');
    QString ShortDateFormat = QStringLiteral("m/d/yyyy");
    QChar TimeSeparator = QLatin1Char(':');
    QString LongTimeFormat = QStringLiteral("h:nn:ss");
    QChar DecimalSeparator = QLatin1Char('.');
    QChar ThousandSeparator = QLatin1Char(',');
};
extern TFormatSettings FormatSettings;

QString DateToStr(const QDate& xDate);
QString TimeToStr(const QTime& xTime);
// Reads a date written in ShortDateFormat; throws EVelError when the text is no valid date.
QDate StrToDate(const QString& xText);
// Fixes the process formats: dates yyyy/mm/dd with "/", times hh:nn:ss, "." and " ".
void sg_SetProcessFormats();
