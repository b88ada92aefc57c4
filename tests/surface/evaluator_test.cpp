// The expression evaluator: precedence and associativity, the integer
// operators, variables, functions and every error with its column, and the
// translated form against direct evaluation.
#include "surface/evaluator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

std::string Eval(ExpressionParser& p, const std::string& text) {
  return p.Evaluate(text.c_str());
}

TEST(Evaluator, ValuesByPrecedence) {
  ExpressionParser p;
  const struct {
    const char* text;
    const char* result;
  } cases[] = {
      {"2+3*4", "Ans = 14"},      {"(2+3)*4", "Ans = 20"},   {"2^3^2", "Ans = 64"},      {"-2^2", "Ans = 4"},
      {"7 % 3", "Ans = 1"},       {"-7 % 3", "Ans = -1"},    {"7||3", "Ans = 4"},        {"1<<4", "Ans = 16"},
      {"-16>>2", "Ans = -4"},     {"6&3", "Ans = 2"},        {"6|3", "Ans = 7"},         {"3<>3", "Ans = 0"},
      {"3<=3", "Ans = 1"},        {"2>3", "Ans = 0"},        {"1+2=3", "Ans = 1"},       {"1|2<3", "Ans = 1"},
      {"10-4-3", "Ans = 3"},      {"64/4/2", "Ans = 8"},     {"5!", "Ans = 120"},        {"FACTORIAL(0)", "Ans = 1"},
      {"-3!", "Ans = -3"},        {"-SQRT(4)", "Ans = -2"},  {"abs(-2.5)", "Ans = 2.5"}, {"SIGN(-7)", "Ans = -1"},
      {"LOG10(1000)", "Ans = 3"}, {"1.2.3", "Ans = 1.2"},    {"2.5e2", "Ans = 250"},     {"1E-2*100", "Ans = 1"},
      {"2*PI", "Ans = 6.28319"},  {"LOG(EULER)", "Ans = 1"}, {"1/0", "Ans = inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(Eval(p, c.text), c.result) << c.text;
  // Invalid arguments follow IEEE arithmetic instead of being errors.
  EXPECT_NE(Eval(p, "SQRT(-1)").find("nan"), std::string::npos);
  p.Evaluate("COS(PI)");
  EXPECT_NEAR(p.GetAnswer(), -1.0, 1e-15);
  p.Evaluate("ATAN(1)*4");
  EXPECT_DOUBLE_EQ(p.GetAnswer(), 3.141592653589793);
}

TEST(Evaluator, VariablesAndAssignment) {
  VariableList vars;
  ExpressionParser p(&vars);
  EXPECT_EQ(Eval(p, "X = 5"), "Ans = 5");
  EXPECT_EQ(Eval(p, "x*2"), "Ans = 10");
  EXPECT_EQ(Eval(p, "ANS+1"), "Ans = 11");
  double v = 0;
  EXPECT_EQ(vars.Get("ans", v), 1);
  EXPECT_EQ(v, 11);
  // "=" inside an expression compares: Y receives the truth of X = 5.
  EXPECT_EQ(Eval(p, "Y = X = 5"), "Ans = 1");
  EXPECT_EQ(vars.Get("y", v), 1);
  EXPECT_EQ(v, 1);
  // A name of 31 characters is stored cut to 30; the cut name finds it.
  const std::string longName(31, 'Q');
  Eval(p, longName + " = 3");
  EXPECT_EQ(vars.Get(std::string(30, 'q').c_str(), v), 1);
  EXPECT_EQ(v, 3);
  // Add overwrites in place and keeps the order.
  const size_t count = vars.Count();
  vars.Set("x", 7);
  EXPECT_EQ(vars.Count(), count);
  EXPECT_EQ(Eval(p, "X"), "Ans = 7");
  vars.Clear();
  EXPECT_EQ(vars.Get("X", v), 0);
  EXPECT_EQ(v, 3);  // untouched
  // An error after an assignment keeps the assigned value.
  EXPECT_EQ(Eval(p, "Z = 4 )"), "Error: Unknown operator ) (col 7)");
  EXPECT_EQ(vars.Get("Z", v), 1);
  EXPECT_EQ(v, 4);
}

TEST(Evaluator, ErrorsWithCodeAndColumn) {
  ExpressionParser p;
  const struct {
    std::string text;
    const char* result;
  } cases[] = {
      {"2.5!", "Error: Integer value expected in function factorial (col -1)"},
      {"FACTORIAL(2.5)", "Error: Integer value expected in function factorial (col 15)"},
      {"(1+2", "Error: Parentesis ) missing (col 5)"},
      {"1+", "Error: Unexpected end of expression (col 3)"},
      {"2 3", "Error: Unexpected part: 3 (col 3)"},
      {"1 == 1", "Error: Unknown operator == (col 3)"},
      {"FOO(1)", "Error: Unknown function FOO (col 7)"},
      {"BAR+1", "Error: Unknown variable BAR (col 1)"},
      {"2 # 3", "Error: Syntax error in part: # 3 (col 3)"},
      {"", "Error: Empty expression (col 1)"},
      {"   ", "Error: Empty expression (col 4)"},
      {"--2", "Error: Value expected (col 2)"},
      {std::string(256, '1'), "Error: Too long expression, maximum number of characters exceeded (col -1)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Eval(p, c.text), c.result) << c.text;
  // 255 characters are still one expression.
  EXPECT_EQ(Eval(p, std::string(254, ' ') + "1"), "Ans = 1");
}

TEST(Evaluator, OutOfRangeOperandsAreErrorsNotUndefined) {
  ExpressionParser p;
  // Over-long tokens and names are refused, not copied past their buffers.
  const std::string number(40, '9');
  EXPECT_NE(Eval(p, number).find("Error: Syntax error in part: " + number), std::string::npos);
  EXPECT_NE(Eval(p, std::string(32, 'A') + "+1").find("(col 1)"), std::string::npos);
  EXPECT_EQ(Eval(p, "5 % 0"), "Error: Unknown error: integer remainder of a division by 0 in % (col 3)");
  EXPECT_EQ(Eval(p, "(0-2147483648) % -1"), "Ans = 0");
  EXPECT_NE(Eval(p, "3e9 & 1").find("Integer value expected in function & (operand outside"), std::string::npos);
  EXPECT_NE(Eval(p, "1 << 1e12").find("Error"), std::string::npos);
  EXPECT_NE(Eval(p, "(0/0) || 1").find("Error"), std::string::npos);
  EXPECT_NE(Eval(p, "1e10!").find("factorial (col -1)"), std::string::npos);
  // A factorial beyond the double range is infinite without counting to n.
  EXPECT_EQ(Eval(p, "200000000!"), "Ans = inf");
  EXPECT_EQ(Eval(p, "1 << 31"), "Ans = -2.14748e+09");
  EXPECT_EQ(Eval(p, "1 << 33"), "Ans = 2");
}

TEST(Evaluator, TranslatedOnceRunsLikeDirectEvaluation) {
  VariableList vars;
  ExpressionParser p(&vars);
  ExpressionParser::Program prog;
  ExpressionParser::Compile("V = (Y + (X - Y) * EXP(-Z * Q)) * R / 60", prog);
  EXPECT_FALSE(prog.HasError());
  for (double q : {0.0, 100.0, 2833.0}) {
    vars.Clear();
    vars.Add("X", 65);
    vars.Add("Y", 4);
    vars.Add("Z", 0.002);
    vars.Add("Q", q);
    vars.Add("R", 30);
    ASSERT_TRUE(p.Run(prog));
    double v = 0;
    vars.Get("V", v);
    EXPECT_DOUBLE_EQ(v, (4 + 61 * std::exp(-0.002 * q)) * 0.5);
  }
  // The first error comes at the same moment: an unknown variable before the
  // syntax error that follows it, the syntax error once the variable exists.
  ExpressionParser::Compile("W = U + 1 )", prog);
  EXPECT_TRUE(prog.HasError());
  vars.Clear();
  EXPECT_FALSE(p.Run(prog));
  EXPECT_STREQ(p.Result(), "Error: Unknown variable U (col 5)");
  vars.Add("U", 1);
  EXPECT_FALSE(p.Run(prog));
  EXPECT_STREQ(p.Result(), "Error: Unknown operator ) (col 11)");
  double w = 0;
  EXPECT_EQ(vars.Get("W", w), 1);
  EXPECT_EQ(w, 2);
}

}  // namespace
