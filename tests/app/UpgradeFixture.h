#pragma once
// The window against a stand-in with a common and a cloud database, both from the project's
// schema, reached through the real ODBC driver as the machine settings file says.
#include "StandIn.h"
#include "StandInEnv.h"
#include "WindowFixture.h"

#include <QByteArray>
#include <optional>

class TUpgradeFixture : public TWindowFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    struct TRelease {
        QString ProgName;
        QString Version;
        QByteArray Archive;  // empty: NULL
        QString Description = QStringLiteral("desc");
        QString Notes = QStringLiteral("notes");
    };
    struct TCommonRow {
        QString Suite, ProgName, Description, Version, Critical, MinDBVersion, Notes, UploadDate, UploadTime;
        std::optional<QByteArray> Archive;
    };

    void AddCloud(const TRelease& xRelease);
    void AddCommon(const TRelease& xRelease);
    std::vector<TCommonRow> CommonRows();
    // Statement texts the stand-in received for one database, in order.
    QStringList Statements(const std::string& xDatabase) const;
    // Requests whose text contains xMatch are answered with this SQL Server error.
    void FailOn(const std::string& xMatch, int xNumber = 50000, const std::string& xMessage = "Injected fault.");
    // A fresh window on the same databases, as the next start of the program would make it.
    void NextRun();

    static QByteArray Bytes(int xSize, char xSeed = 'a');
    // A real ZIP archive, made by zip, holding the named files with the given contents;
    // names ending in ".exe" are executable scripts.
    QByteArray MakeZip(const QList<std::pair<QString, QByteArray>>& xFiles) const;
    // The script of a database upgrade program that records how it was started.
    static QByteArray UpgradeScript(const QString& xName);

    static const QStringList cStartLines;
    static const QStringList cClosingLines;

    veltest::StandInEnv FEnv;
    standin::Server& FServer{FEnv.Server()};
};
