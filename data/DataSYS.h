#pragma once
// Unit DataSYS: the style module the suite's programs share. This program takes only the
// white panel styler and the white status bar styler from it.
#include <QColor>
#include <QFont>
#include <QString>

// The look of a panel: its colour, bevel colours and caption font.
struct TPanelStyler {
    QColor Color;
    QColor BevelLight;
    QColor BevelDark;
    QFont Font;
    QColor FontColor;
    QString StyleSheet(const QString& xObjectName) const;
};

// The look of an office status bar: light and dark panels in gradients, bold text.
struct TStatusBarStyler {
    QColor LightFrom, LightTo;
    QColor DarkFrom, DarkTo;
    QColor SplitterColor;
    QFont Font;
    QColor FontColor;
    QString LightPanelStyleSheet() const;
    QString DarkPanelStyleSheet() const;
    QString BarStyleSheet(const QString& xObjectName) const;
};

class TsData {
public:
    TsData();
    TPanelStyler PanelStylerWhite;
    TStatusBarStyler StatusBarWhite;
};

extern TsData* sData;
