#pragma once
// The T-SQL that the stand-in understands: a tokenizer and a parser into a small syntax tree.
// Anything outside this subset is refused with error 102 naming the token where it stops.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace standin::sql {

// An error as SQL Server reports it. AbortBatch: the rest of the batch does not run.
struct SqlError : std::runtime_error {
    SqlError(int xNumber, int xClass, int xState, const std::string& xMessage, bool xAbortBatch = false)
        : std::runtime_error(xMessage), Number(xNumber), Class(xClass), State(xState), AbortBatch(xAbortBatch) {}
    int Number;
    int Class;
    int State;
    bool AbortBatch;
    int Line = 1;
};

SqlError SyntaxError(const std::string& xNear);

enum class Tk { End, Ident, QIdent, String, NString, Binary, Number, Var, GlobalVar, Op };

struct Token {
    Tk Kind = Tk::End;
    std::string Text;  // identifier or literal value (unquoted); Binary: raw bytes; Op: the symbol
    int Line = 1;
};

std::vector<Token> Tokenize(const std::string& xSql);

// ---- types --------------------------------------------------------------------------------
enum class TypeId { Int, BigInt, SmallInt, TinyInt, Bit, Float, Real, VarChar, NVarChar, Char, NChar, VarBinary, Binary, Decimal };

struct SqlType {
    TypeId Id = TypeId::Int;
    int Length = 0;  // characters or bytes for the sized types; -1 is MAX; Decimal: precision
    int Scale = 0;   // Decimal only
    bool IsText() const;
    bool IsBinary() const;
    bool IsInteger() const;
    std::string Name() const;  // as T-SQL writes it, e.g. "varchar(20)"
};

// ---- expressions --------------------------------------------------------------------------
struct Select;

struct Expr {
    enum class K {
        Null, Int, Float, String, NString, Binary,  // literals (Text holds the value)
        Column,                                     // Qualifier.Text
        Var, Global,                                // @name, @@name (Text without the @)
        Unary, BinaryOp,                            // Text: operator
        IsNull, Like, In, Between,                  // Not: negated
        Func,                                       // Text: upper-case name; Star: COUNT(*)
        Case, Cast, Exists, Subquery,
    };
    K Kind = K::Null;
    std::string Text;
    std::string Qualifier;
    bool Not = false;
    bool Star = false;
    bool Distinct = false;
    std::vector<std::unique_ptr<Expr>> Args;  // operands; Case: [operand?] when/then pairs [else]
    bool HasCaseOperand = false;
    bool HasElse = false;
    std::unique_ptr<Select> Sub;  // Exists, Subquery, In (SELECT ...)
    SqlType Type;                // Cast
};
using ExprP = std::unique_ptr<Expr>;

// ---- statements ---------------------------------------------------------------------------
struct TableRef {
    std::string Name;
    std::string Alias;
    std::string Database;  // of a three-part name
};

struct SelectItem {
    ExprP E;          // null for *
    std::string StarOf;  // qualifier of t.*
    std::string Alias;
    bool HasAlias = false;
};

struct OrderItem {
    ExprP E;
    bool Desc = false;
};

struct Select {
    bool Distinct = false;
    ExprP Top;
    std::vector<SelectItem> Items;
    std::optional<TableRef> From;
    ExprP Where;
    std::vector<ExprP> GroupBy;
    ExprP Having;
    std::vector<OrderItem> OrderBy;
};

struct ColumnDef {
    std::string Name;
    SqlType Type;
    bool NotNull = false;
    bool Identity = false;
    long long IdentitySeed = 1;
    bool PrimaryKey = false;
    bool Unique = false;
    ExprP Default;
};

struct Statement {
    enum class K {
        Select, Insert, Update, Delete, CreateTable, CreateIndex, DropTable, Truncate,
        BeginTran, Commit, Rollback, Set, Use, If, Block,
    };
    K Kind = K::Select;
    int Line = 1;

    std::unique_ptr<Select> Query;  // Select; Insert ... SELECT
    TableRef Table;                 // Insert, Update, Delete, CreateTable, Truncate, CreateIndex
    std::vector<std::string> Columns;  // Insert column list; CreateIndex columns
    std::vector<std::vector<ExprP>> Rows;  // Insert VALUES
    bool DefaultValues = false;
    std::vector<std::pair<std::string, ExprP>> Assignments;  // Update
    ExprP Where;                                             // Update, Delete
    std::vector<ColumnDef> Defs;                             // CreateTable
    std::vector<std::string> PrimaryKey;                     // CreateTable table constraint
    std::vector<std::vector<std::string>> UniqueKeys;
    std::string Name;              // CreateIndex name; Set option; Use database
    std::vector<std::string> Names;  // DropTable
    bool IfExists = false;
    bool Unique = false;           // CreateIndex
    std::vector<Token> SetArgs;    // Set: the tokens after the option name
    ExprP Condition;               // If
    std::vector<std::unique_ptr<Statement>> Body;  // If: then part; Block
    std::vector<std::unique_ptr<Statement>> Else;
};
using StatementP = std::unique_ptr<Statement>;

// Parses a whole batch; throws SqlError (102 and kin) before anything runs.
std::vector<StatementP> Parse(const std::string& xSql);

// Names of the @ parameters declared by an sp_executesql parameter definition, in order.
std::vector<std::string> ParamDefinitionNames(const std::string& xDefinition);

}  // namespace standin::sql
