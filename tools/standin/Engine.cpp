#include "Engine.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <set>

#include "Text.h"

namespace standin::engine {

using namespace sql;
namespace fs = std::filesystem;

std::string Version() {
    return std::string("velUPD TDS stand-in 1.0 on SQLite ") + sqlite3_libversion();
}

namespace {

struct StmtDeleter {
    void operator()(sqlite3_stmt* xStmt) const { sqlite3_finalize(xStmt); }
};
using StmtP = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

std::string Quote(const std::string& xName) {
    std::string out = "\"";
    for (char c : xName) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string Literal(const std::string& xText) {
    std::string out = "'";
    for (char c : xText) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

std::string Hex(const std::string& xBytes) {
    static const char* kDigits = "0123456789ABCDEF";
    std::string out = "X'";
    for (unsigned char c : xBytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out + "'";
}

SqlError Error(int xNumber, int xClass, int xState, const std::string& xMessage, bool xAbort = false) {
    return SqlError(xNumber, xClass, xState, xMessage, xAbort);
}

SqlError InvalidObject(const std::string& xName) {
    return Error(208, 16, 1, "Invalid object name '" + xName + "'.", true);
}

SqlError InvalidColumn(const std::string& xName) {
    return Error(207, 16, 1, "Invalid column name '" + xName + "'.", true);
}

// The declared SQLite type carries the T-SQL type; its words also give SQLite the right affinity.
std::string DeclaredType(const SqlType& xType) {
    std::string len = "(" + std::to_string(xType.Length) + ")";
    switch (xType.Id) {
    case TypeId::Int: return "INT";
    case TypeId::BigInt: return "BIGINT";
    case TypeId::SmallInt: return "SMALLINT";
    case TypeId::TinyInt: return "TINYINT";
    case TypeId::Bit: return "BIT";
    case TypeId::Float: return "FLOAT";
    case TypeId::Real: return "REAL";
    case TypeId::VarChar: return "VARCHAR" + len;
    case TypeId::NVarChar: return "NVARCHAR" + len;
    case TypeId::Char: return "CHAR" + len;
    case TypeId::NChar: return "NCHAR" + len;
    case TypeId::VarBinary: return "VARBINARY_BLOB" + len;
    case TypeId::Binary: return "BINARY_BLOB" + len;
    case TypeId::Decimal: return "DECIMAL(" + std::to_string(xType.Length) + "," + std::to_string(xType.Scale) + ")";
    }
    return "INT";
}

SqlType ParseDeclared(const std::string& xDecl) {
    std::string upper;
    for (char c : xDecl) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string base = upper.substr(0, upper.find('('));
    int len = 0, scale = 0;
    if (auto p = upper.find('('); p != std::string::npos) len = std::atoi(upper.c_str() + p + 1);
    if (auto p = upper.find(','); p != std::string::npos) scale = std::atoi(upper.c_str() + p + 1);
    static const std::map<std::string, TypeId> kIds = {
        {"INT", TypeId::Int},          {"INTEGER", TypeId::Int},       {"BIGINT", TypeId::BigInt},
        {"SMALLINT", TypeId::SmallInt}, {"TINYINT", TypeId::TinyInt},  {"BIT", TypeId::Bit},
        {"FLOAT", TypeId::Float},      {"REAL", TypeId::Real},         {"VARCHAR", TypeId::VarChar},
        {"NVARCHAR", TypeId::NVarChar}, {"CHAR", TypeId::Char},        {"NCHAR", TypeId::NChar},
        {"VARBINARY_BLOB", TypeId::VarBinary}, {"BINARY_BLOB", TypeId::Binary}, {"DECIMAL", TypeId::Decimal},
    };
    auto it = kIds.find(base);
    if (it == kIds.end()) return {TypeId::NVarChar, -1};  // a table made by other means
    return {it->second, len, scale};
}

void BindValue(sqlite3_stmt* xStmt, int xIndex, const Value& xValue) {
    switch (xValue.Kind) {
    case Value::K::Null: sqlite3_bind_null(xStmt, xIndex); break;
    case Value::K::Int: sqlite3_bind_int64(xStmt, xIndex, xValue.I); break;
    case Value::K::Float: sqlite3_bind_double(xStmt, xIndex, xValue.F); break;
    case Value::K::Text:
        sqlite3_bind_text64(xStmt, xIndex, xValue.S.data(), xValue.S.size(), SQLITE_STATIC, SQLITE_UTF8);
        break;
    case Value::K::Blob:
        // Bound in place: a large archive is not copied again before SQLite stores it.
        if (xValue.ByteCount() == 0) sqlite3_bind_zeroblob(xStmt, xIndex, 0);
        else sqlite3_bind_blob64(xStmt, xIndex, xValue.Bytes(), xValue.ByteCount(), SQLITE_STATIC);
        break;
    }
}

}  // namespace

// ---- catalog ------------------------------------------------------------------------------
Catalog::Catalog(std::string xDirectory) : FDirectory(std::move(xDirectory)) {
    std::error_code ec;
    fs::create_directories(FDirectory, ec);
    for (const auto& entry : fs::directory_iterator(FDirectory, ec)) {
        if (entry.path().extension() != ".sqlite") continue;
        std::string name = entry.path().stem().string();
        FDatabases[Lower(name)] = {name, entry.path().string()};
    }
}

std::optional<std::string> Catalog::Path(const std::string& xName) const {
    std::lock_guard lock(FMutex);
    auto it = FDatabases.find(Lower(xName));
    if (it == FDatabases.end()) return std::nullopt;
    return it->second.second;
}

std::optional<std::string> Catalog::CanonicalName(const std::string& xName) const {
    std::lock_guard lock(FMutex);
    auto it = FDatabases.find(Lower(xName));
    if (it == FDatabases.end()) return std::nullopt;
    return it->second.first;
}

std::vector<std::string> Catalog::Names() const {
    std::lock_guard lock(FMutex);
    std::vector<std::string> out;
    for (const auto& [key, value] : FDatabases) out.push_back(value.first);
    return out;
}

void Catalog::Create(const std::string& xName) {
    std::lock_guard lock(FMutex);
    if (FDatabases.count(Lower(xName))) return;
    if (xName.empty() || xName.size() > 128) throw std::runtime_error("invalid database name '" + xName + "'");
    for (char c : xName)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            throw std::runtime_error("invalid database name '" + xName + "'");
    std::string path = (fs::path(FDirectory) / (xName + ".sqlite")).string();
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK)
        // Large pages keep a 256 MiB archive to a short overflow chain; WAL lets readers and a
        // writer run side by side, as the program's connections do.
        rc = sqlite3_exec(db, "PRAGMA page_size=65536; PRAGMA journal_mode=WAL; PRAGMA user_version=1;", nullptr,
                          nullptr, nullptr);
    std::string message = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("cannot create database '" + xName + "': " + message);
    FDatabases[Lower(xName)] = {xName, path};
}

// ---- tables -------------------------------------------------------------------------------
struct TableInfo {
    std::string Name;
    std::vector<ColumnMeta> Columns;
    int Identity = -1;
    std::vector<std::string> PrimaryKey;
    int Find(const std::string& xName) const {
        for (size_t i = 0; i < Columns.size(); ++i)
            if (EqualsNoCase(Columns[i].Name, xName)) return static_cast<int>(i);
        return -1;
    }
};

// ---- translation --------------------------------------------------------------------------
enum class Ty { Unknown, Null, Int, Float, Text, Binary };

struct Emitted {
    std::string Sql;
    Ty T = Ty::Unknown;
    std::optional<ColumnMeta> Col;  // a plain column reference
    std::optional<SqlType> Known;   // a known T-SQL type
};

struct Scope {
    const TableInfo* Table = nullptr;
    std::string Alias;
    const Scope* Outer = nullptr;
    const std::vector<SelectItem>* OrderAliases = nullptr;
    std::string Ref() const { return Quote(Alias.empty() ? Table->Name : Alias); }
};

Ty TyOf(const SqlType& xType) {
    if (xType.IsText()) return Ty::Text;
    if (xType.IsBinary()) return Ty::Binary;
    if (xType.Id == TypeId::Float || xType.Id == TypeId::Real || xType.Id == TypeId::Decimal) return Ty::Float;
    return Ty::Int;
}

struct Translator {
    Session& S;
    const Params& P;
    std::vector<const Value*> Binds;
    std::deque<Value> Temps;
    const Scope* Cur = nullptr;
    std::deque<TableInfo> Tables;  // kept alive for the scopes that point at them

    Translator(Session& xSession, const Params& xParams) : S(xSession), P(xParams) {}

    std::string Bind(const Value* xValue) {
        Binds.push_back(xValue);
        return "?" + std::to_string(Binds.size());
    }
    std::string BindTemp(Value xValue) {
        Temps.push_back(std::move(xValue));
        return Bind(&Temps.back());
    }
    static Value IntValue(int64_t xI) {
        Value v;
        v.Kind = Value::K::Int;
        v.I = xI;
        return v;
    }
    static Value TextValue(std::string xS) {
        Value v;
        v.Kind = Value::K::Text;
        v.S = std::move(xS);
        return v;
    }
    void BindAll(sqlite3_stmt* xStmt) const {
        for (size_t i = 0; i < Binds.size(); ++i) BindValue(xStmt, static_cast<int>(i + 1), *Binds[i]);
    }

    const TableInfo& Table(const TableRef& xRef) {
        if (!xRef.Database.empty() && !EqualsNoCase(xRef.Database, S.FDatabase))
            throw Error(102, 15, 1, "Incorrect syntax near '" + xRef.Database + "'.");
        auto info = S.LoadTable(xRef.Name);
        if (!info) throw InvalidObject(xRef.Name);
        Tables.push_back(std::move(*info));
        return Tables.back();
    }

    Emitted Column(const Expr& xE) {
        bool qualifierSeen = xE.Qualifier.empty();
        for (const Scope* s = Cur; s; s = s->Outer) {
            if (!s->Table) continue;
            if (!xE.Qualifier.empty() && !EqualsNoCase(xE.Qualifier, s->Table->Name) &&
                !EqualsNoCase(xE.Qualifier, s->Alias))
                continue;
            qualifierSeen = true;
            int i = s->Table->Find(xE.Text);
            if (i < 0) continue;
            Emitted out;
            ColumnMeta meta = s->Table->Columns[i];
            out.Sql = s->Ref() + "." + Quote(meta.Name);
            out.T = TyOf(meta.Type);
            out.Known = meta.Type;
            meta.Name = xE.Text;
            out.Col = meta;
            return out;
        }
        if (Cur && Cur->OrderAliases && xE.Qualifier.empty())
            for (const SelectItem& item : *Cur->OrderAliases)
                if (item.HasAlias && EqualsNoCase(item.Alias, xE.Text)) return {Quote(item.Alias), Ty::Unknown, {}, {}};
        if (!qualifierSeen)
            throw Error(4104, 16, 1,
                        "The multi-part identifier \"" + xE.Qualifier + "." + xE.Text + "\" could not be bound.", true);
        throw InvalidColumn(xE.Text);
    }

    Emitted Global(const Expr& xE) {
        const std::string& n = xE.Text;
        if (n == "TRANCOUNT") return {BindTemp(IntValue(S.FTranCount)), Ty::Int, {}, SqlType{TypeId::Int, 0}};
        if (n == "SPID") return {BindTemp(IntValue(S.FSpid)), Ty::Int, {}, SqlType{TypeId::SmallInt, 0}};
        if (n == "ROWCOUNT") return {BindTemp(IntValue(S.FRowCount)), Ty::Int, {}, SqlType{TypeId::Int, 0}};
        if (n == "ERROR") return {BindTemp(IntValue(S.FLastError)), Ty::Int, {}, SqlType{TypeId::Int, 0}};
        if (n == "IDENTITY") return Identity();
        if (n == "VERSION") return {BindTemp(TextValue(Version())), Ty::Text, {}, SqlType{TypeId::NVarChar, 300}};
        if (n == "SERVERNAME")
            return {BindTemp(TextValue("STANDIN")), Ty::Text, {}, SqlType{TypeId::NVarChar, 128}};
        if (n == "LANGUAGE")
            return {BindTemp(TextValue("us_english")), Ty::Text, {}, SqlType{TypeId::NVarChar, 128}};
        if (n == "TEXTSIZE") return {BindTemp(IntValue(2147483647)), Ty::Int, {}, SqlType{TypeId::Int, 0}};
        throw Error(137, 15, 2, "Must declare the scalar variable \"@@" + n + "\".");
    }

    Emitted Identity() {
        Value v;
        if (S.FLastIdentity) v = IntValue(*S.FLastIdentity);
        return {BindTemp(std::move(v)), Ty::Int, {}, SqlType{TypeId::Int, 0}};
    }

    Emitted Var(const Expr& xE) {
        for (const auto& [name, value] : P)
            if (EqualsNoCase(name, xE.Text)) {
                Emitted out{Bind(&value), Ty::Unknown, {}, value.Declared};
                if (value.Declared) out.T = TyOf(*value.Declared);
                else if (value.Kind == Value::K::Int) out.T = Ty::Int;
                else if (value.Kind == Value::K::Float) out.T = Ty::Float;
                else if (value.Kind == Value::K::Text) out.T = Ty::Text;
                else if (value.Kind == Value::K::Blob) out.T = Ty::Binary;
                return out;
            }
        throw Error(137, 15, 2, "Must declare the scalar variable \"@" + xE.Text + "\".");
    }

    static Emitted Plain(std::string xSql, Ty xT, std::optional<SqlType> xType = {}) {
        return {std::move(xSql), xT, {}, xType};
    }
    static std::optional<SqlType> KnownOf(const Emitted& xE) {
        if (xE.Known) return xE.Known;
        return std::nullopt;
    }

    Emitted Expression(const Expr& xE) {
        switch (xE.Kind) {
        case Expr::K::Null: return Plain("NULL", Ty::Null);
        case Expr::K::Int: return Plain(xE.Text, Ty::Int);
        case Expr::K::Float: return Plain(xE.Text, Ty::Float, SqlType{TypeId::Float, 0});
        case Expr::K::String: {
            // A non-Unicode literal is in the database's code page before it is stored anywhere.
            std::string text = ThroughCp1252(xE.Text);
            int len = std::max<int>(1, static_cast<int>(text.size()));
            return Plain(Literal(text), Ty::Text, SqlType{TypeId::VarChar, len > 8000 ? -1 : len});
        }
        case Expr::K::NString: {
            int len = std::max<int>(1, static_cast<int>(Utf16Units(xE.Text)));
            return Plain(Literal(xE.Text), Ty::Text, SqlType{TypeId::NVarChar, len > 4000 ? -1 : len});
        }
        case Expr::K::Binary: {
            int len = std::max<int>(1, static_cast<int>(xE.Text.size()));
            return Plain(Hex(xE.Text), Ty::Binary, SqlType{TypeId::VarBinary, len > 8000 ? -1 : len});
        }
        case Expr::K::Column: return Column(xE);
        case Expr::K::Var: return Var(xE);
        case Expr::K::Global: return Global(xE);
        case Expr::K::Unary: {
            Emitted a = Expression(*xE.Args[0]);
            if (xE.Text == "NOT") return Plain("NOT (" + a.Sql + ")", Ty::Int);
            if (xE.Text == "+") return a;
            return Plain(xE.Text + "(" + a.Sql + ")", a.T == Ty::Float ? Ty::Float : Ty::Int, KnownOf(a));
        }
        case Expr::K::BinaryOp: return BinaryOp(xE);
        case Expr::K::IsNull: {
            Emitted a = Expression(*xE.Args[0]);
            return Plain("(" + a.Sql + (xE.Not ? ") IS NOT NULL" : ") IS NULL"), Ty::Int);
        }
        case Expr::K::Like: {
            Emitted a = Expression(*xE.Args[0]);
            const Expr& pattern = *xE.Args[1];
            if ((pattern.Kind == Expr::K::String || pattern.Kind == Expr::K::NString) &&
                pattern.Text.find('[') != std::string::npos)
                throw Error(102, 15, 1, "Incorrect syntax near 'LIKE'.");  // character sets are not supported
            std::string sql = "(" + a.Sql + ")" + (xE.Not ? " NOT LIKE (" : " LIKE (") + Expression(pattern).Sql + ")";
            if (xE.Args.size() > 2) sql += " ESCAPE (" + Expression(*xE.Args[2]).Sql + ")";
            return Plain(sql, Ty::Int);
        }
        case Expr::K::In: {
            Emitted a = Expression(*xE.Args[0]);
            std::string sql = "(" + a.Sql + ") COLLATE NOCASE" + (xE.Not ? " NOT IN (" : " IN (");
            if (xE.Sub) {
                std::vector<ColumnMeta> metas;
                std::vector<bool> resolve;
                sql += SelectSql(*xE.Sub, metas, resolve);
            } else {
                for (size_t i = 1; i < xE.Args.size(); ++i)
                    sql += (i > 1 ? ", " : "") + Expression(*xE.Args[i]).Sql;
            }
            return Plain(sql + ")", Ty::Int);
        }
        case Expr::K::Between: {
            Emitted a = Expression(*xE.Args[0]);
            return Plain("(" + a.Sql + ") COLLATE NOCASE" + (xE.Not ? " NOT BETWEEN (" : " BETWEEN (") +
                             Expression(*xE.Args[1]).Sql + ") AND (" + Expression(*xE.Args[2]).Sql + ")",
                         Ty::Int);
        }
        case Expr::K::Func: return Function(xE);
        case Expr::K::Case: {
            std::string sql = "CASE";
            size_t i = 0;
            if (xE.HasCaseOperand) sql += " (" + Expression(*xE.Args[i++]).Sql + ") COLLATE NOCASE";
            size_t end = xE.Args.size() - (xE.HasElse ? 1 : 0);
            Emitted first;
            for (; i + 1 < end; i += 2) {
                sql += " WHEN " + Expression(*xE.Args[i]).Sql;
                Emitted then = Expression(*xE.Args[i + 1]);
                if (first.Sql.empty()) first = then;
                sql += " THEN " + then.Sql;
            }
            if (xE.HasElse) sql += " ELSE " + Expression(*xE.Args.back()).Sql;
            return Plain(sql + " END", first.T, first.Known);
        }
        case Expr::K::Cast: {
            Emitted a = Expression(*xE.Args[0]);
            const SqlType& t = xE.Type;
            std::string sql;
            if (t.IsText()) {
                sql = "CAST((" + a.Sql + ") AS TEXT)";
                if (t.Length > 0) sql = "substr(" + sql + ", 1, " + std::to_string(t.Length) + ")";
            } else if (t.IsBinary()) {
                sql = "CAST((" + a.Sql + ") AS BLOB)";
                if (t.Length > 0) sql = "substr(" + sql + ", 1, " + std::to_string(t.Length) + ")";
            } else if (t.Id == TypeId::Float || t.Id == TypeId::Real) {
                sql = "CAST((" + a.Sql + ") AS REAL)";
            } else if (t.Id == TypeId::Decimal) {
                sql = t.Scale == 0 ? "CAST(round(CAST((" + a.Sql + ") AS REAL)) AS INTEGER)"
                                   : "round(CAST((" + a.Sql + ") AS REAL), " + std::to_string(t.Scale) + ")";
            } else {
                sql = "CAST((" + a.Sql + ") AS INTEGER)";
            }
            return Plain(sql, TyOf(t), t);
        }
        case Expr::K::Exists: {
            std::vector<ColumnMeta> metas;
            std::vector<bool> resolve;
            return Plain("EXISTS (" + SelectSql(*xE.Sub, metas, resolve) + ")", Ty::Int);
        }
        case Expr::K::Subquery: {
            std::vector<ColumnMeta> metas;
            std::vector<bool> resolve;
            std::string sql = "(" + SelectSql(*xE.Sub, metas, resolve) + ")";
            if (metas.size() != 1)
                throw Error(116, 16, 1,
                            "Only one expression can be specified in the select list when the subquery is not "
                            "introduced with EXISTS.");
            return Plain(sql, TyOf(metas[0].Type), resolve[0] ? std::nullopt : std::optional(metas[0].Type));
        }
        }
        throw SyntaxError("?");
    }

    Emitted BinaryOp(const Expr& xE) {
        const std::string& op = xE.Text;
        Emitted a = Expression(*xE.Args[0]);
        Emitted b = Expression(*xE.Args[1]);
        if (op == "AND" || op == "OR") return Plain("(" + a.Sql + ") " + op + " (" + b.Sql + ")", Ty::Int);
        if (op == "=" || op == "<>" || op == "<" || op == ">" || op == "<=" || op == ">=")
            // Text compares as under SQL Server's default case-insensitive collation.
            return Plain("(" + a.Sql + ") " + op + " (" + b.Sql + ") COLLATE NOCASE", Ty::Int);
        if (op == "+" && (a.T == Ty::Text || b.T == Ty::Text)) {
            std::optional<SqlType> known;
            if (a.Known && b.Known && a.Known->IsText() && b.Known->IsText()) {
                bool unicode = a.Known->Id == TypeId::NVarChar || b.Known->Id == TypeId::NVarChar ||
                               a.Known->Id == TypeId::NChar || b.Known->Id == TypeId::NChar;
                int len = (a.Known->Length < 0 || b.Known->Length < 0) ? -1 : a.Known->Length + b.Known->Length;
                if (len > (unicode ? 4000 : 8000)) len = -1;
                known = SqlType{unicode ? TypeId::NVarChar : TypeId::VarChar, len};
            }
            return Plain("(" + a.Sql + ") || (" + b.Sql + ")", Ty::Text, known);
        }
        if (op == "+" && (a.T == Ty::Binary || b.T == Ty::Binary))
            return Plain("CAST((" + a.Sql + ") || (" + b.Sql + ") AS BLOB)", Ty::Binary);
        Ty t = (a.T == Ty::Float || b.T == Ty::Float) ? Ty::Float
               : (a.T == Ty::Int && b.T == Ty::Int) ? Ty::Int
                                                    : Ty::Unknown;
        if (op == "^") return Plain("((" + a.Sql + ") | (" + b.Sql + ")) - ((" + a.Sql + ") & (" + b.Sql + "))", t);
        return Plain("(" + a.Sql + ") " + op + " (" + b.Sql + ")", t);
    }

    Emitted Function(const Expr& xE) {
        const std::string& f = xE.Text;
        auto args = [&](size_t xMin, size_t xMax) {
            if (xE.Star || xE.Args.size() < xMin || xE.Args.size() > xMax)
                throw Error(174, 15, 1,
                            "The " + Lower(f) + " function requires " + std::to_string(xMin) + " argument(s).");
            std::vector<Emitted> out;
            for (const auto& a : xE.Args) out.push_back(Expression(*a));
            return out;
        };
        std::string distinct = xE.Distinct ? "DISTINCT " : "";
        if (f == "COUNT" || f == "COUNT_BIG") {
            SqlType known{f == "COUNT" ? TypeId::Int : TypeId::BigInt, 0};
            if (xE.Star) return Plain("count(*)", Ty::Int, known);
            auto a = args(1, 1);
            return Plain("count(" + distinct + a[0].Sql + ")", Ty::Int, known);
        }
        if (f == "MIN" || f == "MAX") {
            auto a = args(1, 1);
            return Plain(Lower(f) + "(" + a[0].Sql + ")", a[0].T, a[0].Known);
        }
        if (f == "SUM") {
            auto a = args(1, 1);
            return Plain("sum(" + distinct + a[0].Sql + ")", a[0].T);
        }
        if (f == "AVG") {
            auto a = args(1, 1);
            if (a[0].T == Ty::Int) return Plain("CAST(avg(" + distinct + a[0].Sql + ") AS INTEGER)", Ty::Int);
            return Plain("avg(" + distinct + a[0].Sql + ")", Ty::Float);
        }
        if (f == "LEN") {
            auto a = args(1, 1);
            return Plain("length(rtrim(" + a[0].Sql + "))", Ty::Int, SqlType{TypeId::Int, 0});
        }
        if (f == "DATALENGTH") {
            auto a = args(1, 1);
            std::string sql = "length(CAST((" + a[0].Sql + ") AS BLOB))";
            if (a[0].T == Ty::Binary) sql = "length(" + a[0].Sql + ")";  // no copy of a large value
            else if (a[0].Known && (a[0].Known->Id == TypeId::NVarChar || a[0].Known->Id == TypeId::NChar))
                sql = "2 * length(" + a[0].Sql + ")";
            return Plain(sql, Ty::Int, SqlType{TypeId::Int, 0});
        }
        if (f == "UPPER" || f == "LOWER" || f == "LTRIM" || f == "RTRIM" || f == "TRIM") {
            auto a = args(1, 1);
            return Plain(Lower(f) + "(" + a[0].Sql + ")", Ty::Text, a[0].Known);
        }
        if (f == "SUBSTRING") {
            auto a = args(3, 3);
            return Plain("substr(" + a[0].Sql + ", " + a[1].Sql + ", " + a[2].Sql + ")", a[0].T, a[0].Known);
        }
        if (f == "LEFT") {
            auto a = args(2, 2);
            return Plain("substr(" + a[0].Sql + ", 1, " + a[1].Sql + ")", a[0].T, a[0].Known);
        }
        if (f == "RIGHT") {
            auto a = args(2, 2);
            return Plain("CASE WHEN (" + a[1].Sql + ") <= 0 THEN '' ELSE substr(" + a[0].Sql + ", -(" + a[1].Sql +
                             ")) END",
                         a[0].T, a[0].Known);
        }
        if (f == "REPLICATE") {
            auto a = args(2, 2);
            // n copies: the hex text of n zero bytes has n "00" pairs to replace.
            return Plain("replace(hex(zeroblob(max(0, " + a[1].Sql + "))), '00', " + a[0].Sql + ")", Ty::Text,
                         SqlType{a[0].Known && a[0].Known->Id == TypeId::NVarChar ? TypeId::NVarChar : TypeId::VarChar, -1});
        }
        if (f == "ISNULL") {
            auto a = args(2, 2);
            return Plain("ifnull(" + a[0].Sql + ", " + a[1].Sql + ")", a[0].T, a[0].Known);
        }
        if (f == "COALESCE") {
            auto a = args(2, 1000);
            std::string sql = "coalesce(";
            for (size_t i = 0; i < a.size(); ++i) sql += (i ? ", " : "") + a[i].Sql;
            return Plain(sql + ")", a[0].T, a[0].Known);
        }
        if (f == "NULLIF") {
            auto a = args(2, 2);
            return Plain("nullif(" + a[0].Sql + ", " + a[1].Sql + ")", a[0].T, a[0].Known);
        }
        if (f == "ABS") {
            auto a = args(1, 1);
            return Plain("abs(" + a[0].Sql + ")", a[0].T, a[0].Known);
        }
        if (f == "OBJECT_ID") {
            if (xE.Args.empty() || xE.Args.size() > 2 ||
                (xE.Args[0]->Kind != Expr::K::String && xE.Args[0]->Kind != Expr::K::NString))
                throw Error(102, 15, 1, "Incorrect syntax near 'OBJECT_ID'.");
            // 'db.dbo.[name]': only the last part names the table.
            std::string name = xE.Args[0]->Text;
            if (auto dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
            if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
            return Plain("(SELECT rootpage FROM sqlite_master WHERE type = 'table' AND name = " + Literal(name) +
                             " COLLATE NOCASE)",
                         Ty::Int, SqlType{TypeId::Int, 0});
        }
        if (f == "DB_NAME" && xE.Args.empty())
            return {BindTemp(TextValue(S.FDatabase)), Ty::Text, {}, SqlType{TypeId::NVarChar, 128}};
        if (f == "SCOPE_IDENTITY" && xE.Args.empty()) return Identity();
        if ((f == "SUSER_SNAME" || f == "SUSER_NAME") && xE.Args.empty())
            return {BindTemp(TextValue(S.FLogin)), Ty::Text, {}, SqlType{TypeId::NVarChar, 128}};
        if (f == "USER_NAME" && xE.Args.empty())
            return {BindTemp(TextValue("dbo")), Ty::Text, {}, SqlType{TypeId::NVarChar, 128}};
        throw Error(102, 15, 1, "Incorrect syntax near '" + f + "'.");
    }

    // Gives the SQLite text of a SELECT and its result columns; resolve marks the columns whose
    // type is settled by the first row.
    std::string SelectSql(const Select& xS, std::vector<ColumnMeta>& xMetas, std::vector<bool>& xResolve) {
        Scope scope;
        scope.Outer = Cur;
        if (xS.From) {
            scope.Table = &Table(*xS.From);
            scope.Alias = xS.From->Alias;
        }
        const Scope* saved = Cur;
        Cur = &scope;
        std::string sql = "SELECT ";
        if (xS.Distinct) sql += "DISTINCT ";
        bool first = true;
        for (const SelectItem& item : xS.Items) {
            if (!item.E) {
                if (!scope.Table) throw Error(263, 16, 1, "Must specify table to select from.");
                if (!item.StarOf.empty() && !EqualsNoCase(item.StarOf, scope.Table->Name) &&
                    !EqualsNoCase(item.StarOf, scope.Alias))
                    throw Error(4104, 16, 1, "The multi-part identifier \"" + item.StarOf + "\" could not be bound.",
                                true);
                for (const ColumnMeta& c : scope.Table->Columns) {
                    sql += (first ? "" : ", ") + scope.Ref() + "." + Quote(c.Name);
                    first = false;
                    xMetas.push_back(c);
                    xResolve.push_back(false);
                }
                continue;
            }
            Emitted e = Expression(*item.E);
            sql += (first ? "" : ", ") + e.Sql;
            if (item.HasAlias) sql += " AS " + Quote(item.Alias);
            first = false;
            ColumnMeta meta;
            bool resolve = false;
            if (e.Col) {
                meta = *e.Col;
            } else if (e.Known) {
                meta.Type = *e.Known;
            } else {
                resolve = true;
                meta.Type = e.T == Ty::Binary ? SqlType{TypeId::VarBinary, -1}
                            : e.T == Ty::Float ? SqlType{TypeId::Float, 0}
                            : e.T == Ty::Text  ? SqlType{TypeId::NVarChar, 4000}
                                               : SqlType{TypeId::Int, 0};
            }
            if (!e.Col) meta.Name.clear();
            if (item.HasAlias) meta.Name = item.Alias;
            xMetas.push_back(meta);
            xResolve.push_back(resolve);
        }
        if (scope.Table) {
            sql += " FROM " + Quote(scope.Table->Name);
            if (!scope.Alias.empty()) sql += " AS " + Quote(scope.Alias);
        }
        if (xS.Where) sql += " WHERE " + Expression(*xS.Where).Sql;
        for (size_t i = 0; i < xS.GroupBy.size(); ++i)
            sql += (i ? ", " : " GROUP BY ") + Expression(*xS.GroupBy[i]).Sql;
        if (xS.Having) sql += " HAVING " + Expression(*xS.Having).Sql;
        scope.OrderAliases = &xS.Items;
        for (size_t i = 0; i < xS.OrderBy.size(); ++i) {
            const OrderItem& o = xS.OrderBy[i];
            std::string term;
            if (o.E->Kind == Expr::K::Int) {
                term = o.E->Text;  // ordinal position
            } else {
                Emitted e = Expression(*o.E);
                term = e.Sql;
                if (e.T == Ty::Text || e.T == Ty::Unknown) term = "(" + term + ") COLLATE NOCASE";
            }
            sql += (i ? ", " : " ORDER BY ") + term + (o.Desc ? " DESC" : "");
        }
        if (xS.Top) sql += " LIMIT (" + Expression(*xS.Top).Sql + ")";
        Cur = saved;
        return sql;
    }
};

// ---- session ------------------------------------------------------------------------------
Session::Session(Catalog& xCatalog, int xSpid, std::string xLogin)
    : FCatalog(xCatalog), FSpid(xSpid), FLogin(std::move(xLogin)) {}

Session::~Session() {
    // Closing rolls back whatever transaction the client left open.
    for (auto& [name, db] : FHandles) sqlite3_close_v2(db);
}

bool Session::Use(const std::string& xDatabase) {
    auto name = FCatalog.CanonicalName(xDatabase);
    if (!name) return false;
    FDatabase = *name;
    return true;
}

sqlite3* Session::Db() {
    std::string key = Lower(FDatabase);
    if (auto it = FHandles.find(key); it != FHandles.end()) return it->second;
    auto path = FCatalog.Path(FDatabase);
    if (!path) throw Error(911, 16, 1, "Database '" + FDatabase + "' does not exist.", true);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path->c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw Error(50000, 16, 1, "Cannot open database '" + FDatabase + "': " + message, true);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_handler(db, &Session::Busy, this);
    // "x" must never turn into the string 'x' when no column x exists.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    FHandles[key] = db;
    return db;
}

// Waits for another connection's lock as SQL Server does, up to LOCK_TIMEOUT.
int Session::Busy(void* xSession, int xCount) {
    auto* self = static_cast<Session*>(xSession);
    if (xCount == 0) self->FBusySince = 0;
    if (self->FCatalog.Stopping || self->FBusySince >= self->FLockTimeoutMs) return 0;
    int step = std::min(xCount < 10 ? 1 : 10, self->FLockTimeoutMs - self->FBusySince);
    std::this_thread::sleep_for(std::chrono::milliseconds(step));
    self->FBusySince += step;
    return 1;
}

void Session::Exec(const std::string& xSql) {
    sqlite3* db = Db();
    if (sqlite3_exec(db, xSql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), "", false);
}

std::optional<TableInfo> Session::LoadTable(const std::string& xName) {
    sqlite3* db = Db();
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT m.name, p.name, p.type, p.\"notnull\", p.pk FROM sqlite_master AS m, "
                       "pragma_table_info(m.name) AS p WHERE m.type = 'table' AND m.name = ?1 COLLATE NOCASE "
                       "AND m.name NOT LIKE 'sqlite!_%' ESCAPE '!' ORDER BY p.cid",
                       -1, &raw, nullptr);
    StmtP st(raw);
    sqlite3_bind_text(raw, 1, xName.c_str(), -1, SQLITE_TRANSIENT);
    TableInfo info;
    std::vector<std::pair<int, std::string>> pk;
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        info.Name = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
        ColumnMeta c;
        c.Name = reinterpret_cast<const char*>(sqlite3_column_text(raw, 1));
        std::string decl = reinterpret_cast<const char*>(sqlite3_column_text(raw, 2));
        c.Type = ParseDeclared(decl);
        c.Nullable = sqlite3_column_int(raw, 3) == 0;
        int pkIndex = sqlite3_column_int(raw, 4);
        if (pkIndex > 0) pk.emplace_back(pkIndex, c.Name);
        if (EqualsNoCase(decl, "INTEGER") && pkIndex == 1) {
            c.Identity = true;
            c.Nullable = false;
            info.Identity = static_cast<int>(info.Columns.size());
        }
        info.Columns.push_back(std::move(c));
    }
    if (rc != SQLITE_DONE) throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), xName, false);
    if (info.Columns.empty()) return std::nullopt;
    std::sort(pk.begin(), pk.end());
    for (auto& [i, name] : pk) info.PrimaryKey.push_back(name);
    return info;
}

SqlError Session::Translate(int xCode, const std::string& xMessage, const std::string& xTable, bool xInsert) {
    auto after = [&](const std::string& xPrefix) {
        auto p = xMessage.find(xPrefix);
        return p == std::string::npos ? std::string() : xMessage.substr(p + xPrefix.size());
    };
    auto columnOf = [](std::string xQualified) {
        auto comma = xQualified.find(',');
        if (comma != std::string::npos) xQualified = xQualified.substr(0, comma);
        auto dot = xQualified.rfind('.');
        return dot == std::string::npos ? xQualified : xQualified.substr(dot + 1);
    };
    int primary = xCode & 0xFF;
    if (xCode == SQLITE_CONSTRAINT_NOTNULL) {
        std::string column = columnOf(after("failed: "));
        return Error(515, 16, 2,
                     "Cannot insert the value NULL into column '" + column + "', table '" + FDatabase + ".dbo." +
                         xTable + "'; column does not allow nulls. " + (xInsert ? "INSERT" : "UPDATE") + " fails.");
    }
    if (xCode == SQLITE_CONSTRAINT_PRIMARYKEY || xCode == SQLITE_CONSTRAINT_UNIQUE) {
        std::string failed = after("failed: ");
        std::vector<std::string> columns;
        size_t start = 0;
        while (start < failed.size()) {
            size_t end = failed.find(", ", start);
            if (end == std::string::npos) end = failed.size();
            columns.push_back(columnOf(failed.substr(start, end - start)));
            start = end + 2;
        }
        bool isPk = false;
        if (auto info = LoadTable(xTable)) {
            isPk = info->PrimaryKey.size() == columns.size();
            for (size_t i = 0; isPk && i < columns.size(); ++i) isPk = EqualsNoCase(info->PrimaryKey[i], columns[i]);
        }
        return Error(2627, 14, 1,
                     std::string("Violation of ") + (isPk ? "PRIMARY KEY constraint 'PK_" : "UNIQUE KEY constraint 'UQ_") +
                         xTable + "'. Cannot insert duplicate key in object 'dbo." + xTable + "'.");
    }
    if (xCode == SQLITE_CONSTRAINT_CHECK) {
        std::string name = after("failed: ");
        if (name.rfind("len:", 0) == 0) return Error(8152, 16, 30, "String or binary data would be truncated.");
        if (name.rfind("range:", 0) == 0)
            return Error(8115, 16, 2, "Arithmetic overflow error converting expression to data type int.");
        if (name.rfind("type:", 0) == 0) {
            std::string column = name.substr(5);
            SqlType type{TypeId::Int, 0};
            if (auto info = LoadTable(xTable); info && info->Find(column) >= 0) type = info->Columns[info->Find(column)].Type;
            if (type.IsBinary())
                return Error(257, 16, 3,
                             "Implicit conversion from data type varchar to " + type.Name() +
                                 " is not allowed. Use the CONVERT function to run this query.");
            return Error(245, 16, 1, "Conversion failed when converting the varchar value to data type " + type.Name() + ".");
        }
        return Error(547, 16, 0, "The statement conflicted with the CHECK constraint \"" + name + "\".");
    }
    if (primary == SQLITE_MISMATCH || xCode == SQLITE_CONSTRAINT_DATATYPE)
        return Error(245, 16, 1, "Conversion failed when converting the varchar value to data type int.");
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        return Error(1222, 16, 45, "Lock request time out period exceeded.");
    if (primary == SQLITE_TOOBIG)
        return Error(7119, 16, 1, "Attempting to grow LOB beyond maximum allowed size of 2147483647 bytes.");
    if (std::string t = after("no such table: "); !t.empty()) {
        if (auto dot = t.find('.'); dot != std::string::npos) t = t.substr(dot + 1);
        return InvalidObject(t);
    }
    if (std::string c = after("no such column: "); !c.empty()) return InvalidColumn(columnOf(c));
    return Error(50000, 16, 1, "SQLite: " + xMessage);
}

void Session::EnsureWriteTransaction() {
    if (FTranCount == 0) return;
    std::string key = Lower(FDatabase);
    if (FInWrite[key]) return;
    // Taken at the first write, so that a transaction that only reads never blocks writers.
    Exec("BEGIN IMMEDIATE");
    FInWrite[key] = true;
}

void Session::BeginTran(Sink& xSink) {
    if (FTranCount++ > 0) return;
    uint64_t id = (static_cast<uint64_t>(FSpid) << 32) | FNextDescriptor++;
    std::memcpy(FDescriptor, &id, 8);
    xSink.Transaction(TranEvent::Begin, nullptr, FDescriptor);
}

void Session::CommitTran(Sink& xSink, bool xAll) {
    if (FTranCount == 0)
        throw Error(3902, 16, 1, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
    if (!xAll && FTranCount > 1) {
        --FTranCount;
        return;
    }
    std::string saved = FDatabase;
    for (auto& [key, open] : FInWrite) {
        if (!open) continue;
        open = false;
        if (sqlite3_exec(FHandles[key], "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            SqlError e = Translate(sqlite3_extended_errcode(FHandles[key]), sqlite3_errmsg(FHandles[key]), "", false);
            sqlite3_exec(FHandles[key], "ROLLBACK", nullptr, nullptr, nullptr);
            FTranCount = 0;
            throw e;
        }
    }
    FTranCount = 0;
    uint8_t old[8];
    std::memcpy(old, FDescriptor, 8);
    std::memset(FDescriptor, 0, 8);
    xSink.Transaction(TranEvent::Commit, old, nullptr);
}

void Session::RollbackTran(Sink& xSink) {
    if (FTranCount == 0)
        throw Error(3903, 16, 1, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
    for (auto& [key, open] : FInWrite) {
        if (open) sqlite3_exec(FHandles[key], "ROLLBACK", nullptr, nullptr, nullptr);
        open = false;
    }
    FTranCount = 0;
    uint8_t old[8];
    std::memcpy(old, FDescriptor, 8);
    std::memset(FDescriptor, 0, 8);
    xSink.Transaction(TranEvent::Rollback, old, nullptr);
}

void Session::TmBegin(Sink& xSink) { BeginTran(xSink); }

void Session::TmCommit(Sink& xSink, bool xBeginNew) {
    if (FTranCount > 0) CommitTran(xSink, true);
    if (xBeginNew) BeginTran(xSink);
}

void Session::TmRollback(Sink& xSink, bool xBeginNew) {
    if (FTranCount > 0) RollbackTran(xSink);
    if (xBeginNew) BeginTran(xSink);
}

namespace {
struct AbortBatch {};
}  // namespace

void Session::Execute(const std::string& xSql, const Params& xParams, Sink& xSink) {
    std::vector<StatementP> statements;
    try {
        statements = Parse(xSql);
    } catch (const SqlError& e) {
        FLastError = e.Number;
        xSink.Error(e);
        xSink.Done(0, false, 0, true);
        return;
    }
    try {
        for (const auto& s : statements) RunStatement(*s, xParams, xSink);
    } catch (const AbortBatch&) {
    }
}

void Session::Describe(const std::string& xSql, const Params& xParams, Sink& xSink) {
    std::vector<StatementP> statements = Parse(xSql);
    if (statements.size() != 1 || statements[0]->Kind != Statement::K::Select) return;
    Translator tr(*this, xParams);
    std::vector<ColumnMeta> metas;
    std::vector<bool> resolve;
    tr.SelectSql(*statements[0]->Query, metas, resolve);
    xSink.Columns(metas);
}

void Session::RunStatement(const Statement& xStmt, const Params& xParams, Sink& xSink) {
    try {
        switch (xStmt.Kind) {
        case Statement::K::Select: RunSelect(xStmt, xParams, xSink); break;
        case Statement::K::Insert:
        case Statement::K::Update:
        case Statement::K::Delete:
        case Statement::K::Truncate:
        case Statement::K::DropTable:
        case Statement::K::CreateIndex: RunDml(xStmt, xParams, xSink); break;
        case Statement::K::CreateTable: RunCreateTable(xStmt, xSink); break;
        case Statement::K::BeginTran:
            BeginTran(xSink);
            xSink.Done(0, false, 0, false);
            break;
        case Statement::K::Commit:
            CommitTran(xSink, false);
            xSink.Done(0, false, 0, false);
            break;
        case Statement::K::Rollback:
            RollbackTran(xSink);
            xSink.Done(0, false, 0, false);
            break;
        case Statement::K::Set: RunSet(xStmt, xSink); break;
        case Statement::K::Use: {
            std::string old = FDatabase;
            if (!Use(xStmt.Name))
                throw Error(911, 16, 1,
                            "Database '" + xStmt.Name +
                                "' does not exist. Make sure that the name is entered correctly.",
                            true);
            xSink.DatabaseChanged(old, FDatabase);
            xSink.Done(0, false, 0, false);
            break;
        }
        case Statement::K::If: {
            const auto& branch = Condition(*xStmt.Condition, xParams) ? xStmt.Body : xStmt.Else;
            for (const auto& s : branch) RunStatement(*s, xParams, xSink);
            break;
        }
        case Statement::K::Block:
            for (const auto& s : xStmt.Body) RunStatement(*s, xParams, xSink);
            break;
        }
        FLastError = 0;
    } catch (SqlError& e) {
        e.Line = xStmt.Line;
        FLastError = e.Number;
        xSink.Error(e);
        bool abort = e.AbortBatch;
        if (FXactAbort && FTranCount > 0) {
            RollbackTran(xSink);
            abort = true;
        }
        xSink.Done(0, false, 0, true);
        if (abort) throw AbortBatch{};
    }
}

bool Session::Condition(const Expr& xExpr, const Params& xParams) {
    Translator tr(*this, xParams);
    std::string sql = "SELECT CASE WHEN " + tr.Expression(xExpr).Sql + " THEN 1 ELSE 0 END";
    sqlite3* db = Db();
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK)
        throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), "", false);
    StmtP st(raw);
    tr.BindAll(raw);
    int rc = sqlite3_step(raw);
    if (rc != SQLITE_ROW) throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), "", false);
    return sqlite3_column_int(raw, 0) != 0;
}

void Session::RunSelect(const Statement& xStmt, const Params& xParams, Sink& xSink) {
    Translator tr(*this, xParams);
    std::vector<ColumnMeta> metas;
    std::vector<bool> resolve;
    std::string sql = tr.SelectSql(*xStmt.Query, metas, resolve);
    sqlite3* db = Db();
    sqlite3_stmt* raw = nullptr;
    std::string table = xStmt.Query->From ? xStmt.Query->From->Name : "";
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK)
        throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), table, false);
    StmtP st(raw);
    tr.BindAll(raw);
    int rc = sqlite3_step(raw);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), table, false);
    for (size_t i = 0; i < metas.size(); ++i) {
        if (!resolve[i]) continue;
        int type = rc == SQLITE_ROW ? sqlite3_column_type(raw, static_cast<int>(i)) : SQLITE_NULL;
        SqlType& t = metas[i].Type;
        if (type == SQLITE_INTEGER) {
            int64_t v = sqlite3_column_int64(raw, static_cast<int>(i));
            t = {v < INT32_MIN || v > INT32_MAX ? TypeId::BigInt : TypeId::Int, 0};
        } else if (type == SQLITE_FLOAT) {
            t = {TypeId::Float, 0};
        } else if (type == SQLITE_TEXT) {
            t = {TypeId::NVarChar, sqlite3_column_bytes(raw, static_cast<int>(i)) > 4000 ? -1 : 4000};
        } else if (type == SQLITE_BLOB) {
            t = {TypeId::VarBinary, -1};
        }
    }
    xSink.Columns(metas);
    int64_t rows = 0;
    while (rc == SQLITE_ROW) {
        xSink.Row(raw, metas);
        ++rows;
        if (xSink.Cancelled()) throw Cancelled{};
        rc = sqlite3_step(raw);
    }
    if (rc != SQLITE_DONE) throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), table, false);
    FRowCount = rows;
    xSink.Done(0xC1, !FNoCount, rows, false);
}

void Session::RunDml(const Statement& xStmt, const Params& xParams, Sink& xSink) {
    Translator tr(*this, xParams);
    std::string sql;
    uint16_t curCmd = 0;
    bool counted = true;
    bool insert = false;
    std::string tableName = xStmt.Table.Name;
    bool hasIdentity = false;
    std::string extra;  // a second statement, run after the first
    switch (xStmt.Kind) {
    case Statement::K::Insert: {
        curCmd = 0xC3;
        insert = true;
        const TableInfo& t = tr.Table(xStmt.Table);
        tableName = t.Name;
        hasIdentity = t.Identity >= 0;
        std::vector<int> targets;
        if (xStmt.Columns.empty()) {
            for (size_t i = 0; i < t.Columns.size(); ++i)
                if (static_cast<int>(i) != t.Identity) targets.push_back(static_cast<int>(i));
        } else {
            for (const std::string& c : xStmt.Columns) {
                int i = t.Find(c);
                if (i < 0) throw InvalidColumn(c);
                if (i == t.Identity && FIdentityInsert != Lower(t.Name))
                    throw Error(544, 16, 1,
                                "Cannot insert explicit value for identity column in table '" + t.Name +
                                    "' when IDENTITY_INSERT is set to OFF.");
                targets.push_back(i);
            }
        }
        sql = "INSERT INTO " + Quote(t.Name);
        if (xStmt.DefaultValues) {
            sql += " DEFAULT VALUES";
            break;
        }
        sql += " (";
        for (size_t i = 0; i < targets.size(); ++i) sql += (i ? ", " : "") + Quote(t.Columns[targets[i]].Name);
        sql += ")";
        if (xStmt.Query) {
            std::vector<ColumnMeta> metas;
            std::vector<bool> resolve;
            std::string select = tr.SelectSql(*xStmt.Query, metas, resolve);
            if (metas.size() != targets.size())
                throw Error(metas.size() < targets.size() ? 120 : 121, 15, 1,
                            std::string("The select list for the INSERT statement contains ") +
                                (metas.size() < targets.size() ? "fewer" : "more") +
                                " items than the insert list. The number of SELECT values must match the number of "
                                "INSERT columns.");
            sql += " " + select;
            break;
        }
        sql += " VALUES ";
        for (size_t r = 0; r < xStmt.Rows.size(); ++r) {
            const auto& row = xStmt.Rows[r];
            if (row.size() != targets.size()) {
                bool fewer = targets.size() < row.size();
                throw Error(fewer ? 110 : 109, 15, 1,
                            std::string("There are ") + (fewer ? "fewer" : "more") +
                                " columns in the INSERT statement than values specified in the VALUES clause. The "
                                "number of values in the VALUES clause must match the number of columns specified in "
                                "the INSERT statement.");
            }
            sql += r ? ", (" : "(";
            for (size_t i = 0; i < row.size(); ++i) sql += (i ? ", " : "") + tr.Expression(*row[i]).Sql;
            sql += ")";
        }
        break;
    }
    case Statement::K::Update: {
        curCmd = 0xC5;
        const TableInfo& t = tr.Table(xStmt.Table);
        tableName = t.Name;
        Scope scope;
        scope.Table = &t;
        tr.Cur = &scope;
        sql = "UPDATE " + Quote(t.Name) + " SET ";
        for (size_t i = 0; i < xStmt.Assignments.size(); ++i) {
            const auto& [column, expr] = xStmt.Assignments[i];
            int c = t.Find(column);
            if (c < 0) throw InvalidColumn(column);
            if (c == t.Identity) throw Error(8102, 16, 1, "Cannot update identity column '" + t.Columns[c].Name + "'.");
            sql += (i ? ", " : "") + Quote(t.Columns[c].Name) + " = " + tr.Expression(*expr).Sql;
        }
        if (xStmt.Where) sql += " WHERE " + tr.Expression(*xStmt.Where).Sql;
        break;
    }
    case Statement::K::Delete:
    case Statement::K::Truncate: {
        curCmd = 0xC4;
        const TableInfo& t = tr.Table(xStmt.Table);
        tableName = t.Name;
        Scope scope;
        scope.Table = &t;
        tr.Cur = &scope;
        sql = "DELETE FROM " + Quote(t.Name);
        if (xStmt.Where) sql += " WHERE " + tr.Expression(*xStmt.Where).Sql;
        if (xStmt.Kind == Statement::K::Truncate) {
            counted = false;
            curCmd = 0;
            if (t.Identity >= 0) extra = "DELETE FROM sqlite_sequence WHERE name = " + Literal(t.Name);
        }
        break;
    }
    case Statement::K::DropTable: {
        counted = false;
        for (const std::string& name : xStmt.Names) {
            auto t = LoadTable(name);
            if (!t) {
                if (xStmt.IfExists) continue;
                throw Error(3701, 11, 5,
                            "Cannot drop the table '" + name +
                                "', because it does not exist or you do not have permission.");
            }
            sql += "DROP TABLE " + Quote(t->Name) + ";";
        }
        break;
    }
    case Statement::K::CreateIndex: {
        counted = false;
        const TableInfo& t = tr.Table(xStmt.Table);
        sql = std::string("CREATE ") + (xStmt.Unique ? "UNIQUE " : "") + "INDEX " + Quote(xStmt.Name) + " ON " +
              Quote(t.Name) + " (";
        for (size_t i = 0; i < xStmt.Columns.size(); ++i) {
            if (t.Find(xStmt.Columns[i]) < 0) throw InvalidColumn(xStmt.Columns[i]);
            sql += (i ? ", " : "") + Quote(xStmt.Columns[i]);
        }
        sql += ")";
        break;
    }
    default: break;
    }
    EnsureWriteTransaction();
    sqlite3* db = Db();
    int64_t changes = 0;
    if (!sql.empty()) {
        if (xStmt.Kind == Statement::K::DropTable) {
            Exec(sql);
        } else {
            sqlite3_stmt* raw = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK)
                throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), tableName, insert);
            StmtP st(raw);
            tr.BindAll(raw);
            int rc = sqlite3_step(raw);
            if (rc != SQLITE_DONE) throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), tableName, insert);
            changes = sqlite3_changes64(db);
            if (insert && hasIdentity && changes > 0) FLastIdentity = sqlite3_last_insert_rowid(db);
        }
    }
    if (!extra.empty()) Exec(extra);
    FRowCount = counted ? changes : 0;
    xSink.Done(curCmd, counted && !FNoCount, changes, false);
}

void Session::RunCreateTable(const Statement& xStmt, Sink& xSink) {
    const std::string& name = xStmt.Table.Name;
    if (!xStmt.Table.Database.empty() && !EqualsNoCase(xStmt.Table.Database, FDatabase))
        throw Error(102, 15, 1, "Incorrect syntax near '" + xStmt.Table.Database + "'.");
    if (LoadTable(name) || Lower(name).rfind("sqlite_", 0) == 0)
        throw Error(2714, 16, 6, "There is already an object named '" + name + "' in the database.");
    std::vector<std::string> pk = xStmt.PrimaryKey;
    int identity = -1;
    for (size_t i = 0; i < xStmt.Defs.size(); ++i) {
        const ColumnDef& d = xStmt.Defs[i];
        for (size_t k = 0; k < i; ++k)
            if (EqualsNoCase(xStmt.Defs[k].Name, d.Name))
                throw Error(2705, 16, 3,
                            "Column names in each table must be unique. Column name '" + d.Name + "' in table '" +
                                name + "' is specified more than once.");
        if (d.PrimaryKey) {
            if (!pk.empty()) throw Error(8110, 16, 0, "Cannot add multiple PRIMARY KEY constraints to table '" + name + "'.");
            pk = {d.Name};
        }
        if (d.Identity) {
            if (identity >= 0)
                throw Error(2744, 16, 2,
                            "Multiple identity columns specified for table '" + name +
                                "'. Only one identity column per table is allowed.");
            if (!d.Type.IsInteger() || d.Type.Id == TypeId::Bit)
                throw Error(2749, 16, 2,
                            "Identity column '" + d.Name +
                                "' must be of data type int, bigint, smallint, tinyint, or decimal or numeric with a "
                                "scale of 0, and constrained to be nonnullable.");
            identity = static_cast<int>(i);
        }
    }
    auto inPk = [&](const std::string& xColumn) {
        for (const auto& c : pk)
            if (EqualsNoCase(c, xColumn)) return true;
        return false;
    };
    static const Params kNone;
    Translator tr(*this, kNone);
    std::string ddl = "CREATE TABLE " + Quote(name) + " (";
    for (size_t i = 0; i < xStmt.Defs.size(); ++i) {
        const ColumnDef& d = xStmt.Defs[i];
        std::string q = Quote(d.Name);
        ddl += (i ? ", " : "") + q + " ";
        if (static_cast<int>(i) == identity) {
            // The identity column is SQLite's row id, which numbers new rows the same way.
            ddl += "INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL";
            continue;
        }
        ddl += DeclaredType(d.Type);
        if (d.Type.IsText()) ddl += " COLLATE NOCASE";
        if (d.NotNull || inPk(d.Name)) ddl += " NOT NULL";
        if (d.Default) ddl += " DEFAULT (" + tr.Expression(*d.Default).Sql + ")";
        if ((d.Type.IsText() || d.Type.IsBinary()) && d.Type.Length > 0)
            ddl += " CONSTRAINT " + Quote("len:" + d.Name) + " CHECK (length(" + q + ") <= " +
                   std::to_string(d.Type.Length) + ")";
        if (d.Type.IsBinary())
            ddl += " CONSTRAINT " + Quote("type:" + d.Name) + " CHECK (typeof(" + q + ") IN ('blob', 'null'))";
        if (d.Type.IsInteger())
            ddl += " CONSTRAINT " + Quote("type:" + d.Name) + " CHECK (typeof(" + q + ") IN ('integer', 'null'))";
        if (d.Type.Id == TypeId::Float || d.Type.Id == TypeId::Real || d.Type.Id == TypeId::Decimal)
            ddl += " CONSTRAINT " + Quote("type:" + d.Name) + " CHECK (typeof(" + q +
                   ") IN ('real', 'integer', 'null'))";
        const char* range = d.Type.Id == TypeId::Int        ? "-2147483648 AND 2147483647"
                            : d.Type.Id == TypeId::SmallInt ? "-32768 AND 32767"
                            : d.Type.Id == TypeId::TinyInt  ? "0 AND 255"
                                                            : nullptr;
        if (range) ddl += " CONSTRAINT " + Quote("range:" + d.Name) + " CHECK (" + q + " BETWEEN " + range + ")";
    }
    auto keyList = [&](const std::vector<std::string>& xColumns) {
        std::string out = " (";
        for (size_t i = 0; i < xColumns.size(); ++i) {
            bool found = false;
            for (const auto& d : xStmt.Defs) found = found || EqualsNoCase(d.Name, xColumns[i]);
            if (!found) throw InvalidColumn(xColumns[i]);
            out += (i ? ", " : "") + Quote(xColumns[i]);
        }
        return out + ")";
    };
    bool pkIsIdentity = identity >= 0 && pk.size() == 1 && EqualsNoCase(pk[0], xStmt.Defs[identity].Name);
    if (!pk.empty() && !pkIsIdentity) ddl += std::string(identity >= 0 ? ", UNIQUE" : ", PRIMARY KEY") + keyList(pk);
    for (const auto& u : xStmt.UniqueKeys) ddl += ", UNIQUE" + keyList(u);
    ddl += ")";
    EnsureWriteTransaction();
    sqlite3* db = Db();
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, ddl.c_str(), -1, &raw, nullptr) != SQLITE_OK)
        throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), name, false);
    StmtP st(raw);
    tr.BindAll(raw);
    if (sqlite3_step(raw) != SQLITE_DONE) throw Translate(sqlite3_extended_errcode(db), sqlite3_errmsg(db), name, false);
    if (identity >= 0 && xStmt.Defs[identity].IdentitySeed != 1)
        Exec("INSERT INTO sqlite_sequence (name, seq) VALUES (" + Literal(name) + ", " +
             std::to_string(xStmt.Defs[identity].IdentitySeed - 1) + ")");
    xSink.Done(0, false, 0, false);
}

void Session::RunSet(const Statement& xStmt, Sink& xSink) {
    std::vector<std::string> options{xStmt.Name};
    options.insert(options.end(), xStmt.Names.begin(), xStmt.Names.end());
    std::string value;
    for (const Token& t : xStmt.SetArgs) value += (value.empty() ? "" : " ") + t.Text;
    std::string upper = value;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    bool on = upper == "ON";
    for (const std::string& option : options) {
        // Options whose other setting would change answers are accepted only at SQL Server's default.
        static const std::set<std::string> kMustBeOn = {"ANSI_NULLS", "ANSI_WARNINGS", "CONCAT_NULL_YIELDS_NULL",
                                                        "QUOTED_IDENTIFIER", "ANSI_NULL_DFLT_ON"};
        static const std::set<std::string> kMustBeOff = {"IMPLICIT_TRANSACTIONS", "FMTONLY", "NOEXEC", "PARSEONLY",
                                                         "ANSI_NULL_DFLT_OFF"};
        static const std::set<std::string> kFree = {
            "ARITHABORT", "ARITHIGNORE", "ANSI_PADDING", "NUMERIC_ROUNDABORT", "CURSOR_CLOSE_ON_COMMIT",
            "DATEFORMAT", "DATEFIRST",   "LANGUAGE",     "DEADLOCK_PRIORITY",  "TEXTSIZE", "TRANSACTION",
            "ANSI_DEFAULTS", "CONTEXT_INFO", "QUERY_GOVERNOR_COST_LIMIT", "REMOTE_PROC_TRANSACTIONS"};
        if (option == "NOCOUNT") FNoCount = on;
        else if (option == "XACT_ABORT") FXactAbort = on;
        else if (option == "LOCK_TIMEOUT") {
            long long ms = std::atoll(value.c_str());
            FLockTimeoutMs = ms < 0 ? INT32_MAX : static_cast<int>(std::min<long long>(ms, INT32_MAX));
        } else if (option == "ROWCOUNT" && value == "0") {
        } else if (option == "IDENTITY_INSERT") {
            const std::string& table = xStmt.SetArgs[0].Text;
            auto info = LoadTable(table);
            if (!info) throw InvalidObject(table);
            if (info->Identity < 0)
                throw Error(8106, 16, 1,
                            "Table '" + info->Name + "' does not have the identity property. Cannot perform SET operation.");
            bool enable = EqualsNoCase(xStmt.SetArgs[1].Text, "ON");
            if (enable) FIdentityInsert = Lower(info->Name);
            else if (FIdentityInsert == Lower(info->Name)) FIdentityInsert.clear();
        } else if ((kMustBeOn.count(option) && on) || (kMustBeOff.count(option) && upper == "OFF") ||
                   kFree.count(option)) {
        } else {
            throw Error(102, 15, 1, "Incorrect syntax near '" + option + "'.");
        }
    }
    xSink.Done(0, false, 0, false);
}

}  // namespace standin::engine
