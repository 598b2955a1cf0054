#include "WindowFixture.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>

void TWindowFixture::SetUp()
{
    ASSERT_TRUE(FDir.isValid());
    // The program's file is the real, stamped executable, seen from a folder of the test's own.
    ASSERT_TRUE(QFile::link(QStringLiteral(VELUPD_BINARY), ProgramFolder() + QStringLiteral("velUPD")));
    pf_SetProgramFileName(ProgramFolder() + QStringLiteral("velUPD"));
    pf_SetSleepHook([this](int xMs) { FPauses.append(xMs); });
    for (QString* wValue : {&gEXEPath, &gCmnConnector, &gCmnHost, &gCmnDBName, &gCmnUser, &gCmnPswd,
                            &gRemConnector, &gRemHost, &gRemDBName, &gRemUser, &gRemPswd, &gVersion})
        wValue->clear();
    FormatSettings = TFormatSettings();
    FBoxes = std::make_unique<TBoxRecorder>();

    CreateModules();
}

void TWindowFixture::CreateModules()
{
    FMemoLines.clear();
    frmMAIN000 = new TfrmMAIN000;
    cData = new TcData;
    sData = new TsData;
    frmMAIN000->LinkStylers(*sData);
    FWindow = frmMAIN000;
    QObject::connect(frmMAIN000->memNotes, &QPlainTextEdit::textChanged, [this] {
        const QString wText = FWindow->memNotes->toPlainText();
        FMemoLines = wText.isEmpty() ? QStringList() : wText.split(QLatin1Char('\n'));
    });
}

void TWindowFixture::TearDown()
{
    delete FWindow.data();
    delete cData;
    cData = nullptr;
    delete sData;
    sData = nullptr;
    FBoxes.reset();
    pf_SetSleepHook(nullptr);
    pf_SetProgramFileName(QString());
}

bool TWindowFixture::RunProgram(int xTimeoutMs, const std::function<bool()>& xStopWhen)
{
    if (!FWindow->isVisible())
        QTimer::singleShot(0, FWindow, [this] { FWindow->show(); });
    QElapsedTimer wClock;
    wClock.start();
    while (wClock.elapsed() < xTimeoutMs) {
        QEventLoop wLoop;
        QTimer::singleShot(10, &wLoop, &QEventLoop::quit);
        wLoop.exec();
        if (!FWindow)
            return true;
        if (FWindow->State() == TfrmMAIN000::TState::Halted || (xStopWhen && xStopWhen()))
            return false;
    }
    return false;
}

void TWindowFixture::WriteIni(const QString& xText) const
{
    QFile wFile(ProgramFolder() + QStringLiteral("VELMORA.INI"));
    ASSERT_TRUE(wFile.open(QIODevice::WriteOnly));
    wFile.write(xText.toUtf8());
}

QStringList TWindowFixture::LogMessages() const
{
    static const QRegularExpression wStamp(QStringLiteral("^\\[\\d{4}/\\d{2}/\\d{2}-\\d{2}:\\d{2}:\\d{2}\\] "));
    QStringList wMessages;
    for (const QString& wLine : FMemoLines) {
        const QRegularExpressionMatch wMatch = wStamp.match(wLine);
        EXPECT_TRUE(wMatch.hasMatch()) << wLine.toStdString();
        wMessages.append(wLine.mid(wMatch.capturedLength()));
    }
    return wMessages;
}
