#pragma once
// Unit MAIN000: the main window and the upgrade workflow.
#include <QFrame>
#include <QLabel>
#include <QList>
#include <QPlainTextEdit>
#include <QString>
#include <QTimer>
#include <QWidget>

class TsData;

// An office-look status bar: panels side by side, separated by splitters.
class TAdvOfficeStatusBar : public QFrame {
public:
    explicit TAdvOfficeStatusBar(QWidget* xParent);
    QLabel* AddPanel(int xWidth, const QString& xText, bool xDark);
    QList<QLabel*> Panels;
    QList<bool> PanelDark;
};

class TfrmMAIN000 : public QWidget {
public:
    // Where the window stands in its life: see FormShow, Timer1Timer and FormClose.
    enum class TState { Created, Starting, Waiting, Running, Halted, Closed };

    explicit TfrmMAIN000(QWidget* xParent = nullptr);
    ~TfrmMAIN000() override;

    TAdvOfficeStatusBar* StatusBar1;
    QFrame* AdvPanel2;
    QLabel* cxLabel1;
    QPlainTextEdit* memNotes;
    QTimer* Timer1;
    QLabel* cxLabel2;

    // The banner and the status bar take their look from the style module once it exists.
    void LinkStylers(const TsData& xStyles);

    TState State() const { return FState; }
    QString RunDBCommonFlag() const { return sRunDBCommon; }
    QString RunDBVelmoraFlag() const { return sRunDBVelmora; }

protected:
    void showEvent(QShowEvent* xEvent) override;
    void closeEvent(QCloseEvent* xEvent) override;

private:
    void FormShow(QObject* xSender);
    void Timer1Timer(QObject* xSender);
    void FormClose(QObject* xSender);

    bool Connect_To_Cloud();
    bool Read_Cloud_Settings();
    bool Download_Cloud_Upgrades();
    bool Check_Local_Version();
    bool Save_ZipFile_To_Common();
    bool Run_DBCommon();
    bool Run_DBVelmora();
    bool Download_ZIPFile(const QString& xProgName);
    bool Delete_Local_Program(const QString& xProgName);

    // An activity-log line; a close the user asked for while it let events run stops the run here.
    void Log(const QString& xMessage);
    void ShowStatementError(const std::exception& xError);
    void StopIfClosed() const;
    QString UpgradesFolder() const;
    // Runs a handler so that no error crosses the event loop: an error shows the standard
    // error box and halts the window; a close frees the window once no handler is running.
    template <typename F> void RunHandler(F&& xBody);

    QString sRunDBCommon;
    QString sRunDBVelmora;

    TState FState = TState::Created;
    bool FShown = false;
    bool FClosed = false;
    int FHandlerDepth = 0;
};

extern TfrmMAIN000* frmMAIN000;

// Version order: ordinal UTF-16 code units, the shorter text first when it leads the other.
bool VersionSortsBefore(const QString& xLeft, const QString& xRight);
