#pragma once
// Unit DataCMN: the data module that owns both database connections and every query.
#include "OdbcClient.h"
#include <QString>

// Components that only make a client available; they hold nothing of their own.
struct TSQLServerUniProvider {};
struct TODBCUniProvider {};

class TcData {
public:
    TcData();
    ~TcData();

    TOdbcConnection VelmoraCommon;
    TOdbcQuery vcUpdSQL;
    TOdbcQuery vcLoadQuery1;
    TOdbcQuery vcQuery1;
    TOdbcQuery vcQuery2;
    TOdbcQuery vcQuery3;
    TOdbcQuery qryServices;
    TOdbcQuery vcImages;
    TOdbcQuery vcUpdTemplate;
    TSQLServerUniProvider SQLServerUniProvider1;
    TODBCUniProvider ODBCUniProvider1;
    TOdbcConnection CloudDB;
    TOdbcQuery rUpdSQL;
    TOdbcQuery rLoadQuery1;
    TOdbcQuery rQuery1;
    TOdbcQuery rqryZIPUpload;
    TOdbcQuery rQuery2;
    TOdbcQuery vcZIPUpload;

    bool ConnectDB_Common();
    void Close_Query_Common();
    void CloseDB_Common();
    bool Disconnect_Common();
    bool ReConnect_Common();
    bool cmn_ExecSQL(const QString& xSQL);
    bool ConnectDB_Cloud();
    void Close_Query_Cloud();
    void CloseDB_Cloud();
    bool cloud_ExecSQL(const QString& xSQL);

    // The connection string of one database from its five settings (reads no global state).
    static QString BuildConnectionStr(QString xHost, QString xDBName, QString xUser,
                                      QString xPswd, QString xDBConnector);

private:
    bool Connect(TOdbcConnection& xConnection, const QString& xHost, const QString& xDBName,
                 const QString& xUser, const QString& xPswd, const QString& xDBConnector);
    bool ExecSQL(TOdbcConnection& xConnection, TOdbcQuery& xQuery, const QString& xSQL);
};

extern TcData* cData;
