#pragma once
// Our thin client layer over ODBC: a connection, queries with statements held as lines,
// named parameters, rows read as text, integers and BLOB streams. Every ODBC failure
// becomes an EOdbcError with the driver's own message.
#include "Error.h"
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class EOdbcError : public EVelError {
public:
    EOdbcError(const QString& xMessage, const QString& xSqlState, int xNativeError)
        : EVelError(xMessage), FSqlState(xSqlState), FNativeError(xNativeError) {}
    QString SqlState() const { return FSqlState; }
    int NativeError() const { return FNativeError; }
    // The link to the server is gone (08S01 and kin): the operation may be repeated on a new one.
    bool ConnectionLost() const;

private:
    QString FSqlState;
    int FNativeError;
};

// A read-only stream of bytes (the archive column of a row; a parameter's source).
class TBlobStream {
public:
    explicit TBlobStream(QByteArray xData) : FData(std::move(xData)) {}
    qint64 Size() const { return FData.size(); }
    qint64 Position() const { return FPosition; }
    void Seek(qint64 xPosition);
    // Copies up to xCount bytes from the current position; returns how many.
    qint64 Read(char* xBuffer, qint64 xCount);
    const QByteArray& Bytes() const { return FData; }

private:
    QByteArray FData;
    qint64 FPosition = 0;
};

// One database connection. Its fixed settings are those of the suite's connections; a
// connection string names what differs (see SetConnectString). The driver: Microsoft's newest
// "ODBC Driver NN for SQL Server" (the only one allowed when the string names the OLE DB driver
// MSOLEDBSQL), else FreeTDS, else Windows' old "SQL Server" driver.
class TOdbcConnection {
public:
    TOdbcConnection();
    ~TOdbcConnection();
    TOdbcConnection(const TOdbcConnection&) = delete;
    TOdbcConnection& operator=(const TOdbcConnection&) = delete;

    // Applies a connection string in the form BuildConnectionStr makes. Every setting the
    // string can carry first returns to its fixed value, so nothing of an earlier string lingers.
    void SetConnectString(const QString& xConnectString);
    // The string as applied; once connected it no longer shows the password (unless the string
    // says Persist Security Info=True). A private copy serves reconnects only.
    QString ConnectString() const;
    // With it on, an open or execute that loses the link outside a transaction is repeated once
    // on a new link; the next operation after a loss inside one reconnects first.
    void SetLocalFailover(bool xOn);
    bool LocalFailover() const;

    void Connect();  // closes first when open; throws EOdbcError/EVelError on failure
    void Close();    // does nothing when closed; an open transaction is rolled back
    bool Connected() const;  // false also once the link was found lost

    // Autocommit off; Commit/Rollback end it and turn autocommit back on. Commit without a
    // transaction throws; Rollback without one (or after the link was lost) does nothing.
    void StartTransaction();
    void Commit();
    void Rollback();
    bool InTransaction() const;

    // The ODBC connection string handed to the driver, password masked as "***" (for tests and logs).
    QString DriverConnectString() const;

    struct TImpl;
    TImpl* Impl() const { return FImpl.get(); }

private:
    std::unique_ptr<TImpl> FImpl;
};

// A query: one statement held as lines, with its two settings: whether ":name" markers are
// parameters (ParamCheck) and whether the result is read-only. A result set is read whole
// when the query opens, so the connection is free for the next statement at once.
class TOdbcQuery {
public:
    TOdbcQuery(TOdbcConnection* xConnection, bool xParamCheck, bool xReadOnly);
    ~TOdbcQuery();
    TOdbcQuery(const TOdbcQuery&) = delete;
    TOdbcQuery& operator=(const TOdbcQuery&) = delete;

    TOdbcConnection* Connection() const;
    void SetConnection(TOdbcConnection* xConnection);
    bool ParamCheck() const;
    bool ReadOnly() const;

    void SQLClear();
    void SQLAdd(const QString& xLine);
    void SetSQLText(const QString& xText);  // replaces the whole text; CR LF, LF or CR split lines
    QStringList SQLLines() const;
    QString SQLText() const;                // the lines joined by CR LF
    // Markers found when ParamCheck is on (each name once, case ignored). Not markers: anything
    // inside '...', [...], "..." and comments; "::"; a colon not followed by a name.
    QStringList ParamNames() const;

    void Open();     // runs the statement and reads its whole result set
    void ExecSQL();  // runs a statement that returns no rows (any rows are passed over)
    void Close();    // does nothing when closed
    bool Active() const;

    int RecordCount() const;
    void First();
    void Next();
    bool Eof() const;
    qint64 RowsAffected() const;

    // Fields of the current row by name (case-insensitive). NULL reads as the empty text;
    // a number as its decimal text. A missing field throws EVelError.
    QString FieldAsString(const QString& xName) const;
    qint32 FieldAsInteger(const QString& xName) const;
    bool FieldIsNull(const QString& xName) const;
    std::unique_ptr<TBlobStream> CreateBlobStream(const QString& xName) const;

    // Loads the named parameter from the stream, from its start, as a BLOB of bytes; it is sent
    // as varbinary(max). A named marker without a value is sent as NULL.
    void ParamLoadFromStream(const QString& xName, TBlobStream& xStream);

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};
