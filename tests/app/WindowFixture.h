#pragma once
// A main window with its data and style modules, as the entry point makes them, started as the
// message loop would start it, in a program folder of its own.
#include "BoxRecorder.h"
#include "DataCMN.h"
#include "DataSYS.h"
#include "MAIN000.h"
#include "Platform.h"
#include "SysGen.h"

#include <QPointer>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <functional>
#include <ostream>

// Readable failure messages for texts.
inline void PrintTo(const QString& xText, std::ostream* xOut)
{
    *xOut << '"' << xText.toStdString() << '"';
}

// A list of log messages written as plain string literals.
inline QStringList Lines(std::initializer_list<const char*> xLines)
{
    QStringList wList;
    for (const char* wLine : xLines)
        wList.append(QString::fromUtf8(wLine));
    return wList;
}

class TWindowFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Shows the window from the event loop and runs the loop until the window is freed, or it
    // halts, or xTimeoutMs pass. True when the window was freed (the program would end).
    bool RunProgram(int xTimeoutMs = 20000, const std::function<bool()>& xStopWhen = {});
    // The window and the two modules, made as the entry point makes them; the memo's lines are
    // kept as they change, since the memo goes with the window.
    void CreateModules();
    void WriteIni(const QString& xText) const;
    // The messages of the activity log, each line's "[yyyy/mm/dd-hh:nn:ss] " checked and cut off.
    QStringList LogMessages() const;
    QString ProgramFolder() const { return FDir.path() + QLatin1Char('/'); }

    QTemporaryDir FDir;
    QPointer<TfrmMAIN000> FWindow;
    QStringList FMemoLines;
    QList<int> FPauses;
    std::unique_ptr<TBoxRecorder> FBoxes;
};
