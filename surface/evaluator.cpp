#include "surface/evaluator.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {

// Codes of the failures that the integer operators add to the table: an
// integer remainder of a division by 0.
constexpr int kIntegerDivision = 410;

enum Operator {
  kAnd = 0,
  kOr,
  kShiftLeft,
  kShiftRight,
  kEqual,
  kUnequal,
  kSmaller,
  kLarger,
  kSmallerEqual,
  kLargerEqual,
  kPlus,
  kMinus,
  kMultiply,
  kDivide,
  kModulo,
  kXor,
  kPower,
  kFactorial,
  kNoOperator = -1
};

const char* const kOperatorTexts[] = {
    "&", "|", "<<", ">>", "=", "<>", "<", ">", "<=", ">=", "+", "-", "*", "/", "%", "||", "^", "!"};

enum Function { kAbs, kExp, kSign, kSqrt, kLog, kLog10, kSin, kCos, kTan, kAsin, kAcos, kAtan, kFactorialFunction };
const char* const kFunctionNames[] = {"ABS", "EXP", "SIGN", "SQRT", "LOG",  "LOG10",    "SIN",
                                      "COS", "TAN", "ASIN", "ACOS", "ATAN", "FACTORIAL"};

enum TokenType { kNone = -1, kDelimiter = 0, kNumber = 1, kVariableToken = 2, kFunctionToken = 3, kOther = 4 };

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool In(char c, const char* set) {
  return c != '\0' && std::strchr(set, c) != nullptr;
}
char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Copies at most n characters of text upper-cased into out (n + 1 bytes).
void UpperCopy(const char* text, char* out, size_t n) {
  size_t i = 0;
  for (; i < n && text[i] != '\0'; ++i) out[i] = Upper(text[i]);
  out[i] = '\0';
}

int OperatorId(const char* token) {
  for (int i = 0; i <= kFactorial; ++i)
    if (std::strcmp(token, kOperatorTexts[i]) == 0) return i;
  return kNoOperator;
}

int FunctionId(const char* name) {
  char key[32];
  UpperCopy(name, key, 31);
  for (int i = 0; i <= kFactorialFunction; ++i)
    if (std::strcmp(key, kFunctionNames[i]) == 0) return i;
  return -1;
}

// Integer part of an operand of the integer operators; a value whose integer
// part has no 32-bit representation (or NaN) is an error.
int32_t IntegerPart(double v, int column, const char* op) {
  const double t = std::trunc(v);
  if (!(t >= static_cast<double>(INT32_MIN) && t <= static_cast<double>(INT32_MAX))) {
    char detail[64];
    std::snprintf(detail, sizeof detail, "%s (operand outside the 32-bit integer range)", op);
    throw Error(column, 400, detail);
  }
  return static_cast<int32_t>(t);
}

// n! for an integer n (any whole number a double holds); 0 and 1 give 1, a
// negative n gives n itself. Beyond 170! a double overflows: the result is
// then infinite without counting on.
double Factorial(double x, int column) {
  if (!(x == std::trunc(x))) throw Error(column, 400, "factorial");
  if (x < 0) return x;
  if (x > 170) return std::numeric_limits<double>::infinity();
  double r = 1;
  for (int i = static_cast<int>(x); i >= 2; --i) r *= i;
  return r;
}

double Apply(int id, double a, double b, int column) {
  switch (id) {
    case kAnd:
      return IntegerPart(a, column, "&") & IntegerPart(b, column, "&");
    case kOr:
      return IntegerPart(a, column, "|") | IntegerPart(b, column, "|");
    case kShiftLeft: {
      // Shifted as an unsigned pattern: bits leaving the top are dropped.
      const uint32_t v = static_cast<uint32_t>(IntegerPart(a, column, "<<"));
      return static_cast<int32_t>(v << (IntegerPart(b, column, "<<") & 31));
    }
    case kShiftRight:
      return IntegerPart(a, column, ">>") >> (IntegerPart(b, column, ">>") & 31);
    case kEqual:
      return a == b ? 1 : 0;
    case kUnequal:
      return a == b ? 0 : 1;
    case kSmaller:
      return a < b ? 1 : 0;
    case kLarger:
      return a > b ? 1 : 0;
    case kSmallerEqual:
      return a <= b ? 1 : 0;
    case kLargerEqual:
      return a >= b ? 1 : 0;
    case kPlus:
      return a + b;
    case kMinus:
      return a - b;
    case kMultiply:
      return a * b;
    case kDivide:
      return a / b;
    case kModulo: {
      const int32_t x = IntegerPart(a, column, "%");
      const int32_t y = IntegerPart(b, column, "%");
      if (y == 0) throw Error(column, kIntegerDivision, " in %");
      if (y == -1) return 0;  // also for the smallest integer, whose quotient by -1 overflows
      return x % y;
    }
    case kXor:
      return IntegerPart(a, column, "||") ^ IntegerPart(b, column, "||");
    case kPower:
      return std::pow(a, b);
    default:
      return 0;
  }
}

double ApplyFunction(int id, double x, int column) {
  switch (id) {
    case kAbs:
      return std::fabs(x);
    case kExp:
      return std::exp(x);
    case kSign:
      return x > 0 ? 1 : (x < 0 ? -1 : 0);
    case kSqrt:
      return std::sqrt(x);
    case kLog:
      return std::log(x);
    case kLog10:
      return std::log10(x);
    case kSin:
      return std::sin(x);
    case kCos:
      return std::cos(x);
    case kTan:
      return std::tan(x);
    case kAsin:
      return std::asin(x);
    case kAcos:
      return std::acos(x);
    case kAtan:
      return std::atan(x);
    default:
      return Factorial(x, column);
  }
}

}  // namespace

// ------------------------------------------------------------ Error

const char* ErrorText(int code) {
  switch (code) {
    case 1:
      return "Syntax error in part: ";
    case 2:
      return "Syntax error";
    case 3:
      return "Parentesis ) missing";
    case 4:
      return "Empty expression";
    case 5:
      return "Unexpected part: ";
    case 6:
      return "Unexpected end of expression";
    case 7:
      return "Value expected";
    case 101:
      return "Unknown operator ";
    case 102:
      return "Unknown function ";
    case 103:
      return "Unknown variable ";
    case 200:
      return "Too long expression, maximum number of characters exceeded";
    case 300:
      return "Defining variable failed";
    case 400:
      return "Integer value expected in function ";
    case kIntegerDivision:
      return "Integer remainder of a division by 0";
    default:
      return "Unknown error";
  }
}

Error::Error(int col, int errorCode, const char* detail) : column(col), code(errorCode) {
  std::snprintf(message, sizeof message, "%s%s", ErrorText(errorCode), detail ? detail : "");
}

// ------------------------------------------------------------ VariableList

void VariableList::Key(const char* name, char* key) {
  UpperCopy(name, key, kNameLength);
}

int VariableList::Find(const char* key) const {
  // Most names of a formula set are one letter: the first character decides quickly.
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].key[0] == key[0] && std::strcmp(entries[i].key, key) == 0) return static_cast<int>(i);
  return -1;
}

int VariableList::Add(const char* name, double value) {
  char key[32];
  Key(name, key);
  const int i = Find(key);
  Entry& e = i >= 0 ? entries[i] : entries.emplace_back();
  size_t n = 0;
  for (; n < kNameLength && name[n] != '\0'; ++n) e.name[n] = name[n];
  e.name[n] = '\0';
  std::memcpy(e.key, key, sizeof key);
  e.value = value;
  return 1;
}

int VariableList::Get(const char* name, double& value) const {
  char key[32];
  Key(name, key);
  const int i = Find(key);
  if (i < 0) return 0;
  value = entries[i].value;
  return 1;
}

// ------------------------------------------------------------ translation

// Recursive descent over the tokens; emits the operations in the order in
// which they are computed. Failures are thrown as Error.
class ExpressionParser::Compiler {
 public:
  Compiler(const char* text, Program& out) : program(out) { std::snprintf(expression, sizeof expression, "%s", text); }

  void Translate() {
    NextToken();
    if (type == kDelimiter && token[0] == '\0') throw Error(Column(), 4);
    Statement();
    if (!(type == kDelimiter && token[0] == '\0')) throw Error(Column(), type == kDelimiter ? 101 : 5, token);
  }

 private:
  using Op = Program::Op;

  int Column() const { return static_cast<int>(start) + 1; }
  bool Is(const char* text) const { return type == kDelimiter && std::strcmp(token, text) == 0; }

  // Appends one character to the token; a token longer than kMaxToken is a
  // syntax error naming the whole token.
  void Append(size_t& length, size_t end) {
    if (length >= kMaxToken) {
      char detail[256];
      std::snprintf(detail, sizeof detail, "%.*s (longer than %d characters)", static_cast<int>(end - start),
                    expression + start, static_cast<int>(kMaxToken));
      throw Error(Column(), 1, detail);
    }
    token[length++] = expression[pos++];
    token[length] = '\0';
  }
  // End of the run of characters of set (or of name characters) from pos.
  size_t RunEnd(const char* set) const {
    size_t e = pos;
    while (set ? In(expression[e], set) : (IsLetter(expression[e]) || IsDigit(expression[e]))) ++e;
    return e;
  }

  void NextToken() {
    type = kNone;
    token[0] = '\0';
    while (expression[pos] == ' ' || expression[pos] == '\t') ++pos;
    start = pos;
    size_t length = 0;
    const char c = expression[pos];
    if (c == '\0') {
      type = kDelimiter;
      return;
    }
    if (c == '-' || c == '(' || c == ')') {
      type = kDelimiter;
      Append(length, pos + 1);
      return;
    }
    const char* const operators = "&|<>=+/*%^!";
    if (In(c, operators)) {
      type = kDelimiter;
      const size_t end = RunEnd(operators);
      while (In(expression[pos], operators)) Append(length, end);
      return;
    }
    if (In(c, "0123456789.")) {
      type = kNumber;
      size_t end = RunEnd("0123456789.");
      if (expression[end] == 'E' || expression[end] == 'e') {
        ++end;
        if (expression[end] == '+' || expression[end] == '-') ++end;
        while (IsDigit(expression[end])) ++end;
      }
      while (pos < end) Append(length, end);
      return;
    }
    if (IsLetter(c)) {
      const size_t end = RunEnd(nullptr);
      while (pos < end) Append(length, end);
      size_t look = pos;
      while (expression[look] == ' ' || expression[look] == '\t') ++look;
      type = expression[look] == '(' ? kFunctionToken : kVariableToken;
      return;
    }
    // Anything else: the rest of the text is the offending part.
    type = kOther;
    std::snprintf(token, sizeof token, "%s", expression + pos);
    const Error e(Column(), 1, expression + pos);
    pos += std::strlen(expression + pos);
    throw e;
  }

  void Emit(Program::Kind kind, int id, int column, double value, const char* name, int stackChange) {
    Op op{};
    op.kind = kind;
    op.id = id;
    op.column = column;
    op.value = value;
    if (name) std::snprintf(op.name, sizeof op.name, "%s", name);
    program.ops.push_back(op);
    depth += stackChange;
    if (depth > static_cast<long>(program.depth)) program.depth = static_cast<size_t>(depth);
  }

  void Statement() {
    if (type == kVariableToken) {
      char name[32];
      std::snprintf(name, sizeof name, "%.30s", token);
      const size_t savedPos = pos;
      const size_t savedStart = start;
      char savedToken[32];
      std::memcpy(savedToken, token, sizeof token);
      const int savedType = type;
      NextToken();
      if (Is("=")) {
        NextToken();
        Level2();
        Emit(Program::kAssign, 0, -1, 0, name, 0);
        return;
      }
      pos = savedPos;
      start = savedStart;
      std::memcpy(token, savedToken, sizeof token);
      type = savedType;
    }
    Level2();
  }

  // One left-associative binary level over the operators first ... last.
  template <typename Next>
  void Binary(const int* ids, int count, Next next) {
    next();
    for (;;) {
      const int id = type == kDelimiter ? OperatorId(token) : kNoOperator;
      bool found = false;
      for (int i = 0; i < count; ++i) found = found || ids[i] == id;
      if (!found) return;
      const int column = Column();
      NextToken();
      next();
      Emit(Program::kBinary, id, column, 0, nullptr, -1);
    }
  }

  void Level2() {
    static const int ids[] = {kAnd, kOr, kShiftLeft, kShiftRight};
    Binary(ids, 4, [this] { Level3(); });
  }
  void Level3() {
    static const int ids[] = {kEqual, kUnequal, kSmaller, kLarger, kSmallerEqual, kLargerEqual};
    Binary(ids, 6, [this] { Level4(); });
  }
  void Level4() {
    static const int ids[] = {kPlus, kMinus};
    Binary(ids, 2, [this] { Level5(); });
  }
  void Level5() {
    static const int ids[] = {kMultiply, kDivide, kModulo, kXor};
    Binary(ids, 4, [this] { Level6(); });
  }
  void Level6() {
    static const int ids[] = {kPower};
    Binary(ids, 1, [this] { Level7(); });
  }

  void Level7() {
    const bool negate = Is("-");
    if (negate) NextToken();
    if (type == kFunctionToken) {
      char name[32];
      std::memcpy(name, token, sizeof name);
      NextToken();
      Level8();
      const int id = FunctionId(name);
      if (id < 0) throw Error(Column(), 102, name);
      Emit(Program::kFunction, id, Column(), 0, nullptr, 0);
    } else {
      Level8();
    }
    if (negate) Emit(Program::kNegate, 0, -1, 0, nullptr, 0);
    if (Is("!")) {
      NextToken();
      Emit(Program::kFactorial, 0, -1, 0, nullptr, 0);
    }
  }

  void Level8() {
    if (type == kNumber) {
      Emit(Program::kNumber, 0, Column(), std::strtod(token, nullptr), nullptr, 1);
      NextToken();
      return;
    }
    if (type == kVariableToken) {
      char key[32];
      UpperCopy(token, key, 31);
      if (std::strcmp(key, "EULER") == 0)
        Emit(Program::kNumber, 0, Column(), 2.718281828459045, nullptr, 1);
      else if (std::strcmp(key, "PI") == 0)
        Emit(Program::kNumber, 0, Column(), 3.141592653589793, nullptr, 1);
      else
        Emit(Program::kVariable, 0, Column(), 0, token, 1);
      NextToken();
      return;
    }
    if (Is("(")) {
      NextToken();
      Level2();
      if (!Is(")")) throw Error(Column(), 3);
      NextToken();
      return;
    }
    if (type == kDelimiter && token[0] == '\0') throw Error(Column(), 6);
    throw Error(Column(), 7);
  }

  Program& program;
  char expression[kMaxExpression + 1];
  size_t pos = 0;
  size_t start = 0;
  char token[kMaxToken + 1] = {};
  int type = kNone;
  long depth = 0;
};

void ExpressionParser::Compile(const char* text, Program& program) {
  program.ops.clear();
  program.depth = 0;
  program.failed = false;
  program.error = Error();
  try {
    if (std::strlen(text) > kMaxExpression) throw Error(-1, 200);
    Compiler(text, program).Translate();
  } catch (const Error& e) {
    // Runs end here: after every computation the text asked for before it.
    Program::Op op{};
    op.kind = Program::kRaise;
    op.column = e.column;
    program.ops.push_back(op);
    program.failed = true;
    program.error = e;
  }
}

// ------------------------------------------------------------ evaluation

ExpressionParser::ExpressionParser(VariableList* vars) : variables(vars ? vars : &own) {}

void ExpressionParser::Fail(const Error& e) {
  // Formatted whole first, then cut to the 255 characters of the result text.
  char text[sizeof result + 48];
  std::snprintf(text, sizeof text, "Error: %s (col %i)", e.message, e.column);
  std::snprintf(result, sizeof result, "%.255s", text);
}

bool ExpressionParser::Run(const Program& program) {
  answer = 0;
  if (stack.size() < program.depth + 1) stack.resize(program.depth + 1);
  double* s = stack.data();
  size_t n = 0;
  try {
    for (const Program::Op& op : program.ops) {
      switch (op.kind) {
        case Program::kNumber:
          s[n++] = op.value;
          break;
        case Program::kVariable: {
          double v = 0;
          if (!variables->Get(op.name, v)) throw Error(op.column, 103, op.name);
          s[n++] = v;
          break;
        }
        case Program::kAssign:
          try {
            variables->Add(op.name, s[n - 1]);
          } catch (const std::bad_alloc&) {
            throw Error(-1, 300);
          }
          break;
        case Program::kNegate:
          s[n - 1] = -s[n - 1];
          break;
        case Program::kBinary:
          --n;
          s[n - 1] = Apply(op.id, s[n - 1], s[n], op.column);
          break;
        case Program::kFunction:
          s[n - 1] = ApplyFunction(op.id, s[n - 1], op.column);
          break;
        case Program::kFactorial:
          s[n - 1] = Factorial(s[n - 1], -1);
          break;
        case Program::kRaise:
          throw program.error;
      }
    }
    answer = n > 0 ? s[n - 1] : 0;
    variables->Add("Ans", answer);
  } catch (const Error& e) {
    answer = 0;
    Fail(e);
    return false;
  } catch (const std::bad_alloc&) {
    answer = 0;
    Fail(Error(-1, 300, " Ans"));
    return false;
  }
  return true;
}

const char* ExpressionParser::Evaluate(const char* text) {
  Compile(text ? text : "", scratch);
  if (Run(scratch)) std::snprintf(result, sizeof result, "Ans = %g", answer);
  return result;
}
