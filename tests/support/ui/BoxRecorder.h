#pragma once
// Closes every modal message box that appears while it lives, as a user pressing OK would,
// and records the texts in the order the boxes came.
#include <QStringList>
#include <QTimer>
#include <functional>

class TBoxRecorder {
public:
    TBoxRecorder();
    ~TBoxRecorder();
    QStringList Texts() const { return FTexts; }
    // Called for each box before it is closed (for example, to close the window meanwhile).
    void OnBox(std::function<void(const QString&)> xCallback) { FOnBox = std::move(xCallback); }

private:
    void Poll();
    QTimer FTimer;
    QStringList FTexts;
    std::function<void(const QString&)> FOnBox;
};
