// The main window and the start-up chain, offscreen, as the entry point runs them.
#include "WindowFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QCoreApplication>
#include <QLayout>

using TStartup = TWindowFixture;

TEST_F(TStartup, WindowLayoutAndTexts)
{
    TfrmMAIN000& w = *FWindow;
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Program Upgrades : Cloud Download Utility"));
    w.layout()->activate();
    w.AdvPanel2->layout()->activate();
    EXPECT_EQ(w.size(), QSize(416, 272));
    EXPECT_EQ(w.AdvPanel2->geometry(), QRect(0, 0, 416, 58));
    EXPECT_EQ(w.cxLabel2->text(), QStringLiteral("Program and Database Upgrades"));
    EXPECT_EQ(w.cxLabel2->height(), 26);
    EXPECT_EQ(w.cxLabel1->text(), QStringLiteral("Please DO NOT CLOSE"));
    EXPECT_EQ(w.cxLabel1->height(), 28);
    EXPECT_EQ(w.cxLabel1->y(), w.cxLabel2->geometry().bottom() + 1);
    // Both labels span the banner inside its bevels and fill it from top to bottom.
    EXPECT_EQ(w.cxLabel2->geometry(), QRect(2, 2, 412, 26));
    EXPECT_EQ(w.cxLabel1->geometry(), QRect(2, 28, 412, 28));
    EXPECT_EQ(w.memNotes->geometry(), QRect(0, 58, 416, 193));
    EXPECT_EQ(w.memNotes->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(w.memNotes->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(w.StatusBar1->geometry(), QRect(0, 251, 416, 21));
    ASSERT_EQ(w.StatusBar1->Panels.size(), 3);
    const QStringList wTexts{QStringLiteral("MAIN000"), QStringLiteral("Upgrades : Cloud Download"),
                             QStringLiteral("Version: 99.99.99")};
    const int wWidths[] = {70, 220, 120};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(w.StatusBar1->Panels[i]->text(), wTexts[i]);
        EXPECT_EQ(w.StatusBar1->Panels[i]->width(), wWidths[i]);
        EXPECT_EQ(w.StatusBar1->PanelDark[i], i == 0);
    }
    EXPECT_EQ(w.Timer1->interval(), 2000);
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_EQ(w.State(), TfrmMAIN000::TState::Created);
    EXPECT_TRUE(w.memNotes->toPlainText().isEmpty());
}

TEST_F(TStartup, MissingSettingsFileWritesTwoLinesAndCloses)
{
    FormatSettings.ShortDateFormat = QStringLiteral("d.m.yy");  // the user's formats before start-up
    FormatSettings.DateSeparator = QLatin1Char('.');
    EXPECT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages(), (QStringList{QStringLiteral("Reading System Registory...."), QStringLiteral(" ")}));
    EXPECT_TRUE(FBoxes->Texts().isEmpty());
    EXPECT_EQ(gEXEPath, ProgramFolder());
    EXPECT_TRUE(QFileInfo(ProgramFolder() + QStringLiteral("Upgrades")).isDir());
    EXPECT_EQ(gVersion, QStringLiteral(VEL_VERSION_SHORT));
    EXPECT_TRUE(gCmnConnector.isEmpty());
}

TEST_F(TStartup, FileNamedUpgradesIsNoFolderAndStartUpGoesOn)
{
    QFile wFile(ProgramFolder() + QStringLiteral("Upgrades"));
    ASSERT_TRUE(wFile.open(QIODevice::WriteOnly));
    wFile.close();
    EXPECT_TRUE(RunProgram());
    EXPECT_TRUE(QFileInfo(ProgramFolder() + QStringLiteral("Upgrades")).isFile());
    EXPECT_EQ(LogMessages().size(), 2);
}

TEST_F(TStartup, ConnectErrorHaltsWithTheBoxAndRunsTheChainOnce)
{
    WriteIni(QStringLiteral("[Common]\nHost=  \nDBName=SalesDB\n"));
    EXPECT_FALSE(RunProgram());
    ASSERT_TRUE(FWindow);
    EXPECT_EQ(FWindow->State(), TfrmMAIN000::TState::Halted);
    EXPECT_EQ(FBoxes->Texts(), QStringList{QStringLiteral("DataCMN.CommonConnect - Failed to connect to database "
                                                          "[SalesDB]. Reason: Connection Error: Server name cannot be empty.")});
    EXPECT_EQ(LogMessages(), (QStringList{QStringLiteral("Reading System Registory...."), QStringLiteral(" "),
                                          QStringLiteral("Connecting to Common...."), QStringLiteral(" ")}));
    EXPECT_EQ(FWindow->StatusBar1->Panels[2]->text(), QStringLiteral("Version: 99.99.99"));
    EXPECT_FALSE(FWindow->Timer1->isActive());
    EXPECT_TRUE(FWindow->isVisible());

    // A restore after minimising is a show too; the chain does not run again.
    FWindow->showMinimized();
    FWindow->showNormal();
    QCoreApplication::processEvents();
    EXPECT_EQ(LogMessages().size(), 4);
    EXPECT_EQ(FBoxes->Texts().size(), 1);

    // The user closes the halted window: it goes, and the program would end.
    FWindow->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(FWindow);
}

TEST_F(TStartup, CloseDuringTheChainStopsIt)
{
    WriteIni(QStringLiteral("[Common]\nHost=\nDBName=x\n"));
    // The close arrives while the first log line lets events run.
    QObject::connect(FWindow->memNotes, &QPlainTextEdit::textChanged, [this] {
        if (FMemoLines.size() == 1)
            QTimer::singleShot(0, FWindow, [this] { FWindow->close(); });
    });
    EXPECT_TRUE(RunProgram());
    EXPECT_EQ(LogMessages(), QStringList{QStringLiteral("Reading System Registory....")});
    EXPECT_TRUE(FBoxes->Texts().isEmpty());
}

TEST_F(TStartup, ActivityLogCapAt2000Lines)
{
    sg_SetProcessFormats();
    for (int i = 0; i < 2001; ++i)
        sg_WriteMemo(QString::number(i));
    EXPECT_EQ(FWindow->memNotes->document()->blockCount(), 2001);
    sg_WriteMemo(QStringLiteral("last"));
    EXPECT_EQ(LogMessages(), QStringList{QStringLiteral("last")});
    sg_WriteMemo(QString());
    EXPECT_TRUE(FMemoLines.last().endsWith(QStringLiteral("] ")));
}

// Not a check: leaves a picture of the window as start-up left it, for a person to look at.
TEST_F(TStartup, Screenshot)
{
    WriteIni(QStringLiteral("[Common]\nHost=\nDBName=VelCommon\n"));
    RunProgram();
    ASSERT_TRUE(FWindow);
    EXPECT_TRUE(FWindow->grab().save(QStringLiteral("velUPD-window.png")));
}
