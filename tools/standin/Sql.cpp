#include "Sql.h"

#include <cctype>
#include <set>

#include "Text.h"

namespace standin::sql {

SqlError SyntaxError(const std::string& xNear) {
    return SqlError(102, 15, 1, "Incorrect syntax near '" + xNear + "'.");
}

// ---- tokenizer ----------------------------------------------------------------------------
namespace {

bool IdentStart(unsigned char c) { return std::isalpha(c) || c == '_' || c == '#' || c >= 0x80; }
bool IdentPart(unsigned char c) { return IdentStart(c) || std::isdigit(c) || c == '@' || c == '$'; }
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::vector<Token> Tokenize(const std::string& xSql) {
    std::vector<Token> out;
    size_t i = 0, n = xSql.size();
    int line = 1;
    auto at = [&](size_t k) -> char { return k < n ? xSql[k] : '\0'; };
    auto fail = [&](SqlError e) {
        e.Line = line;
        throw e;
    };
    while (i < n) {
        char c = xSql[i];
        if (c == '\n') {
            ++line;
            ++i;
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (c == '-' && at(i + 1) == '-') {
            while (i < n && xSql[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && at(i + 1) == '*') {
            // T-SQL block comments nest.
            int depth = 0;
            do {
                if (xSql[i] == '/' && at(i + 1) == '*') {
                    ++depth;
                    i += 2;
                } else if (xSql[i] == '*' && at(i + 1) == '/') {
                    --depth;
                    i += 2;
                } else {
                    if (xSql[i] == '\n') ++line;
                    ++i;
                }
            } while (depth > 0 && i < n);
            if (depth > 0) fail(SqlError(113, 15, 1, "Missing end comment mark '*/'."));
            continue;
        }
        Token t;
        t.Line = line;
        bool national = (c == 'N' || c == 'n') && at(i + 1) == '\'';
        if (c == '\'' || national) {
            if (national) ++i;
            ++i;
            std::string value;
            bool closed = false;
            while (i < n) {
                if (xSql[i] == '\'') {
                    if (at(i + 1) == '\'') {
                        value += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                if (xSql[i] == '\n') ++line;
                value += xSql[i++];
            }
            if (!closed)
                fail(SqlError(105, 15, 1, "Unclosed quotation mark after the character string '" + value + "'."));
            t.Kind = national ? Tk::NString : Tk::String;
            t.Text = std::move(value);
        } else if (c == '[' || c == '"') {
            char close = c == '[' ? ']' : '"';
            ++i;
            std::string value;
            bool closed = false;
            while (i < n) {
                if (xSql[i] == close) {
                    if (at(i + 1) == close) {
                        value += close;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += xSql[i++];
            }
            if (!closed)
                fail(SqlError(105, 15, 1, "Unclosed quotation mark after the character string '" + value + "'."));
            t.Kind = Tk::QIdent;
            t.Text = std::move(value);
        } else if (c == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X')) {
            i += 2;
            std::string hex;
            while (i < n && HexValue(xSql[i]) >= 0) hex += xSql[i++];
            if (hex.size() % 2) hex.insert(hex.begin(), '0');
            t.Kind = Tk::Binary;
            for (size_t k = 0; k < hex.size(); k += 2)
                t.Text += static_cast<char>(HexValue(hex[k]) * 16 + HexValue(hex[k + 1]));
        } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                   (c == '.' && std::isdigit(static_cast<unsigned char>(at(i + 1))))) {
            size_t start = i;
            while (i < n && std::isdigit(static_cast<unsigned char>(xSql[i]))) ++i;
            if (at(i) == '.') {
                ++i;
                while (i < n && std::isdigit(static_cast<unsigned char>(xSql[i]))) ++i;
            }
            if (at(i) == 'e' || at(i) == 'E') {
                size_t k = i + 1;
                if (at(k) == '+' || at(k) == '-') ++k;
                if (std::isdigit(static_cast<unsigned char>(at(k)))) {
                    i = k;
                    while (i < n && std::isdigit(static_cast<unsigned char>(xSql[i]))) ++i;
                }
            }
            t.Kind = Tk::Number;
            t.Text = xSql.substr(start, i - start);
        } else if (c == '@') {
            bool global = at(i + 1) == '@';
            i += global ? 2 : 1;
            size_t start = i;
            while (i < n && IdentPart(static_cast<unsigned char>(xSql[i]))) ++i;
            if (i == start) fail(SyntaxError("@"));
            t.Kind = global ? Tk::GlobalVar : Tk::Var;
            t.Text = xSql.substr(start, i - start);
        } else if (IdentStart(static_cast<unsigned char>(c))) {
            size_t start = i;
            while (i < n && IdentPart(static_cast<unsigned char>(xSql[i]))) ++i;
            t.Kind = Tk::Ident;
            t.Text = xSql.substr(start, i - start);
        } else {
            static const char* kTwo[] = {"<=", ">=", "<>", "!=", "!<", "!>"};
            t.Kind = Tk::Op;
            for (const char* two : kTwo)
                if (c == two[0] && at(i + 1) == two[1]) t.Text = two;
            if (t.Text.empty()) {
                if (std::string("(),.;=<>+-*/%&|^~").find(c) == std::string::npos)
                    fail(SyntaxError(std::string(1, c)));
                t.Text = std::string(1, c);
            }
            i += t.Text.size();
        }
        out.push_back(std::move(t));
    }
    Token end;
    end.Line = line;
    out.push_back(end);
    return out;
}

// ---- types --------------------------------------------------------------------------------
bool SqlType::IsText() const {
    return Id == TypeId::VarChar || Id == TypeId::NVarChar || Id == TypeId::Char || Id == TypeId::NChar;
}
bool SqlType::IsBinary() const { return Id == TypeId::VarBinary || Id == TypeId::Binary; }
bool SqlType::IsInteger() const {
    return Id == TypeId::Int || Id == TypeId::BigInt || Id == TypeId::SmallInt || Id == TypeId::TinyInt ||
           Id == TypeId::Bit;
}
std::string SqlType::Name() const {
    static const char* kNames[] = {"int",     "bigint",   "smallint", "tinyint", "bit",       "float",  "real",
                                   "varchar", "nvarchar", "char",     "nchar",   "varbinary", "binary", "decimal"};
    std::string name = kNames[static_cast<int>(Id)];
    if (Id == TypeId::Decimal) return name + "(" + std::to_string(Length) + "," + std::to_string(Scale) + ")";
    if (IsText() || IsBinary()) name += "(" + (Length < 0 ? std::string("max") : std::to_string(Length)) + ")";
    return name;
}

// ---- parser -------------------------------------------------------------------------------
namespace {

const std::set<std::string> kReserved = {
    "ADD",      "ALL",      "ALTER",    "AND",       "AS",       "ASC",      "BEGIN",     "BETWEEN",
    "BY",       "CASE",     "CHECK",    "COLLATE",   "COMMIT",   "CONSTRAINT", "CREATE",  "CROSS",
    "DECLARE",  "DEFAULT",  "DELETE",   "DESC",      "DISTINCT", "DROP",     "ELSE",      "END",
    "EXCEPT",   "EXEC",     "EXECUTE",  "EXISTS",    "FOREIGN",  "FROM",     "FULL",      "GO",
    "GROUP",    "HAVING",   "IDENTITY", "IF",        "IN",       "INNER",    "INSERT",    "INTERSECT",
    "INTO",     "IS",       "JOIN",     "KEY",       "LEFT",     "LIKE",     "NOT",       "NULL",
    "ON",       "OPTION",   "OR",       "ORDER",     "OUTER",    "PRIMARY",  "PRINT",     "REFERENCES",
    "RETURN",   "RIGHT",    "ROLLBACK", "SAVE",      "SELECT",   "SET",      "TABLE",     "THEN",
    "TOP",      "TRAN",     "TRANSACTION", "TRUNCATE", "UNION",  "UNIQUE",   "UPDATE",    "USE",
    "VALUES",   "WHEN",     "WHERE",    "WHILE",     "WITH",
};

std::string Upper(const std::string& xText) {
    std::string out = xText;
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

class Parser {
public:
    explicit Parser(std::vector<Token> xTokens) : FT(std::move(xTokens)) {}

    std::vector<StatementP> Batch() {
        std::vector<StatementP> out;
        for (;;) {
            while (IsOp(";")) Next();
            if (Peek().Kind == Tk::End) break;
            out.push_back(Stmt());
        }
        return out;
    }

    std::vector<Token> FT;
    size_t FPos = 0;

private:
    const Token& Peek(size_t xAhead = 0) const {
        size_t k = FPos + xAhead;
        return k < FT.size() ? FT[k] : FT.back();
    }
    const Token& Next() {
        const Token& t = Peek();
        if (FPos < FT.size() - 1) ++FPos;
        return t;
    }
    bool IsOp(const char* xOp, size_t xAhead = 0) const {
        return Peek(xAhead).Kind == Tk::Op && Peek(xAhead).Text == xOp;
    }
    bool IsKw(const char* xWord, size_t xAhead = 0) const {
        return Peek(xAhead).Kind == Tk::Ident && EqualsNoCase(Peek(xAhead).Text, xWord);
    }
    bool AcceptKw(const char* xWord) {
        if (!IsKw(xWord)) return false;
        Next();
        return true;
    }
    bool AcceptOp(const char* xOp) {
        if (!IsOp(xOp)) return false;
        Next();
        return true;
    }
    [[noreturn]] void Fail() const {
        const Token& t = Peek();
        std::string near = t.Text;
        if (t.Kind == Tk::End) near = FPos > 0 ? FT[FPos - 1].Text : "";
        SqlError e = SyntaxError(near);
        e.Line = t.Line;
        throw e;
    }
    void ExpectKw(const char* xWord) {
        if (!AcceptKw(xWord)) Fail();
    }
    void ExpectOp(const char* xOp) {
        if (!AcceptOp(xOp)) Fail();
    }
    bool IsReserved(const Token& xToken) const {
        return xToken.Kind == Tk::Ident && kReserved.count(Upper(xToken.Text));
    }
    bool IsName(size_t xAhead = 0) const {
        const Token& t = Peek(xAhead);
        return t.Kind == Tk::QIdent || (t.Kind == Tk::Ident && !IsReserved(t));
    }
    std::string Name() {
        if (!IsName()) Fail();
        return Next().Text;
    }
    // a[.b[.c]]: the object name is the last part; a three-part name also names the database.
    TableRef QualifiedName() {
        std::vector<std::string> parts{Name()};
        while (IsOp(".")) {
            Next();
            if (IsOp(".")) {  // db..table
                parts.push_back("");
                continue;
            }
            parts.push_back(Name());
        }
        if (parts.size() > 3) Fail();
        TableRef r;
        r.Name = parts.back();
        if (parts.size() == 3) r.Database = parts[0];
        return r;
    }
    void TableHints() {
        // WITH (NOLOCK, ...) and the old form without WITH: locking hints mean nothing here.
        if (IsKw("WITH") && IsOp("(", 1)) Next();
        else if (!(IsOp("(") && Peek(1).Kind == Tk::Ident)) return;
        ExpectOp("(");
        do {
            if (Peek().Kind != Tk::Ident) Fail();
            Next();
        } while (AcceptOp(","));
        ExpectOp(")");
    }

    int Number() {
        bool neg = AcceptOp("-");
        if (Peek().Kind != Tk::Number) Fail();
        long long v = std::stoll(Next().Text);
        return static_cast<int>(neg ? -v : v);
    }

    SqlType Type() {
        if (Peek().Kind != Tk::Ident && Peek().Kind != Tk::QIdent) Fail();
        Token t = Peek();
        std::string name = Upper(t.Text);
        SqlType ts;
        bool sized = false;
        int defaultLength = 1;
        if (name == "INT" || name == "INTEGER") ts.Id = TypeId::Int;
        else if (name == "BIGINT") ts.Id = TypeId::BigInt;
        else if (name == "SMALLINT") ts.Id = TypeId::SmallInt;
        else if (name == "TINYINT") ts.Id = TypeId::TinyInt;
        else if (name == "BIT") ts.Id = TypeId::Bit;
        else if (name == "FLOAT") ts.Id = TypeId::Float;
        else if (name == "REAL") ts.Id = TypeId::Real;
        else if (name == "VARCHAR") ts.Id = TypeId::VarChar, sized = true;
        else if (name == "NVARCHAR") ts.Id = TypeId::NVarChar, sized = true;
        else if (name == "CHAR") ts.Id = TypeId::Char, sized = true;
        else if (name == "NCHAR") ts.Id = TypeId::NChar, sized = true;
        else if (name == "VARBINARY") ts.Id = TypeId::VarBinary, sized = true;
        else if (name == "BINARY") ts.Id = TypeId::Binary, sized = true;
        else if (name == "TEXT") ts = {TypeId::VarChar, -1};
        else if (name == "NTEXT") ts = {TypeId::NVarChar, -1};
        else if (name == "IMAGE") ts = {TypeId::VarBinary, -1};
        else if (name == "SYSNAME") ts = {TypeId::NVarChar, 128};
        else if (name == "DECIMAL" || name == "NUMERIC" || name == "DEC") ts = {TypeId::Decimal, 18};
        else Fail();
        Next();
        if (ts.Id == TypeId::Decimal && AcceptOp("(")) {
            ts.Length = Number();
            if (AcceptOp(",")) ts.Scale = Number();
            ExpectOp(")");
            if (ts.Length < 1 || ts.Length > 38 || ts.Scale < 0 || ts.Scale > ts.Length) {
                SqlError e(2750, 16, 1, "Column or parameter #1: Specified column precision " +
                                            std::to_string(ts.Length) + " is greater than the maximum precision of 38.");
                e.Line = t.Line;
                throw e;
            }
        }
        if (sized) {
            ts.Length = defaultLength;
            if (AcceptOp("(")) {
                if (AcceptKw("MAX")) {
                    if (ts.Id == TypeId::Char || ts.Id == TypeId::NChar || ts.Id == TypeId::Binary) Fail();
                    ts.Length = -1;
                } else {
                    ts.Length = Number();
                    int limit = (ts.Id == TypeId::NVarChar || ts.Id == TypeId::NChar) ? 4000 : 8000;
                    if (ts.Length < 1 || ts.Length > limit) {
                        SqlError e(131, 15, 2,
                                   "The size (" + std::to_string(ts.Length) + ") given to the type '" +
                                       Lower(name) + "' exceeds the maximum allowed for any data type (" +
                                       std::to_string(limit) + ").");
                        e.Line = t.Line;
                        throw e;
                    }
                }
                ExpectOp(")");
            }
        } else if (ts.Id == TypeId::Float && AcceptOp("(")) {
            Number();
            ExpectOp(")");
        }
        return ts;
    }

    // ---- expressions ----
    ExprP Make(Expr::K xKind, std::string xText = {}) {
        auto e = std::make_unique<Expr>();
        e->Kind = xKind;
        e->Text = std::move(xText);
        return e;
    }
    ExprP Binary(std::string xOp, ExprP xA, ExprP xB) {
        auto e = Make(Expr::K::BinaryOp, std::move(xOp));
        e->Args.push_back(std::move(xA));
        e->Args.push_back(std::move(xB));
        return e;
    }

public:
    ExprP Expression() { return Or(); }

private:
    ExprP Or() {
        ExprP a = And();
        while (AcceptKw("OR")) a = Binary("OR", std::move(a), And());
        return a;
    }
    ExprP And() {
        ExprP a = NotExpr();
        while (AcceptKw("AND")) a = Binary("AND", std::move(a), NotExpr());
        return a;
    }
    ExprP NotExpr() {
        if (AcceptKw("NOT")) {
            auto e = Make(Expr::K::Unary, "NOT");
            e->Args.push_back(NotExpr());
            return e;
        }
        return Predicate();
    }
    ExprP Predicate() {
        if (IsKw("EXISTS")) {
            Next();
            ExpectOp("(");
            auto e = Make(Expr::K::Exists);
            e->Sub = SelectBody();
            ExpectOp(")");
            return e;
        }
        ExprP a = Additive();
        static const char* kCompare[] = {"=", "<>", "!=", "<", ">", "<=", ">=", "!<", "!>"};
        for (const char* op : kCompare)
            if (IsOp(op)) {
                Next();
                std::string sym = op;
                if (sym == "!=") sym = "<>";
                if (sym == "!<") sym = ">=";
                if (sym == "!>") sym = "<=";
                return Binary(sym, std::move(a), Additive());
            }
        if (AcceptKw("IS")) {
            auto e = Make(Expr::K::IsNull);
            e->Not = AcceptKw("NOT");
            ExpectKw("NULL");
            e->Args.push_back(std::move(a));
            return e;
        }
        bool negated = false;
        if (IsKw("NOT") && (IsKw("LIKE", 1) || IsKw("IN", 1) || IsKw("BETWEEN", 1))) {
            Next();
            negated = true;
        }
        if (AcceptKw("LIKE")) {
            auto e = Make(Expr::K::Like);
            e->Not = negated;
            e->Args.push_back(std::move(a));
            e->Args.push_back(Additive());
            if (AcceptKw("ESCAPE")) e->Args.push_back(Additive());
            return e;
        }
        if (AcceptKw("IN")) {
            auto e = Make(Expr::K::In);
            e->Not = negated;
            e->Args.push_back(std::move(a));
            ExpectOp("(");
            if (IsKw("SELECT")) {
                e->Sub = SelectBody();
            } else {
                do e->Args.push_back(Expression());
                while (AcceptOp(","));
            }
            ExpectOp(")");
            return e;
        }
        if (AcceptKw("BETWEEN")) {
            auto e = Make(Expr::K::Between);
            e->Not = negated;
            e->Args.push_back(std::move(a));
            e->Args.push_back(Additive());
            ExpectKw("AND");
            e->Args.push_back(Additive());
            return e;
        }
        if (negated) Fail();
        return a;
    }
    ExprP Additive() {
        ExprP a = Multiplicative();
        for (;;) {
            if (IsOp("+") || IsOp("-") || IsOp("&") || IsOp("|") || IsOp("^")) {
                std::string op = Next().Text;
                a = Binary(op, std::move(a), Multiplicative());
            } else {
                return a;
            }
        }
    }
    ExprP Multiplicative() {
        ExprP a = UnaryExpr();
        while (IsOp("*") || IsOp("/") || IsOp("%")) {
            std::string op = Next().Text;
            a = Binary(op, std::move(a), UnaryExpr());
        }
        return a;
    }
    ExprP UnaryExpr() {
        if (IsOp("-") || IsOp("+") || IsOp("~")) {
            std::string op = Next().Text;
            if (op == "-" && Peek().Kind == Tk::Number) {
                ExprP lit = Primary();
                lit->Text = "-" + lit->Text;
                return lit;
            }
            auto e = Make(Expr::K::Unary, op);
            e->Args.push_back(UnaryExpr());
            return e;
        }
        return Primary();
    }
    ExprP Primary() {
        const Token& t = Peek();
        switch (t.Kind) {
        case Tk::Number: {
            std::string text = Next().Text;
            bool integer = text.find_first_of(".eE") == std::string::npos && text.size() <= 18;
            return Make(integer ? Expr::K::Int : Expr::K::Float, text);
        }
        case Tk::String: return Make(Expr::K::String, Next().Text);
        case Tk::NString: return Make(Expr::K::NString, Next().Text);
        case Tk::Binary: return Make(Expr::K::Binary, Next().Text);
        case Tk::Var: return Make(Expr::K::Var, Next().Text);
        case Tk::GlobalVar: return Make(Expr::K::Global, Upper(Next().Text));
        case Tk::Op:
            if (t.Text == "(") {
                Next();
                ExprP e;
                if (IsKw("SELECT")) {
                    e = Make(Expr::K::Subquery);
                    e->Sub = SelectBody();
                } else {
                    e = Expression();
                }
                ExpectOp(")");
                return e;
            }
            Fail();
        case Tk::End: Fail();
        case Tk::Ident:
        case Tk::QIdent: break;
        }
        if (t.Kind == Tk::Ident) {
            std::string word = Upper(t.Text);
            if (word == "NULL") {
                Next();
                return Make(Expr::K::Null);
            }
            if (word == "CASE") return CaseExpr();
            if ((word == "CAST" || word == "CONVERT") && IsOp("(", 1)) {
                Next();
                Next();
                auto e = Make(Expr::K::Cast);
                if (word == "CAST") {
                    e->Args.push_back(Expression());
                    ExpectKw("AS");
                    e->Type = Type();
                } else {
                    e->Type = Type();
                    ExpectOp(",");
                    e->Args.push_back(Expression());
                    if (AcceptOp(",")) Expression();  // style: meaningless for the types here
                }
                ExpectOp(")");
                return e;
            }
            bool functionWord = word == "LEFT" || word == "RIGHT";
            if (IsOp("(", 1) && (!IsReserved(t) || functionWord)) {
                Next();
                Next();
                auto e = Make(Expr::K::Func, word);
                if (AcceptOp("*")) {
                    e->Star = true;
                } else if (!IsOp(")")) {
                    e->Distinct = AcceptKw("DISTINCT");
                    do e->Args.push_back(Expression());
                    while (AcceptOp(","));
                }
                ExpectOp(")");
                return e;
            }
            if (IsReserved(t)) Fail();
        }
        std::vector<std::string> parts{Next().Text};
        while (IsOp(".") && (Peek(1).Kind == Tk::Ident || Peek(1).Kind == Tk::QIdent)) {
            Next();
            parts.push_back(Next().Text);
        }
        auto e = Make(Expr::K::Column, parts.back());
        if (parts.size() >= 2) e->Qualifier = parts[parts.size() - 2];
        return e;
    }
    ExprP CaseExpr() {
        Next();
        auto e = Make(Expr::K::Case);
        if (!IsKw("WHEN")) {
            e->HasCaseOperand = true;
            e->Args.push_back(Expression());
        }
        if (!IsKw("WHEN")) Fail();
        while (AcceptKw("WHEN")) {
            e->Args.push_back(Expression());
            ExpectKw("THEN");
            e->Args.push_back(Expression());
        }
        if (AcceptKw("ELSE")) {
            e->HasElse = true;
            e->Args.push_back(Expression());
        }
        ExpectKw("END");
        return e;
    }

    // ---- statements ----
public:
    std::unique_ptr<Select> SelectBody() {
        ExpectKw("SELECT");
        auto s = std::make_unique<Select>();
        if (AcceptKw("DISTINCT")) s->Distinct = true;
        else AcceptKw("ALL");
        if (AcceptKw("TOP")) {
            if (AcceptOp("(")) {
                s->Top = Expression();
                ExpectOp(")");
            } else {
                if (Peek().Kind != Tk::Number) Fail();
                s->Top = Make(Expr::K::Int, Next().Text);
            }
            if (IsKw("PERCENT") || IsKw("WITH")) Fail();
        }
        do s->Items.push_back(Item());
        while (AcceptOp(","));
        if (IsKw("INTO")) Fail();
        if (AcceptKw("FROM")) {
            s->From = QualifiedName();
            if (AcceptKw("AS")) s->From->Alias = Name();
            else if (IsName()) s->From->Alias = Next().Text;
            TableHints();
        }
        if (AcceptKw("WHERE")) s->Where = Expression();
        if (IsKw("GROUP")) {
            Next();
            ExpectKw("BY");
            do s->GroupBy.push_back(Expression());
            while (AcceptOp(","));
        }
        if (AcceptKw("HAVING")) s->Having = Expression();
        if (IsKw("ORDER")) {
            Next();
            ExpectKw("BY");
            do {
                OrderItem o;
                o.E = Expression();
                if (AcceptKw("DESC")) o.Desc = true;
                else AcceptKw("ASC");
                s->OrderBy.push_back(std::move(o));
            } while (AcceptOp(","));
        }
        return s;
    }

private:
    SelectItem Item() {
        SelectItem item;
        if (AcceptOp("*")) return item;
        if (IsName() && IsOp(".", 1) && IsOp("*", 2)) {
            item.StarOf = Next().Text;
            Next();
            Next();
            return item;
        }
        if ((IsName() || Peek().Kind == Tk::String) && IsOp("=", 1)) {  // alias = expression
            item.Alias = Next().Text;
            item.HasAlias = true;
            Next();
            item.E = Expression();
            return item;
        }
        item.E = Expression();
        if (AcceptKw("AS")) {
            if (!IsName() && Peek().Kind != Tk::String) Fail();
            item.Alias = Next().Text;
            item.HasAlias = true;
        } else if (IsName() || Peek().Kind == Tk::String) {
            item.Alias = Next().Text;
            item.HasAlias = true;
        }
        return item;
    }

    StatementP New(Statement::K xKind) {
        auto s = std::make_unique<sql::Statement>();
        s->Kind = xKind;
        s->Line = Peek().Line;
        return s;
    }

public:
    StatementP Stmt() {
        const Token& t = Peek();
        if (t.Kind != Tk::Ident) Fail();
        std::string word = Upper(t.Text);
        if (word == "SELECT") {
            auto s = New(Statement::K::Select);
            s->Query = SelectBody();
            return s;
        }
        if (word == "INSERT") return Insert();
        if (word == "UPDATE") return Update();
        if (word == "DELETE") return Delete();
        if (word == "CREATE") return Create();
        if (word == "DROP") return Drop();
        if (word == "TRUNCATE") {
            auto s = New(Statement::K::Truncate);
            Next();
            ExpectKw("TABLE");
            s->Table = QualifiedName();
            return s;
        }
        if (word == "BEGIN") {
            if (IsKw("TRAN", 1) || IsKw("TRANSACTION", 1)) {
                auto s = New(Statement::K::BeginTran);
                Next();
                Next();
                if (IsName()) Next();
                return s;
            }
            auto s = New(Statement::K::Block);
            Next();
            while (!IsKw("END")) {
                if (AcceptOp(";")) continue;
                if (Peek().Kind == Tk::End) Fail();
                s->Body.push_back(Stmt());
            }
            Next();
            return s;
        }
        if (word == "COMMIT" || word == "ROLLBACK") {
            auto s = New(word == "COMMIT" ? Statement::K::Commit : Statement::K::Rollback);
            Next();
            if (AcceptKw("TRAN") || AcceptKw("TRANSACTION")) {
                if (IsName()) Next();
            } else {
                AcceptKw("WORK");
            }
            return s;
        }
        if (word == "SET") return Set();
        if (word == "USE") {
            auto s = New(Statement::K::Use);
            Next();
            s->Name = Name();
            return s;
        }
        if (word == "IF") {
            auto s = New(Statement::K::If);
            Next();
            s->Condition = Expression();
            s->Body.push_back(Stmt());
            while (AcceptOp(";")) {
            }
            if (AcceptKw("ELSE")) s->Else.push_back(Stmt());
            return s;
        }
        Fail();
    }

private:
    StatementP Insert() {
        auto s = New(Statement::K::Insert);
        Next();
        AcceptKw("INTO");
        s->Table = QualifiedName();
        if (IsOp("(") && !IsKw("SELECT", 1)) {
            Next();
            do s->Columns.push_back(Name());
            while (AcceptOp(","));
            ExpectOp(")");
        }
        if (AcceptKw("VALUES")) {
            do {
                ExpectOp("(");
                std::vector<ExprP> row;
                do {
                    if (IsKw("DEFAULT")) Fail();
                    row.push_back(Expression());
                } while (AcceptOp(","));
                ExpectOp(")");
                s->Rows.push_back(std::move(row));
            } while (AcceptOp(","));
        } else if (IsKw("SELECT")) {
            s->Query = SelectBody();
        } else if (IsKw("DEFAULT") && IsKw("VALUES", 1)) {
            Next();
            Next();
            s->DefaultValues = true;
        } else {
            Fail();
        }
        return s;
    }
    StatementP Update() {
        auto s = New(Statement::K::Update);
        Next();
        s->Table = QualifiedName();
        TableHints();
        ExpectKw("SET");
        do {
            std::string column = Name();
            while (AcceptOp(".")) column = Name();  // t.column
            ExpectOp("=");
            s->Assignments.emplace_back(column, Expression());
        } while (AcceptOp(","));
        if (IsKw("FROM")) Fail();
        if (AcceptKw("WHERE")) s->Where = Expression();
        return s;
    }
    StatementP Delete() {
        auto s = New(Statement::K::Delete);
        Next();
        AcceptKw("FROM");
        s->Table = QualifiedName();
        TableHints();
        if (IsKw("FROM")) Fail();
        if (AcceptKw("WHERE")) s->Where = Expression();
        return s;
    }
    std::vector<std::string> KeyColumns() {
        std::vector<std::string> cols;
        ExpectOp("(");
        do {
            cols.push_back(Name());
            if (!AcceptKw("ASC")) AcceptKw("DESC");
        } while (AcceptOp(","));
        ExpectOp(")");
        return cols;
    }
    StatementP Create() {
        auto start = Peek().Line;
        Next();
        bool unique = AcceptKw("UNIQUE");
        if (!AcceptKw("CLUSTERED")) AcceptKw("NONCLUSTERED");
        if (AcceptKw("INDEX")) {
            auto s = New(Statement::K::CreateIndex);
            s->Line = start;
            s->Unique = unique;
            s->Name = Name();
            ExpectKw("ON");
            s->Table = QualifiedName();
            s->Columns = KeyColumns();
            return s;
        }
        if (unique) Fail();
        auto s = New(Statement::K::CreateTable);
        s->Line = start;
        ExpectKw("TABLE");
        s->Table = QualifiedName();
        ExpectOp("(");
        do {
            if (AcceptKw("CONSTRAINT")) Name();
            if (IsKw("PRIMARY")) {
                Next();
                ExpectKw("KEY");
                if (!AcceptKw("CLUSTERED")) AcceptKw("NONCLUSTERED");
                if (!s->PrimaryKey.empty()) Fail();
                s->PrimaryKey = KeyColumns();
                continue;
            }
            if (AcceptKw("UNIQUE")) {
                if (!AcceptKw("CLUSTERED")) AcceptKw("NONCLUSTERED");
                s->UniqueKeys.push_back(KeyColumns());
                continue;
            }
            s->Defs.push_back(Column());
        } while (AcceptOp(","));
        ExpectOp(")");
        for (const char* where : {"ON", "TEXTIMAGE_ON"})
            if (AcceptKw(where)) {
                if (!IsName() && !IsKw("PRIMARY")) Fail();
                Next();
            }
        return s;
    }
    ColumnDef Column() {
        ColumnDef d;
        d.Name = Name();
        d.Type = Type();
        for (;;) {
            if (AcceptKw("IDENTITY")) {
                d.Identity = true;
                if (AcceptOp("(")) {
                    d.IdentitySeed = Number();
                    ExpectOp(",");
                    if (Peek().Text != "1") Fail();  // only steps of one
                    Next();
                    ExpectOp(")");
                }
            } else if (AcceptKw("NULL")) {
                d.NotNull = false;
            } else if (IsKw("NOT") && IsKw("NULL", 1)) {
                Next();
                Next();
                d.NotNull = true;
            } else if (IsKw("CONSTRAINT")) {
                Next();
                Name();
            } else if (AcceptKw("DEFAULT")) {
                d.Default = UnaryExpr();
            } else if (AcceptKw("PRIMARY")) {
                ExpectKw("KEY");
                if (!AcceptKw("CLUSTERED")) AcceptKw("NONCLUSTERED");
                d.PrimaryKey = true;
            } else if (AcceptKw("UNIQUE")) {
                if (!AcceptKw("CLUSTERED")) AcceptKw("NONCLUSTERED");
                d.Unique = true;
            } else {
                return d;
            }
        }
    }
    StatementP Drop() {
        auto s = New(Statement::K::DropTable);
        Next();
        ExpectKw("TABLE");
        if (IsKw("IF") && IsKw("EXISTS", 1)) {
            Next();
            Next();
            s->IfExists = true;
        }
        do s->Names.push_back(QualifiedName().Name);
        while (AcceptOp(","));
        return s;
    }
    StatementP Set() {
        auto s = New(Statement::K::Set);
        Next();
        if (Peek().Kind != Tk::Ident) Fail();
        s->Name = Upper(Next().Text);
        if (s->Name == "TRANSACTION") {
            ExpectKw("ISOLATION");
            ExpectKw("LEVEL");
            while (Peek().Kind == Tk::Ident &&
                   (IsKw("READ") || IsKw("COMMITTED") || IsKw("UNCOMMITTED") || IsKw("REPEATABLE") ||
                    IsKw("SNAPSHOT") || IsKw("SERIALIZABLE")))
                s->SetArgs.push_back(Next());
            if (s->SetArgs.empty()) Fail();
            return s;
        }
        if (s->Name == "IDENTITY_INSERT") {
            TableRef t = QualifiedName();
            Token name;
            name.Kind = Tk::QIdent;
            name.Text = t.Name;
            s->SetArgs.push_back(name);
            if (!IsKw("ON") && !IsKw("OFF")) Fail();
            s->SetArgs.push_back(Next());
            return s;
        }
        // SET A, B ON: several options share one value.
        while (AcceptOp(",")) {
            if (Peek().Kind != Tk::Ident) Fail();
            s->Names.push_back(Upper(Next().Text));
        }
        if (IsOp("-")) s->SetArgs.push_back(Next());
        const Token& v = Peek();
        if (v.Kind == Tk::Ident || v.Kind == Tk::Number || v.Kind == Tk::String || v.Kind == Tk::NString ||
            v.Kind == Tk::QIdent)
            s->SetArgs.push_back(Next());
        else
            Fail();
        return s;
    }
};

}  // namespace

std::vector<StatementP> Parse(const std::string& xSql) {
    Parser p(Tokenize(xSql));
    return p.Batch();
}

std::vector<std::string> ParamDefinitionNames(const std::string& xDefinition) {
    std::vector<std::string> names;
    std::vector<Token> tokens = Tokenize(xDefinition);
    int depth = 0;
    bool atStart = true;
    for (const Token& t : tokens) {
        if (t.Kind == Tk::Op && t.Text == "(") ++depth;
        if (t.Kind == Tk::Op && t.Text == ")") --depth;
        if (t.Kind == Tk::Var && atStart && depth == 0) names.push_back(t.Text);
        atStart = depth == 0 && t.Kind == Tk::Op && t.Text == ",";
    }
    return names;
}

}  // namespace standin::sql
