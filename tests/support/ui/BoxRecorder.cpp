#include "BoxRecorder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

TBoxRecorder::TBoxRecorder()
{
    FTimer.setInterval(5);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Poll(); });
    FTimer.start();
}

TBoxRecorder::~TBoxRecorder()
{
    FTimer.stop();
}

void TBoxRecorder::Poll()
{
    auto* wBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!wBox || !wBox->isVisible() || wBox->property("recorded").toBool())
        return;
    wBox->setProperty("recorded", true);
    FTexts.append(wBox->text());
    if (FOnBox)
        FOnBox(wBox->text());
    if (QAbstractButton* wOk = wBox->button(QMessageBox::Ok))
        wOk->click();
    else
        wBox->reject();
}
