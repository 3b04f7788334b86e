#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "common/Classes.h"
#include "common/SysUtils.h"

namespace orvo {
namespace {

using namespace std::string_literals;

TStringList ListOf(std::initializer_list<std::string> items) {
  TStringList list;
  for (const std::string& s : items) list.Add(s);
  return list;
}

std::vector<std::string> Items(const TStringList& list) {
  std::vector<std::string> items;
  for (int32_t i = 0; i < list.Count(); ++i) items.push_back(list.Strings(i));
  return items;
}

TEST(StringListTest, AddReturnsIndexAndKeepsOrder) {
  TStringList list;
  EXPECT_EQ(list.Add("b"), 0);
  EXPECT_EQ(list.Add("a"), 1);
  list.Insert(0, "c");
  list.PutStrings(2, "z");
  EXPECT_EQ(Items(list), (std::vector<std::string>{"c", "b", "z"}));
  list.Delete(1);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"c", "z"}));
  EXPECT_EQ(list.IndexOf("Z"), 1);
  EXPECT_EQ(list.IndexOf("q"), -1);
}

TEST(StringListTest, OutOfBoundsIndexRaisesWithTheIndex) {
  TStringList list = ListOf({"a", "b"});
  auto expectError = [](auto action, const std::string& message) {
    try {
      action();
      ADD_FAILURE() << "no error for " << message;
    } catch (const EStringListError& e) {
      EXPECT_EQ(e.Message(), message);
    }
  };
  expectError([&] { list.Strings(2); }, "List index out of bounds (2)");
  expectError([&] { list.Strings(-1); }, "List index out of bounds (-1)");
  expectError([&] { list.Names(5); }, "List index out of bounds (5)");
  expectError([&] { list.Delete(2); }, "List index out of bounds (2)");
  expectError([&] { list.PutStrings(2, "x"); }, "List index out of bounds (2)");
  expectError([&] { list.Insert(3, "x"); }, "List index out of bounds (3)");
  EXPECT_EQ(list.Count(), 2);
}

TEST(StringListTest, CapacityGrowsByTheRule) {
  TStringList list;
  std::vector<int32_t> capacities;
  for (int i = 0; i < 100; ++i) {
    list.Add("x");
    if (capacities.empty() || capacities.back() != list.Capacity()) {
      capacities.push_back(list.Capacity());
    }
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95, 118}));
  list.Clear();
  EXPECT_EQ(list.Capacity(), 0);
  EXPECT_EQ(list.Count(), 0);
}

TEST(NameValueTest, FirstMatchIgnoringCaseWins) {
  TStringList fields = ListOf({"loja=", "LOJA=2", "loja=3"});
  EXPECT_EQ(fields.Values("loja"), "");
  EXPECT_EQ(fields.IndexOfName("Loja"), 0);

  TStringList list = ListOf({"a", "=x", "b=1=2", "C\xC9=acc", "d=\r\nline"});
  EXPECT_EQ(list.Values("b"), "1=2");
  EXPECT_EQ(list.Values("a"), "");
  EXPECT_EQ(list.Values(""), "x");
  EXPECT_EQ(list.Names(0), "");
  EXPECT_EQ(list.Names(2), "b");
  EXPECT_EQ(list.Values("c\xE9"), "acc");  // accented letters fold too
  EXPECT_EQ(list.Values("d"), "\r\nline");
  EXPECT_EQ(list.IndexOfName("missing"), -1);

  TStringList empty;
  EXPECT_EQ(empty.Values("a"), "");
  EXPECT_EQ(empty.IndexOfName("a"), -1);
}

TEST(NameValueTest, NulBeforeEqualsMeansNoName) {
  TStringList list = ListOf({"k\0ey=1"s, "key=2", "v=a\0b"s});
  EXPECT_EQ(list.Names(0), "");
  EXPECT_EQ(list.IndexOfName("key"), 1);
  EXPECT_EQ(list.Values("v"), "a\0b"s);
}

TEST(NameValueTest, TakeValueMovesTheValueOutAndKeepsTheName) {
  TStringList list = ListOf({"a", "XML=1=2", "xml=3", "e="});
  EXPECT_EQ(list.TakeValue("xml"), "1=2");
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "XML=", "xml=3", "e="}));
  EXPECT_EQ(list.TakeValue("xml"), "");  // the first string still answers to the name
  EXPECT_EQ(list.TakeValue("e"), "");
  EXPECT_EQ(list.TakeValue("a"), "");  // no "=": no name
  EXPECT_EQ(list.Count(), 4);
}

TEST(TextViewTest, JoinEndsEveryStringWithCrLf) {
  EXPECT_EQ(TStringList().Text(), "");
  EXPECT_EQ(ListOf({""}).Text(), "\r\n");
  EXPECT_EQ(ListOf({"x\r\ny"}).Text(), "x\r\ny\r\n");
  EXPECT_EQ(ListOf({"a", "", "b"}).Text(), "a\r\n\r\nb\r\n");
}

TEST(TextViewTest, SplitRecognisesEachLineBreak) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"a\r\nb", {"a", "b"}},
      {"a\nb\n", {"a", "b"}},
      {"a\rb", {"a", "b"}},
      {"a\n\rb", {"a", "", "b"}},
      {"a\r\n\r\nb\r\n", {"a", "", "b"}},
      {"\r\n", {""}},
      {"", {}},
      {"a\0b"s, {"a"}},
      {"\0a"s, {}},
      {"a\r\0b"s, {"a"}},
  };
  for (const Case& c : cases) {
    TStringList list = ListOf({"old"});
    list.SetText(c.text);
    EXPECT_EQ(Items(list), c.lines) << testing::PrintToString(c.text);
  }
  TStringList list;
  list.SetText("x\ny\r\rz"s);
  EXPECT_EQ(list.Text(), "x\r\ny\r\n\r\nz\r\n");
}

struct HookLog {
  int before = 0;
  int after = 0;
  void Attach(TStringList& list) {
    list.BeforeChange = [this](TStringList&) { ++before; };
    list.AfterChange = [this](TStringList&) { ++after; };
  }
};

TEST(ChangeHookTest, EachModificationCallsOnePair) {
  TStringList list;
  HookLog log;
  log.Attach(list);
  list.Clear();
  EXPECT_EQ(log.before + log.after, 0);
  list.Add("a");
  list.Add("b");
  list.PutStrings(0, "c");
  list.Delete(1);
  list.Clear();
  EXPECT_EQ(log.before, 5);
  EXPECT_EQ(log.after, 5);
}

TEST(ChangeHookTest, AssigningTextCallsExactlyOnePair) {
  TStringList list = ListOf({"old"});
  HookLog log;
  log.Attach(list);
  int countSeenBefore = -1;
  list.BeforeChange = [&](TStringList& l) {
    ++log.before;
    countSeenBefore = l.Count();
  };
  list.SetText("a\r\nb\r\nc");
  EXPECT_EQ(log.before, 1);
  EXPECT_EQ(log.after, 1);
  EXPECT_EQ(countSeenBefore, 1);  // called before anything changed
  list.Clear();
  log = HookLog();
  log.Attach(list);
  list.SetText("");
  EXPECT_EQ(log.before, 1);
  EXPECT_EQ(log.after, 1);
}

TEST(ChangeHookTest, BracketsNestAndOnlyTheOutermostCallsHooks) {
  TStringList list;
  HookLog log;
  log.Attach(list);
  {
    TUpdateGuard outer(list);
    list.Add("a");
    list.SetText("b\nc");
    EXPECT_EQ(log.before, 1);
    EXPECT_EQ(log.after, 0);
  }
  EXPECT_EQ(log.after, 1);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"b", "c"}));
}

TEST(ChangeHookTest, RaisingHooksLeaveTheOperationAndTheDepthAtZero) {
  TStringList list;
  list.BeforeChange = [](TStringList&) { throw std::runtime_error("before"); };
  EXPECT_THROW(list.Add("a"), std::runtime_error);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THROW(list.SetText("a"), std::runtime_error);
  EXPECT_EQ(list.Count(), 0);

  int after = 0;
  list.BeforeChange = nullptr;
  list.AfterChange = [&after](TStringList&) {
    ++after;
    throw std::runtime_error("after");
  };
  EXPECT_THROW(list.SetText("a\nb"), std::runtime_error);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_THROW(list.Add("c"), std::runtime_error);  // depth is back at 0: the hook runs again
  EXPECT_EQ(after, 2);
}

}  // namespace
}  // namespace orvo
