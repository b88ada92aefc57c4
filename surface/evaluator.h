// Evaluator of one arithmetic expression given as text, with named variables.
//
// Precedence from low to high: statement (NAME = expression), bitwise
// (& | << >>), comparison (= <> < > <= >=), additive (+ -), multiplicative
// (* / % ||, where || is the exclusive or), power (^), unary (leading -,
// functions, postfix !), primary (number, name, parenthesis). Every binary
// level is left-associative, so 2^3^2 is 64 and -2^2 is 4.
//
// An expression is first translated into a short program of operations in
// the order in which a recursive-descent parser that computes while it parses
// would compute them; a syntax error becomes the last operation of the
// program. Running the program therefore gives the same value, assigns the
// same variables and reports the same first error as parsing the text anew,
// so a formula evaluated for many cells is translated once (Compile) and run
// per cell (Run). Evaluate does both.
#pragma once

#include <cstddef>
#include <vector>

// Failure of parsing or evaluating: 1-based column of the token at which it
// was found (-1 where no position is known), code and message (the text of
// the code followed by a detail, at most 255 characters).
struct Error {
  Error() = default;
  Error(int column, int code, const char* detail = "");
  int column = -1;
  int code = 0;
  char message[256] = {};
};

// Message text of an error code ("Unknown error" for codes outside the table).
const char* ErrorText(int code);

// Ordered named values; names hold at most 30 characters (longer ones are
// cut) and compare without regard to case.
class VariableList {
 public:
  static constexpr size_t kNameLength = 30;
  // Overwrites the entry of the name (name and value) or appends one; 1.
  int Add(const char* name, double value);
  int Set(const char* name, double value) { return Add(name, value); }
  // 1 and the value when the name is known, else 0 (value untouched).
  int Get(const char* name, double& value) const;
  void Clear() { entries.clear(); }
  size_t Count() const { return entries.size(); }

 private:
  struct Entry {
    char name[32];  // as written
    char key[32];   // upper case
    double value;
  };
  // Upper-case key of a name, cut to kNameLength characters.
  static void Key(const char* name, char* key);
  int Find(const char* key) const;
  std::vector<Entry> entries;
};

class ExpressionParser {
 public:
  static constexpr size_t kMaxExpression = 255;
  static constexpr size_t kMaxToken = 31;

  // One translated expression; shareable between parsers and threads.
  class Program {
   public:
    // True when translation met an error: running ends with it.
    bool HasError() const { return failed; }
    const Error& GetError() const { return error; }

   private:
    friend class ExpressionParser;
    enum Kind { kNumber, kVariable, kAssign, kNegate, kBinary, kFunction, kFactorial, kRaise };
    struct Op {
      Kind kind;
      int id;      // operator or function identity
      int column;  // column reported by a failure of this operation
      double value;
      char name[32];
    };
    std::vector<Op> ops;
    size_t depth = 0;  // largest number of values on the stack
    bool failed = false;
    Error error;
  };

  // vars: shared with the caller (not owned); none: the parser keeps its own.
  explicit ExpressionParser(VariableList* vars = nullptr);
  ExpressionParser(const ExpressionParser&) = delete;
  ExpressionParser& operator=(const ExpressionParser&) = delete;

  // Parses and evaluates text; the result text is "Ans = %g" or
  // "Error: <message> (col <column>)". Never throws an Error.
  const char* Evaluate(const char* text);
  // Translation of text; never throws an Error.
  static void Compile(const char* text, Program& program);
  // Runs a translated expression on this parser's variables; false on an
  // error, whose text is then the result text. On success the value is the
  // answer and the variable "Ans"; the result text is left as it was (only
  // Evaluate formats "Ans = %g", which per-cell callers do not need).
  bool Run(const Program& program);
  const char* Result() const { return result; }
  double GetAnswer() const { return answer; }
  VariableList* Variables() { return variables; }

 private:
  class Compiler;
  void Fail(const Error& e);
  VariableList* variables;
  VariableList own;
  double answer = 0;
  char result[256] = {};
  std::vector<double> stack;
  Program scratch;  // program of Evaluate, reused
};
