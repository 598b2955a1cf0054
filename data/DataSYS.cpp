#include "DataSYS.h"

TsData* sData = nullptr;

namespace {
QString FontCss(const QFont& xFont)
{
    return QStringLiteral("font-family: '%1'; font-size: %2pt; font-weight: %3;")
        .arg(xFont.family())
        .arg(xFont.pointSize())
        .arg(xFont.bold() ? QStringLiteral("bold") : QStringLiteral("normal"));
}
}  // namespace

QString TPanelStyler::StyleSheet(const QString& xObjectName) const
{
    // A raised inner and a lowered outer bevel, drawn as two borders of two colours.
    return QStringLiteral("#%1 { background: %2; border: 2px solid; border-top-color: %3; border-left-color: %3;"
                          " border-bottom-color: %4; border-right-color: %4; color: %5; %6 }")
        .arg(xObjectName, Color.name(), BevelLight.name(), BevelDark.name(), FontColor.name(), FontCss(Font));
}

QString TStatusBarStyler::LightPanelStyleSheet() const
{
    return QStringLiteral("background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2); color: %3; %4")
        .arg(LightFrom.name(), LightTo.name(), FontColor.name(), FontCss(Font));
}

QString TStatusBarStyler::DarkPanelStyleSheet() const
{
    return QStringLiteral("background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2); color: %3; %4")
        .arg(DarkFrom.name(), DarkTo.name(), FontColor.name(), FontCss(Font));
}

QString TStatusBarStyler::BarStyleSheet(const QString& xObjectName) const
{
    return QStringLiteral("#%1 { background: %2; border-top: 1px solid %3; }")
        .arg(xObjectName, LightTo.name(), SplitterColor.name());
}

TsData::TsData()
{
    PanelStylerWhite.Color = Qt::white;
    PanelStylerWhite.BevelLight = QColor(255, 255, 255);
    PanelStylerWhite.BevelDark = QColor(160, 160, 160);
    PanelStylerWhite.Font = QFont(QStringLiteral("Tahoma"), 8);
    PanelStylerWhite.FontColor = QColor(64, 64, 64);

    StatusBarWhite.LightFrom = QColor(250, 250, 250);
    StatusBarWhite.LightTo = QColor(230, 230, 230);
    StatusBarWhite.DarkFrom = QColor(150, 150, 150);
    StatusBarWhite.DarkTo = QColor(110, 110, 110);
    StatusBarWhite.SplitterColor = QColor(180, 180, 180);
    StatusBarWhite.Font = QFont(QStringLiteral("Tahoma"), 8);
    StatusBarWhite.Font.setBold(true);
    StatusBarWhite.FontColor = Qt::black;
}
