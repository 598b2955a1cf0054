// The program's entry: the application, its three modules, the message loop.
#include "DataCMN.h"
#include "DataSYS.h"
#include "MAIN000.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[])
{
    QApplication wApplication(argc, argv);

    // The main window is created hidden: nothing of the start-up chain runs before the loop.
    frmMAIN000 = new TfrmMAIN000;
    cData = new TcData;
    sData = new TsData;
    frmMAIN000->LinkStylers(*sData);

    // The loop shows the window first, so a close during the start-up chain reaches a running loop.
    QTimer::singleShot(0, frmMAIN000, [] { frmMAIN000->show(); });
    wApplication.exec();

    delete frmMAIN000;  // still here only when the loop ended some other way
    delete sData;
    delete cData;
    return 0;
}
