// JsonDocument: parsing replies as data, reading members as the pipelines do, the other
// operations, copies, and what happens without an engine or with hostile input.
#include "json/json_document.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "json/text_printer.h"

#include "json/script_engine.h"

namespace kestrin {
namespace {

// GBK bytes of 中文你好 and of 改写.
constexpr const char* kChinese = "\xD6\xD0\xCE\xC4\xC4\xE3\xBA\xC3";
constexpr const char* kRewrite = "\xB8\xC4\xD0\xB4";

// Replaces the engine factory while it lives.
class ScopedEngineFactory {
 public:
  explicit ScopedEngineFactory(ScriptEngineFactory factory)
      : previous_(set_script_engine_factory(std::move(factory))) {}
  ~ScopedEngineFactory() { set_script_engine_factory(previous_); }
  ScopedEngineFactory(const ScopedEngineFactory&) = delete;
  ScopedEngineFactory& operator=(const ScopedEngineFactory&) = delete;

 private:
  ScriptEngineFactory previous_;
};

std::unique_ptr<ScriptEngine> no_engine() { return nullptr; }

JsonDocument parsed(const Text& json) {
  JsonDocument document;
  static_cast<void>(document.parse(json));
  return document;
}

TEST(JsonDocumentTest, ParseReadsJsonAndRefusesEverythingElse) {
  struct Case {
    std::string json;
    bool result;
    JsonKind kind;
    const char* value_json;
  };
  const std::vector<Case> cases = {
      {"{\"str\":\"a\"}", true, kJsonObject, "{\"str\":\"a\"}"},
      {" \r\n{ \"str\" : \"a\" }\t", true, kJsonObject, "{\"str\":\"a\"}"},
      {"{}", true, kJsonObject, "{}"},
      {"[]", true, kJsonArray, "[]"},
      {"0", true, kJsonNumber, "0"},
      {"false", true, kJsonOther, "false"},
      {"\"\"", true, kJsonString, "\"\""},
      // One string literal stays that string; it is never evaluated again as script.
      {"\"while(true){}\"", true, kJsonString, "\"while(true){}\""},
      {"\"da={str:'ran'}\"", true, kJsonString, "\"da={str:'ran'}\""},
      {"null", false, kJsonNull, "null"},
      {"", false, kJsonNull, "null"},
      {"<html><body>502 Bad Gateway</body></html>", false, kJsonNull, "null"},
      {"Warning: deprecated\n{\"str\":\"a\"}", false, kJsonNull, "null"},
      {"{\"str\":\"a\"", false, kJsonNull, "null"},
      {"{\"str\":\"a\"}garbage", false, kJsonNull, "null"},
      {"{'str':'a'}", false, kJsonNull, "null"},
      {"{str:\"a\"}", false, kJsonNull, "null"},
      {"{\"str\":\"a\",}", false, kJsonNull, "null"},
      {"/* c */ {\"str\":\"a\"}", false, kJsonNull, "null"},
      {"undefined", false, kJsonNull, "null"},
      // Script code: it would hang or change the value if it ran.
      {"while(true){}", false, kJsonNull, "null"},
      {"(function(){for(;;){}})()", false, kJsonNull, "null"},
      {"{\"str\":(function(){da={str:'ran'};return 1})()}", false, kJsonNull, "null"},
      {"1;da={str:'ran'}", false, kJsonNull, "null"},
  };
  for (const auto& c : cases) {
    JsonDocument document;
    EXPECT_EQ(document.parse(Text(c.json)), c.result) << c.json;
    EXPECT_EQ(document.type_of(), c.kind) << c.json;
    EXPECT_EQ(document.to_json(), Text(c.value_json)) << c.json;
    if (!c.result) {
      EXPECT_EQ(document.get_text(Text("str")), Text()) << c.json;
    }
  }
}

TEST(JsonDocumentTest, GetTextReadsMembersAsThePipelinesNeedThem) {
  const std::string reply = std::string("{\"str\":\"") + kChinese +
                            "\",\"ck\":\"85%\",\"n\":85,\"half\":0.5,\"big\":1e20,\"third\":0.3333333333333333,"
                            "\"small\":0.00001,\"neg\":-2.5,\"huge\":1e999,\"t\":true,\"f\":false,\"z\":null,"
                            "\"o\":{\"a\":1},\"arr\":[1,2,\"x\"],\"a\":{\"b\":\"nested\",\"list\":[{\"title\":\"T\"}]},"
                            "\"emoji\":\"\\ud83d\\ude00\",\"nul\":\"a\\u0000b\",\"esc\":\"line\\nbreak\\\\\","
                            "\"u\":\"\\u6539\\u5199\"}";
  struct Case {
    const char* path;
    bool as_json;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"str", false, kChinese},
      {"ck", false, "85%"},
      {"u", false, kRewrite},
      {"n", false, "85"},
      {"half", false, "0.5"},
      {"big", false, "1e+020"},
      {"third", false, "0.3333333333333"},
      {"small", false, "1e-005"},
      {"neg", false, "-2.5"},
      {"huge", false, "inf"},
      {"t", false, "-1"},
      {"f", false, "0"},
      {"z", false, ""},
      {"missing", false, ""},
      {"missing.deeper", false, ""},
      {"o", false, "[object Object]"},
      {"arr", false, "1,2,x"},
      {"a.b", false, "nested"},
      {"a.list[0].title", false, "T"},
      {"arr[2]", false, "x"},
      {"emoji", false, "?"},
      {"nul", false, "a"},
      {"esc", false, "line\nbreak\\"},
      {"", false, ""},
      {"o", true, "{\"a\":1}"},
      {"arr", true, "[1,2,\"x\"]"},
      {"str", true, std::string("\"") + kChinese + "\""},
      {"n", true, "85"},
      {"missing", true, ""},
  };
  JsonDocument document;
  ASSERT_TRUE(document.parse(Text(reply)));
  for (const auto& c : cases) {
    EXPECT_EQ(document.get_text(Text(c.path), c.as_json), Text(c.expected)) << c.path << " as_json=" << c.as_json;
  }
}

TEST(JsonDocumentTest, BracketPathOnAnArrayTakesThePlainNumberForm) {
  JsonDocument document;
  ASSERT_TRUE(document.parse(Text("[85.5,1e20,\"s\",[7,8]]")));
  EXPECT_EQ(document.get_text(Text("[0]")), Text("85.5"));
  EXPECT_EQ(document.get_text(Text("[1]")), Text("100000000000000000000"));
  EXPECT_EQ(document.get_text(Text("[2]")), Text("s"));
  EXPECT_EQ(document.get_text(Text("[3]")), Text("7,8"));
  EXPECT_EQ(document.get_text(Text("[3]"), true), Text("[7,8]"));
  EXPECT_EQ(document.get_number(Text("[0]")), 0);  // da.[0] is not a script
  EXPECT_EQ(document.count(Text("[3]")), 2);
}

TEST(JsonDocumentTest, SecondParseDiscardsTheFirstValueEntirely) {
  JsonDocument document;
  ASSERT_TRUE(document.parse(Text("{\"str\":\"one\",\"x\":1}")));
  document.set_member(Text("y"), Text("set"));
  ASSERT_TRUE(document.parse(Text("{\"str\":\"two\"}")));
  EXPECT_EQ(document.get_text(Text("str")), Text("two"));
  EXPECT_FALSE(document.has_member(Text("x")));
  EXPECT_FALSE(document.has_member(Text("y")));
  EXPECT_FALSE(document.parse(Text("<html>")));
  EXPECT_EQ(document.get_text(Text("str")), Text());
  EXPECT_EQ(document.type_of(), kJsonNull);
}

TEST(JsonDocumentTest, TwoDocumentsOnOneThreadKeepTheirOwnValues) {
  JsonDocument first;
  JsonDocument second;
  ASSERT_TRUE(first.parse(Text("{\"str\":\"one\"}")));
  ASSERT_TRUE(second.parse(Text("{\"str\":\"two\"}")));
  first.set_member(Text("extra"), Text("1"));
  EXPECT_EQ(first.get_text(Text("str")), Text("one"));
  EXPECT_EQ(second.get_text(Text("str")), Text("two"));
  EXPECT_FALSE(second.has_member(Text("extra")));
}

TEST(JsonDocumentTest, CopySharesTheValueUntilOneOfTheTwoParses) {
  JsonDocument source;
  ASSERT_TRUE(source.parse(Text("{\"str\":\"one\"}")));
  JsonDocument copy(source);
  copy.set_member(Text("str"), Text("changed"));
  EXPECT_EQ(source.get_text(Text("str")), Text("changed"));
  source.set_member(Text("x"), Text("1"));
  EXPECT_TRUE(copy.has_member(Text("x")));

  ASSERT_TRUE(copy.parse(Text("{\"str\":\"two\"}")));
  EXPECT_EQ(copy.get_text(Text("str")), Text("two"));
  EXPECT_EQ(source.get_text(Text("str")), Text("changed"));
  source.set_member(Text("y"), Text("1"));
  EXPECT_FALSE(copy.has_member(Text("y")));

  // A copy made before either was used shares the engine both then use; the copy outlives
  // its source.
  auto early_source = std::make_unique<JsonDocument>();
  JsonDocument early_copy;
  early_copy = *early_source;
  early_copy.set_member(Text("k"), Text("v"));
  EXPECT_EQ(early_source->get_text(Text("k")), Text("v"));
  early_source.reset();
  EXPECT_EQ(early_copy.get_text(Text("k")), Text("v"));
}

TEST(JsonDocumentTest, CountAndMemberNames) {
  struct Case {
    const char* json;
    const char* path;
    int count;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"[1,2,3]", "", 3, {"0", "1", "2"}},
      {"{\"a\":1,\"b\":2}", "", 2, {"a", "b"}},
      {"{\"list\":[\"x\",\"y\"]}", "list", 2, {"0", "1"}},
      {"{}", "", 0, {}},
      {"{\"\xD6\xD0\":1,\"o\":{\"k\":null}}", "", 2, {"\xD6\xD0", "o"}},
      {"{\"o\":{\"k\":null}}", "o", 1, {"k"}},
      {"{\"a\":1}", "missing", -2, {}},  // nothing to enumerate, less the prelude's two
      {"{\"a\":1}", "missing.x", 0, {}},  // the evaluation fails
  };
  for (const auto& c : cases) {
    JsonDocument document;
    ASSERT_TRUE(document.parse(Text(c.json))) << c.json;
    EXPECT_EQ(document.count(Text(c.path)), c.count) << c.json << " " << c.path;
    TextList names = {Text("stale")};
    EXPECT_EQ(document.member_names(names, Text(c.path)), static_cast<int>(c.names.size())) << c.json;
    TextList expected;
    for (const auto& name : c.names) expected.emplace_back(name);
    EXPECT_EQ(names, expected) << c.json << " " << c.path;
  }
}

TEST(JsonDocumentTest, TypeOfClassifiesValues) {
  JsonDocument document;
  ASSERT_TRUE(document.parse(Text("{\"s\":\"x\",\"n\":1,\"z\":null,\"t\":true,\"o\":{},\"a\":[]}")));
  const std::vector<std::pair<const char*, JsonKind>> cases = {
      {"", kJsonObject}, {"s", kJsonString}, {"n", kJsonNumber}, {"z", kJsonNull},    {"missing", kJsonNull},
      {"t", kJsonOther}, {"o", kJsonObject}, {"a", kJsonArray},  {"missing.x", kJsonOther}, {"[0]", kJsonOther},
  };
  for (const auto& [path, kind] : cases) EXPECT_EQ(document.type_of(Text(path)), kind) << path;

  document.reset(kJsonArray);
  EXPECT_EQ(document.type_of(), kJsonArray);
  document.reset(kJsonNumber);  // not a kind reset knows: unchanged
  EXPECT_EQ(document.type_of(), kJsonArray);
  document.reset(kJsonObject);
  EXPECT_EQ(document.type_of(), kJsonObject);
  document.reset(kJsonArray);
  document.reset(kJsonNull);
  EXPECT_EQ(document.type_of(), kJsonObject);
  document.reset(kJsonArray);
  document.clear();
  EXPECT_EQ(document.type_of(), kJsonObject);
  EXPECT_EQ(document.to_json(), Text("{}"));
}

TEST(JsonDocumentTest, SetMemberStoresQuotedTextsAndNothingThatBreaksTheScript) {
  struct Case {
    std::string value;
    bool as_script;
    const char* stored_json;  // "" when nothing is stored
  };
  const std::vector<Case> cases = {
      {"ok", false, "\"ok\""},
      {kChinese, false, ""},  // checked separately through get_text below
      {"a\\tb", false, "\"a\\tb\""},
      {"it's", false, ""},
      {"line\nbreak", false, ""},
      {"[1,2]", true, "[1,2]"},
      {"", true, "{}"},
      {"1+1", true, "2"},
      {"no_such_name", true, ""},
  };
  for (const auto& c : cases) {
    JsonDocument document;
    document.set_member(Text("m"), Text(c.value), c.as_script);
    if (c.value == kChinese) {
      EXPECT_EQ(document.get_text(Text("m")), Text(kChinese));
      continue;
    }
    EXPECT_EQ(document.get_member_json(Text("m")), Text(c.stored_json)) << c.value;
    EXPECT_EQ(document.has_member(Text("m")), *c.stored_json != '\0') << c.value;
  }
}

TEST(JsonDocumentTest, NumbersScriptsAndValues) {
  JsonDocument document;
  document.set_member_script(Text("sum"), Text("1+2"));
  EXPECT_EQ(document.get_number(Text("sum")), 3);
  document.set_member_number(Text("n"), 2.5);
  EXPECT_EQ(document.get_text(Text("n")), Text("2.5"));
  document.set_member_number(Text("n"), 1e20);
  EXPECT_EQ(document.get_text(Text("n")), Text("1e+020"));
  EXPECT_EQ(document.get_number(Text("n")), 1e20);
  document.set_member_number(Text("inf"), std::numeric_limits<double>::infinity());
  document.set_member_number(Text("nan"), std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(document.has_member(Text("inf")));
  EXPECT_FALSE(document.has_member(Text("nan")));
  document.set_member(Text("s"), Text("12.5"));
  EXPECT_EQ(document.get_number(Text("s")), 12.5);
  EXPECT_EQ(document.get_number(Text("missing")), 0);
  document.remove_member(Text("s"));
  EXPECT_FALSE(document.has_member(Text("s")));

  document.set_value(Text("text"));
  EXPECT_EQ(document.to_json(), Text("\"text\""));
  document.set_value(Text("[1,{\"k\":2}]"), true);
  EXPECT_EQ(document.to_json(), Text("[1,{\"k\":2}]"));
  EXPECT_EQ(document.get_element_text(1, Text(), true), Text("{\"k\":2}"));
  EXPECT_EQ(document.get_element_text(0), Text("1"));
  document.set_element(0, Text("a"));
  document.set_element(2, Text("3"), true);
  EXPECT_EQ(document.to_json(), Text("[\"a\",{\"k\":2},3]"));
  document.remove_element(0);
  EXPECT_EQ(document.to_json(), Text("[{\"k\":2},3]"));
}

TEST(JsonDocumentTest, PushReplacesANonArrayWithANewArray) {
  JsonDocument document;
  document.set_member(Text("p"), Text("x"));
  document.push(Text("v"), Text("p"));
  EXPECT_EQ(document.get_member_json(Text("p")), Text("[\"v\"]"));
  document.push(Text("w"), Text("p"));
  document.push(Text("5"), Text("p"), true);
  document.push(Text("it's"), Text("p"));
  EXPECT_EQ(document.get_member_json(Text("p")), Text("[\"v\",\"w\",5]"));
  document.push(Text("first"), Text("fresh"));
  EXPECT_EQ(document.get_member_json(Text("fresh")), Text("[\"first\"]"));
  document.push(Text("whole"));
  EXPECT_EQ(document.to_json(), Text("[\"whole\"]"));
}

TEST(JsonDocumentTest, MemberAndElementDocumentsAreIndependentCopies) {
  JsonDocument document;
  ASSERT_TRUE(document.parse(Text(std::string("{\"o\":{\"a\":\"") + kChinese +
                                  "\"},\"s\":\"while(true){}\",\"arr\":[1,{\"k\":\"v\"}]}")));
  JsonDocument member = document.get_member_document(Text("o"));
  document.set_member(Text("o.a"), Text("changed"));
  EXPECT_EQ(member.get_text(Text("a")), Text(kChinese));
  EXPECT_EQ(member.type_of(), kJsonObject);

  JsonDocument string_member = document.get_member_document(Text("s"));
  EXPECT_EQ(string_member.type_of(), kJsonString);
  EXPECT_EQ(string_member.to_json(), Text("\"while(true){}\""));

  JsonDocument missing = document.get_member_document(Text("missing"));
  EXPECT_EQ(missing.type_of(), kJsonNull);

  JsonDocument element = document.get_element_document(1, Text("arr"));
  EXPECT_EQ(element.get_text(Text("k")), Text("v"));
  JsonDocument by_bracket = document.get_member_document(Text("[\"arr\"]"));
  EXPECT_EQ(by_bracket.count(), 2);
}

TEST(JsonDocumentTest, WithoutAnEngineEveryOperationYieldsItsEmptyValue) {
  auto check_empty = [](JsonDocument& document) {
    EXPECT_FALSE(document.parse(Text("{\"str\":\"a\"}")));
    document.set_member(Text("m"), Text("v"));
    document.push(Text("v"));
    document.reset(kJsonArray);
    EXPECT_EQ(document.get_text(Text("str")), Text());
    EXPECT_EQ(document.get_text(Text("str"), true), Text());
    EXPECT_EQ(document.to_json(), Text());
    EXPECT_EQ(document.get_number(Text("m")), 0);
    EXPECT_EQ(document.count(), 0);
    EXPECT_FALSE(document.has_member(Text("m")));
    EXPECT_EQ(document.type_of(), kJsonOther);
    TextList names = {Text("stale")};
    EXPECT_EQ(document.member_names(names), 0);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(document.get_member_document(Text("m")).type_of(), kJsonOther);
  };
  {
    ScopedEngineFactory failing(no_engine);
    JsonDocument document;
    check_empty(document);
  }
  {
    ScopedEngineFactory throwing([]() -> std::unique_ptr<ScriptEngine> { throw std::runtime_error("no"); });
    JsonDocument document;
    check_empty(document);
  }
  // A document built while no engine could be made stays without one.
  std::unique_ptr<JsonDocument> orphan;
  {
    ScopedEngineFactory failing(no_engine);
    orphan = std::make_unique<JsonDocument>();
  }
  EXPECT_FALSE(orphan->parse(Text("{\"str\":\"a\"}")));
  EXPECT_EQ(orphan->get_text(Text("str")), Text());
  // And an ordinary one works again.
  EXPECT_EQ(parsed(Text("{\"str\":\"a\"}")).get_text(Text("str")), Text("a"));
}

TEST(JsonDocumentTest, InitEngineStartsAFreshValue) {
  JsonDocument document;
  ASSERT_TRUE(document.parse(Text("{\"str\":\"a\"}")));
  JsonDocument copy(document);
  document.init_engine();
  EXPECT_EQ(document.to_json(), Text("{}"));
  EXPECT_EQ(copy.get_text(Text("str")), Text("a"));
  EXPECT_EQ(document.count(), 0);  // the prelude runs in the new instance
}

TEST(JsonDocumentTest, HostileInputReturnsWithoutCrashOrHang) {
  std::mt19937 random(20240601);
  std::string noise(10u << 20, '\0');
  for (auto& byte : noise) byte = static_cast<char>(random() & 0xFF);

  std::string huge_number = "{\"n\":1" + std::string(400, '0') + "}";
  std::string long_fraction = "0." + std::string(100000, '7');
  std::string long_string = "{\"str\":\"" + std::string(2u << 20, 'x') + "\"}";
  std::string wide_array = "[" ;
  for (int i = 0; i < 100000; ++i) wide_array += i == 0 ? "0" : ",0";
  wide_array += "]";
  auto nested = [](int depth, const char* open, const char* close, const char* core = "") {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += core;
    for (int i = 0; i < depth; ++i) text += close;
    return text;
  };

  struct Case {
    const char* name;
    std::string json;
    bool result;
  };
  const std::vector<Case> cases = {
      {"10 MB of random bytes", noise, false},
      {"100,000 open brackets", std::string(100000, '['), false},
      {"100,000 nested arrays", nested(100000, "[", "]"), false},
      {"100,000 nested objects", nested(100000, "{\"a\":", "}", "0"), false},
      {"999 nested arrays", nested(999, "[", "]"), true},
      {"1,001 nested arrays", nested(1001, "[", "]"), false},
      {"999 nested objects", nested(999, "{\"a\":", "}", "0"), true},
      {"invalid GBK and UTF-8 in a string", "{\"str\":\"\x81\xFF\x80\xC0\xAF\xED\xA0\x80\"}", true},
      {"invalid bytes outside strings", "{\"str\":\"a\"}\x81", false},
      {"a NUL byte ends the text", std::string("{\"str\":\"a\"}\0garbage", 19), true},
      {"a NUL byte inside a string", std::string("{\"str\":\"a\0b\"}", 13), false},
      {"a huge number", huge_number, true},
      {"a number with 100,000 digits", long_fraction, true},
      {"a 2 MB string", long_string, true},
      {"100,000 elements", wide_array, true},
  };
  for (const auto& c : cases) {
    JsonDocument document;
    EXPECT_EQ(document.parse(Text(c.json)), c.result) << c.name;
    static_cast<void>(document.get_text(Text("str")));
    static_cast<void>(document.get_text(Text("n")));
    static_cast<void>(document.get_text(Text("[0]")));
    static_cast<void>(document.get_text(Text("a")));
    static_cast<void>(document.to_json());
    static_cast<void>(document.count());
  }
  EXPECT_EQ(parsed(Text(huge_number)).get_text(Text("n")), Text("inf"));
  EXPECT_EQ(parsed(Text(long_string)).get_text(Text("str")).size(), 2u << 20);
  EXPECT_EQ(parsed(Text(wide_array)).count(), 100000);
}

TEST(JsonDocumentTest, DocumentsOnSeparateThreadsAreIndependent) {
  std::vector<std::thread> threads;
  std::vector<int> matches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &matches] {
      JsonDocument document;
      for (int i = 0; i < 10; ++i) {
        const std::string value = std::to_string(t) + "-" + std::to_string(i);
        static_cast<void>(document.parse(Text("{\"str\":\"" + value + "\",\"ck\":" + std::to_string(i) + "}")));
        if (document.get_text(Text("str")) == Text(value) && document.get_text(Text("ck")) == Text(std::to_string(i)))
          ++matches[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(matches, std::vector<int>(4, 10));
}

}  // namespace
}  // namespace kestrin
