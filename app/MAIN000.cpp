#include "MAIN000.h"

#include "DataCMN.h"
#include "DataSYS.h"
#include "Error.h"
#include "Platform.h"
#include "SysGen.h"
#include "ZipReader.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QSaveFile>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

TfrmMAIN000* frmMAIN000 = nullptr;

namespace {

const QString cSuite = QStringLiteral("VELMORA");
const QString cDBCommon = QStringLiteral("velDBCommon");
const QString cDBVelmora = QStringLiteral("velDBVelmora");
constexpr int cMinArchiveToStore = 100;
constexpr qsizetype cCopyBufferSize = 1048576;

// Thrown where the user's close stops a run; it is no error and shows no box.
struct ERunStopped {};

}  // namespace

bool VersionSortsBefore(const QString& xLeft, const QString& xRight)
{
    return std::lexicographical_compare(xLeft.utf16(), xLeft.utf16() + xLeft.size(), xRight.utf16(),
                                        xRight.utf16() + xRight.size());
}

// ---------------------------------------------------------------- window

TAdvOfficeStatusBar::TAdvOfficeStatusBar(QWidget* xParent) : QFrame(xParent)
{
    auto* wLayout = new QHBoxLayout(this);
    wLayout->setContentsMargins(0, 0, 0, 0);
    wLayout->setSpacing(0);
    wLayout->addStretch(1);
}

QLabel* TAdvOfficeStatusBar::AddPanel(int xWidth, const QString& xText, bool xDark)
{
    auto* wLayout = static_cast<QHBoxLayout*>(layout());
    const int wAt = wLayout->count() - 1;  // before the closing stretch
    if (!Panels.isEmpty()) {
        auto* wSplitter = new QFrame(this);
        wSplitter->setFrameShape(QFrame::VLine);
        wSplitter->setFrameShadow(QFrame::Sunken);
        wLayout->insertWidget(wAt, wSplitter);
    }
    auto* wPanel = new QLabel(xText, this);
    wPanel->setFixedWidth(xWidth);
    wPanel->setAlignment(Qt::AlignCenter);
    wLayout->insertWidget(wLayout->count() - 1, wPanel);
    Panels.append(wPanel);
    PanelDark.append(xDark);
    return wPanel;
}

TfrmMAIN000::TfrmMAIN000(QWidget* xParent) : QWidget(xParent)
{
    setWindowTitle(QStringLiteral("Program Upgrades : Cloud Download Utility"));
    setFont(QFont(QStringLiteral("Segoe UI"), 9));

    auto* wLayout = new QVBoxLayout(this);
    wLayout->setContentsMargins(0, 0, 0, 0);
    wLayout->setSpacing(0);

    StatusBar1 = new TAdvOfficeStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(21);
    StatusBar1->setFont(QFont(QStringLiteral("Tahoma"), 8));
    StatusBar1->AddPanel(70, QStringLiteral("MAIN000"), true);
    StatusBar1->AddPanel(220, QStringLiteral("Upgrades : Cloud Download"), false);
    StatusBar1->AddPanel(120, QStringLiteral("Version: 99.99.99"), false);

    AdvPanel2 = new QFrame(this);
    AdvPanel2->setObjectName(QStringLiteral("AdvPanel2"));
    AdvPanel2->setFixedHeight(58);
    AdvPanel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    AdvPanel2->setAutoFillBackground(true);
    auto* wBanner = new QVBoxLayout(AdvPanel2);
    // The styler's two-pixel border is the two bevels: 2 + 26 + 28 + 2 = 58.
    wBanner->setContentsMargins(0, 0, 0, 0);
    wBanner->setSpacing(0);

    cxLabel1 = new QLabel(QStringLiteral("Please DO NOT CLOSE"), AdvPanel2);
    cxLabel1->setObjectName(QStringLiteral("cxLabel1"));
    QFont wWarnFont(QStringLiteral("Segoe UI"), 12);
    wWarnFont.setBold(true);
    cxLabel1->setFont(wWarnFont);
    cxLabel1->setAlignment(Qt::AlignCenter);
    cxLabel1->setStyleSheet(QStringLiteral("#cxLabel1 { color: white; background: red; }"));
    cxLabel1->setFixedHeight(28);

    memNotes = new QPlainTextEdit(this);
    memNotes->setObjectName(QStringLiteral("memNotes"));
    memNotes->setReadOnly(true);
    memNotes->setLineWrapMode(QPlainTextEdit::NoWrap);
    memNotes->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memNotes->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memNotes->setFont(QFont(QStringLiteral("Arial Narrow"), 8));

    Timer1 = new QTimer(this);
    Timer1->setInterval(2000);
    connect(Timer1, &QTimer::timeout, this, [this] { RunHandler([this] { Timer1Timer(Timer1); }); });

    cxLabel2 = new QLabel(QStringLiteral("Program and Database Upgrades"), AdvPanel2);
    cxLabel2->setObjectName(QStringLiteral("cxLabel2"));
    QFont wTitleFont(QStringLiteral("Tahoma"), 11);
    wTitleFont.setBold(true);
    cxLabel2->setFont(wTitleFont);
    cxLabel2->setAlignment(Qt::AlignCenter);
    cxLabel2->setStyleSheet(QStringLiteral("#cxLabel2 { color: black; background: rgb(128, 255, 0); }"));
    cxLabel2->setFixedHeight(26);

    wBanner->addWidget(cxLabel2);
    wBanner->addWidget(cxLabel1);
    wLayout->addWidget(AdvPanel2);
    wLayout->addWidget(memNotes, 1);
    wLayout->addWidget(StatusBar1);

    resize(416, 272);
    sg_SetMemo(memNotes);
}

TfrmMAIN000::~TfrmMAIN000()
{
    sg_SetMemo(nullptr);
    if (frmMAIN000 == this)
        frmMAIN000 = nullptr;
}

void TfrmMAIN000::LinkStylers(const TsData& xStyles)
{
    AdvPanel2->setStyleSheet(xStyles.PanelStylerWhite.StyleSheet(AdvPanel2->objectName()));
    StatusBar1->setStyleSheet(xStyles.StatusBarWhite.BarStyleSheet(StatusBar1->objectName()));
    for (qsizetype i = 0; i < StatusBar1->Panels.size(); ++i)
        StatusBar1->Panels[i]->setStyleSheet(StatusBar1->PanelDark[i] ? xStyles.StatusBarWhite.DarkPanelStyleSheet()
                                                                       : xStyles.StatusBarWhite.LightPanelStyleSheet());
}

void TfrmMAIN000::showEvent(QShowEvent* xEvent)
{
    QWidget::showEvent(xEvent);
    // A restore after minimising is a show too: the chain runs on the first one only.
    if (FShown)
        return;
    FShown = true;
    if (const QScreen* wScreen = screen())
        move(wScreen->availableGeometry().center() - rect().center());
    // The chain runs once the show is complete: a close inside the show itself would be undone
    // by the rest of the show, and the window must be on screen while the chain logs.
    QTimer::singleShot(0, this, [this] { RunHandler([this] { FormShow(this); }); });
}

void TfrmMAIN000::closeEvent(QCloseEvent* xEvent)
{
    xEvent->accept();
    if (FClosed)
        return;
    RunHandler([this] { FormClose(this); });
}

template <typename F> void TfrmMAIN000::RunHandler(F&& xBody)
{
    ++FHandlerDepth;
    try {
        xBody();
    } catch (const ERunStopped&) {
        // The user closed the window; the run ends quietly.
    } catch (const std::exception& e) {
        Timer1->stop();
        FState = FClosed ? TState::Closed : TState::Halted;
        sg_ShowError(ErrorMessage(e));
    } catch (...) {
        Timer1->stop();
        FState = FClosed ? TState::Closed : TState::Halted;
        sg_ShowError(QStringLiteral("Unknown error."));
    }
    --FHandlerDepth;
    // The window is freed only when no handler of it is still on the stack.
    if (FClosed && FHandlerDepth == 0)
        deleteLater();
}

// ---------------------------------------------------------------- start-up chain

void TfrmMAIN000::FormShow(QObject* /*xSender*/)
{
    FState = TState::Starting;
    // 1, 2: the process formats.
    pf_WriteRegionalFormats();
    sg_SetProcessFormats();

    // 3: the program's folder, with its trailing delimiter.
    const QString wProgram = pf_ProgramFileName();
    gEXEPath = wProgram.left(wProgram.lastIndexOf(pf_PathDelimiter()) + 1);

    // 4: the Upgrades folder, last level only; a failure shows up where it is written to.
    const QString wUpgrades = gEXEPath + QStringLiteral("Upgrades");
    if (!QFileInfo(wUpgrades).isDir())
        QDir().mkdir(sg_Trim(wUpgrades));

    // 5, 6
    sRunDBCommon = QStringLiteral("N");
    sRunDBVelmora = QStringLiteral("N");
    gVersion = sg_Version();

    // 7, 8
    Log(QStringLiteral("Reading System Registory...."));
    Log(QStringLiteral(" "));
    if (!sg_ReadSysReg()) {
        close();
        return;
    }

    // 9, 10
    Log(QStringLiteral("Connecting to Common...."));
    Log(QStringLiteral(" "));
    if (!cData->ConnectDB_Common()) {
        close();
        return;
    }

    // 11, 12
    Log(QStringLiteral("Connecting to VELMORA Cloud...."));
    Log(QStringLiteral(" "));
    if (!Connect_To_Cloud()) {
        close();
        return;
    }
    StopIfClosed();

    // 13, 14
    StatusBar1->Panels[2]->setText(QStringLiteral("Version: ") + gVersion);
    FState = TState::Waiting;
    Timer1->start();
}

void TfrmMAIN000::Timer1Timer(QObject* /*xSender*/)
{
    Timer1->stop();
    FState = TState::Running;
    Download_Cloud_Upgrades();
    close();
}

void TfrmMAIN000::FormClose(QObject* /*xSender*/)
{
    FClosed = true;
    FState = TState::Closed;
    Timer1->stop();
    cData->CloseDB_Common();
}

void TfrmMAIN000::Log(const QString& xMessage)
{
    sg_WriteMemo(xMessage);
    StopIfClosed();
}

void TfrmMAIN000::StopIfClosed() const
{
    if (FClosed)
        throw ERunStopped();
}

void TfrmMAIN000::ShowStatementError(const std::exception& xError)
{
    sg_ShowError(QStringLiteral("SQL Error on Table: vcSysProgRelease :-") + QChar(13) + ErrorMessage(xError));
    StopIfClosed();
}

QString TfrmMAIN000::UpgradesFolder() const
{
    return gEXEPath + QStringLiteral("Upgrades") + pf_PathDelimiter();
}

// ---------------------------------------------------------------- cloud settings and connection

bool TfrmMAIN000::Connect_To_Cloud()
{
    bool wResult = true;
    if (!Read_Cloud_Settings())
        return false;
    if (!cData->ConnectDB_Cloud())
        wResult = false;
    return wResult;
}

bool TfrmMAIN000::Read_Cloud_Settings()
{
    TOdbcQuery& wQuery = cData->vcQuery1;
    wQuery.Close();
    wQuery.SQLClear();
    wQuery.SQLAdd(QStringLiteral("SELECT * FROM vcControl WITH (NOLOCK) "));
    wQuery.SQLAdd(QStringLiteral(" WHERE [Suite] = ") + sg_QuotedStr(cSuite));
    wQuery.SQLAdd(QStringLiteral(" AND [Code] = ") + sg_QuotedStr(QStringLiteral("CLOUDSVR")));
    try {
        wQuery.Open();
        if (wQuery.Eof()) {
            sg_ShowError(QStringLiteral("Close Settings to the Server NOT Defined"));
            StopIfClosed();
            return false;
        }
    } catch (const std::exception& e) {
        sg_ShowError(QStringLiteral("SQL Error on Table: vcControl :-") + QChar(13) + ErrorMessage(e));
        wQuery.Close();
        StopIfClosed();
        return false;
    }
    wQuery.First();
    gRemConnector = wQuery.FieldAsString(QStringLiteral("DBConnector"));
    gRemHost = wQuery.FieldAsString(QStringLiteral("Details"));
    gRemUser = wQuery.FieldAsString(QStringLiteral("DBUser"));
    gRemPswd = wQuery.FieldAsString(QStringLiteral("DBPswd"));
    wQuery.Close();
    gRemDBName = QStringLiteral("VelmoraControl");
    return true;
}

// ---------------------------------------------------------------- cloud release scan

bool TfrmMAIN000::Download_Cloud_Upgrades()
{
    bool wResult = true;
    Log(QStringLiteral("Reading Cloud Program Upgrades...."));
    Log(QStringLiteral(" "));

    TOdbcQuery& wScan = cData->rQuery1;
    wScan.Close();
    wScan.SQLClear();
    wScan.SQLAdd(QStringLiteral("SELECT [RecID], [ProgName], [Description], [Version], [Critical], "));
    wScan.SQLAdd(QStringLiteral(" [MinDBVersion], [Notes] "));
    wScan.SQLAdd(QStringLiteral(" FROM vcSysProgRelease WITH (NOLOCK) "));
    wScan.SQLAdd(QStringLiteral(" ORDER BY [ProgName], [Version] "));
    try {
        wScan.Open();
        if (wScan.Eof()) {
            Log(QStringLiteral("Reading Cloud Program Upgrades....NO UPGRADES FOUND"));
            Log(QStringLiteral(" "));
            return false;
        }
    } catch (const std::exception& e) {
        ShowStatementError(e);
        wScan.Close();
        return false;
    }

    wScan.First();
    while (!wScan.Eof()) {
        Log(QStringLiteral("Validating Program : ") + wScan.FieldAsString(QStringLiteral("ProgName")));
        if (Check_Local_Version()) {
            Log(wScan.FieldAsString(QStringLiteral("ProgName")) + QStringLiteral(" is Up To Date"));
            Log(QStringLiteral(" "));
        } else {
            Save_ZipFile_To_Common();
        }
        wScan.Next();
    }

    if (sRunDBCommon == QStringLiteral("Y")) {
        Log(QStringLiteral(" "));
        Log(QStringLiteral("Running Common Database Upgrade"));
        Run_DBCommon();
        pf_Sleep(30000);
    }
    if (sRunDBVelmora == QStringLiteral("Y")) {
        Log(QStringLiteral(" "));
        Log(QStringLiteral("Running Velmora Database Upgrade"));
        Run_DBVelmora();
    }
    Log(QStringLiteral(" "));
    Log(QStringLiteral(" "));
    Log(QStringLiteral("***  Program Upgrade Complete  ***"));
    Log(QStringLiteral(" "));

    pf_Sleep(2000);
    return wResult;
}

// ---------------------------------------------------------------- local release check and copy

bool TfrmMAIN000::Check_Local_Version()
{
    bool wResult = true;
    const TOdbcQuery& wCloudRow = cData->rQuery1;
    const QString wProgName = wCloudRow.FieldAsString(QStringLiteral("ProgName"));
    const QString wCloudVersion = wCloudRow.FieldAsString(QStringLiteral("Version"));
    QString wLocalVersion;

    TOdbcQuery& wQuery = cData->vcLoadQuery1;
    wQuery.Close();
    wQuery.SQLClear();
    wQuery.SQLAdd(QStringLiteral("SELECT [Version] "));
    wQuery.SQLAdd(QStringLiteral(" FROM vcSysProgRelease WITH (NOLOCK)"));
    wQuery.SQLAdd(QStringLiteral(" WHERE [Suite] = ") + sg_QuotedStr(cSuite));
    wQuery.SQLAdd(QStringLiteral(" AND [ProgName] = ") + sg_QuotedStr(wProgName));
    try {
        wQuery.Open();
        if (wQuery.Eof())
            return false;  // no common release: copy it, nothing to delete
        wLocalVersion = wQuery.FieldAsString(QStringLiteral("Version"));
    } catch (const std::exception& e) {
        ShowStatementError(e);
        wQuery.Close();
        return false;
    }

    if (VersionSortsBefore(wLocalVersion, wCloudVersion)) {
        Delete_Local_Program(wProgName);
        wResult = false;
    }
    return wResult;
}

bool TfrmMAIN000::Delete_Local_Program(const QString& xProgName)
{
    const QString wSQL = QStringLiteral("DELETE FROM vcSysProgRelease ") + QStringLiteral(" WHERE [Suite] = ") +
                         sg_QuotedStr(cSuite) + QStringLiteral(" AND [ProgName] = ") + sg_QuotedStr(xProgName);
    return cData->cmn_ExecSQL(wSQL);
}

bool TfrmMAIN000::Save_ZipFile_To_Common()
{
    const TOdbcQuery& wCloudRow = cData->rQuery1;
    const qint32 wCloudRecID = wCloudRow.FieldAsInteger(QStringLiteral("RecID"));
    const QString wProgName = wCloudRow.FieldAsString(QStringLiteral("ProgName"));
    const QString wDescription = wCloudRow.FieldAsString(QStringLiteral("Description"));
    const QString wVersion = wCloudRow.FieldAsString(QStringLiteral("Version"));
    const QString wCritical = wCloudRow.FieldAsString(QStringLiteral("Critical"));
    const QString wMinDBVersion = wCloudRow.FieldAsString(QStringLiteral("MinDBVersion"));
    const QString wNotes = wCloudRow.FieldAsString(QStringLiteral("Notes"));

    Log(QStringLiteral("Downloading Program : ") + wProgName);

    // The scan leaves the archive out; it is read again, by RecID, only for a row that is copied.
    TOdbcQuery& wArchive = cData->rQuery2;
    wArchive.Close();
    wArchive.SQLClear();
    wArchive.SQLAdd(QStringLiteral("SELECT [RARFile] "));
    wArchive.SQLAdd(QStringLiteral(" FROM vcSysProgRelease WITH (NOLOCK) "));
    wArchive.SQLAdd(QStringLiteral(" WHERE [RecID] = ") + sg_QuotedStr(QString::number(wCloudRecID)));
    try {
        wArchive.Open();
        if (wArchive.Eof()) {
            Log(QStringLiteral("Downloading Program : ") + wProgName + QStringLiteral(" ??? ZIP FILE NOT FOUND"));
            return false;
        }
    } catch (const std::exception& e) {
        ShowStatementError(e);
        wArchive.Close();
        return false;
    }

    const QString wSuiteProgVersion = QStringLiteral(" WHERE [Suite] = ") + sg_QuotedStr(cSuite) +
                                      QStringLiteral(" AND [ProgName] = ") + sg_QuotedStr(wProgName) +
                                      QStringLiteral(" AND [Version] = ") + sg_QuotedStr(wVersion);
    QString wSQL = QStringLiteral("INSERT INTO [vcSysProgRelease] ( ") +
                   QStringLiteral("[Suite], [ProgName], [Description], [Version], [Critical], ") +
                   QStringLiteral("[MinDBVersion], [Notes], [UploadDate], [UploadTime]  ") + QStringLiteral(" ) VALUES ( ") +
                   sg_QuotedStr(cSuite) + QLatin1Char(',') + sg_QuotedStr(wProgName) + QLatin1Char(',') +
                   sg_QuotedStr(wDescription) + QLatin1Char(',') + sg_QuotedStr(wVersion) + QLatin1Char(',') +
                   sg_QuotedStr(wCritical) + QLatin1Char(',') + sg_QuotedStr(wMinDBVersion) + QLatin1Char(',') +
                   sg_QuotedStr(wNotes) + QLatin1Char(',') + sg_QuotedStr(sg_Date(0)) + QLatin1Char(',') +
                   sg_QuotedStr(sg_Time()) + QLatin1Char(')');
    // Without its row there is nothing to store the archive in, and nothing that may be started.
    if (!cData->cmn_ExecSQL(wSQL)) {
        Log(QStringLiteral("Downloading Program : ") + wProgName + QStringLiteral(" - Download FAILED"));
        return false;
    }

    try {
        const std::unique_ptr<TBlobStream> wBlobStream = wArchive.CreateBlobStream(QStringLiteral("RARFile"));
        if (wBlobStream->Size() < cMinArchiveToStore)
            return true;  // the row stays without archive on purpose
        wSQL = QStringLiteral("UPDATE vcSysProgRelease SET ") + QStringLiteral(" [RARFile] = :imgBlob") +
               wSuiteProgVersion;
        TOdbcQuery& wUpload = cData->vcZIPUpload;
        wUpload.SQLClear();
        wUpload.SQLAdd(wSQL);
        wUpload.ParamLoadFromStream(QStringLiteral("imgBlob"), *wBlobStream);
        wUpload.ExecSQL();
    } catch (...) {
        // A row that claims the version without its archive would pass every later check as up
        // to date; without it the next run copies the release again.
        try {
            cData->cmn_ExecSQL(QStringLiteral("DELETE FROM vcSysProgRelease ") + wSuiteProgVersion);
        } catch (...) {
            // The store's own error is the one the user must see.
        }
        throw;
    }

    Log(QStringLiteral("Downloading Program : ") + wProgName + QStringLiteral(" - Download Complete"));
    if (wProgName == cDBCommon)
        sRunDBCommon = QStringLiteral("Y");
    if (wProgName == cDBVelmora)
        sRunDBVelmora = QStringLiteral("Y");
    return true;
}

// ---------------------------------------------------------------- database upgrade launch

bool TfrmMAIN000::Download_ZIPFile(const QString& xProgName)
{
    const QString wSaveFile = UpgradesFolder() + xProgName + QStringLiteral(".ZIP");

    TOdbcQuery& wQuery = cData->vcLoadQuery1;
    wQuery.Close();
    wQuery.SQLClear();
    wQuery.SQLAdd(QStringLiteral("SELECT * FROM vcSysProgRelease WITH (NOLOCK) "));
    wQuery.SQLAdd(QStringLiteral(" WHERE [Suite] = ") + sg_QuotedStr(cSuite));
    wQuery.SQLAdd(QStringLiteral(" AND [ProgName] = ") + sg_QuotedStr(xProgName));
    try {
        wQuery.Open();
        if (wQuery.Eof())
            return false;
    } catch (const std::exception& e) {
        ShowStatementError(e);
        wQuery.Close();
        return false;
    }

    {
        const std::unique_ptr<TBlobStream> wBlobStream = wQuery.CreateBlobStream(QStringLiteral("RARFile"));
        // Archives are stored from 100 bytes on; every stored one is written, so that a stale
        // file of an earlier run is never unpacked in its place.
        if (wBlobStream->Size() >= cMinArchiveToStore) {
            // Written beside its target and renamed into place only when whole.
            QSaveFile wFile(wSaveFile);
            if (!wFile.open(QIODevice::WriteOnly))
                throw EVelError(QStringLiteral("Cannot create file \"%1\". %2").arg(wSaveFile, wFile.errorString()));
            std::vector<char> wBuffer(static_cast<size_t>(cCopyBufferSize));
            wBlobStream->Seek(0);
            qint64 wLeft = wBlobStream->Size();
            while (wLeft > 0) {
                const qint64 wRead = wBlobStream->Read(wBuffer.data(), std::min<qint64>(wLeft, cCopyBufferSize));
                if (wRead <= 0)
                    throw EVelError(QStringLiteral("The archive of %1 ended early.").arg(xProgName));
                if (wFile.write(wBuffer.data(), wRead) != wRead)
                    throw EVelError(QStringLiteral("Cannot write file \"%1\". %2").arg(wSaveFile, wFile.errorString()));
                wLeft -= wRead;
            }
            if (!wFile.commit())
                throw EVelError(QStringLiteral("Cannot write file \"%1\". %2").arg(wSaveFile, wFile.errorString()));
        }
    }

    TZipReader wZIPFile(wSaveFile);
    wZIPFile.ExtractAll(UpgradesFolder());
    return true;
}

bool TfrmMAIN000::Run_DBCommon()
{
    if (Download_ZIPFile(cDBCommon))
        pf_StartProgram(UpgradesFolder() + QStringLiteral("velDBCommon.exe"), QStringLiteral("AUTO"), winId());
    return true;
}

bool TfrmMAIN000::Run_DBVelmora()
{
    if (Download_ZIPFile(cDBVelmora))
        pf_StartProgram(UpgradesFolder() + QStringLiteral("velDBVelmora.exe"), QStringLiteral("AUTO"), winId());
    return true;
}
