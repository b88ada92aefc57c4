#include "framework/strutil.h"

#include <gtest/gtest.h>

TEST(StringHelpers, SplitKeepsQuotedTextAndSkipsDelimiterRuns) {
  std::vector<std::string> t;
  EXPECT_EQ(SplitString("alpha  beta", " ", t, false), 2);
  EXPECT_EQ(t, (std::vector<std::string>{"alpha", "beta"}));
  t.clear();
  EXPECT_EQ(SplitString("a \"b c\" d", " ", t, false), 3);
  EXPECT_EQ(t[1], "\"b c\"");
  t.clear();
  EXPECT_EQ(SplitString("a b ", " ", t, true), 3);
  EXPECT_EQ(t[2], "");
  t.clear();
  // An escaped quote does not close the token; an unclosed quote runs to the end.
  SplitString("\"x\\\" y\" z", " ", t, false);
  EXPECT_EQ(t, (std::vector<std::string>{"\"x\\\" y\"", "z"}));
  t.clear();
  SplitString("a \"open end", " ", t, false);
  EXPECT_EQ(t, (std::vector<std::string>{"a", "\"open end"}));
  t.clear();
  EXPECT_EQ(SplitString("1\t120, 240", "\t ;,", t, false), 3);
  t.clear();
  EXPECT_EQ(SplitString("   ", " ", t, false), 0);
  EXPECT_EQ(SplitString("", " ", t, true), 0);
}

TEST(StringHelpers, FindAndCut) {
  EXPECT_EQ(FindSubstring("abcdef", "xyz"), 0);
  EXPECT_EQ(FindSubstring("abcdef", "abc"), 0);
  EXPECT_EQ(FindSubstring("abcdef", "cd"), 2);
  std::string s = "abcdef";
  EXPECT_EQ(CutSubstring(s, 1, 2), "bcd");
  s = "abc";
  EXPECT_EQ(CutSubstring(s, 1, 10), "bc");  // never reads past the end
  s = "abc";
  EXPECT_EQ(CutSubstring(s, 5, 1), "");
  s = "abc";
  EXPECT_EQ(CutSubstring(s, -1, 1), "abc");
  std::string longText(3000, 'x');
  EXPECT_EQ(CutSubstring(longText, 0, 2000).size(), 1199u);
}
