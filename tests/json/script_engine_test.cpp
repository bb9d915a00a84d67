// The Duktape engine: the conversion table, the GBK boundary, JSON read as data, the memory
// budget, the factory, and the number texts.
#include "json/script_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "json/text_printer.h"

namespace kestrin {
namespace {

std::unique_ptr<ScriptEngine> javascript_engine(std::size_t memory_limit = kDefaultScriptMemoryLimit) {
  auto engine = create_duktape_engine(memory_limit);
  if (engine) engine->set_language(Text("JavaScript"));
  return engine;
}

struct TextCase {
  const char* script;
  const char* expected;
};

TEST(ScriptEngineTest, EvalTextFollowsTheConversionTable) {
  const std::vector<TextCase> cases = {
      {"85", "85"},
      {"0.5", "0.5"},
      {"1/3", "0.333333333333333"},
      {"0.1+0.2", "0.3"},
      {"-0", "0"},
      {"1e20", "100000000000000000000"},
      {"1e21", "1e+21"},
      {"Math.pow(2,53)", "9007199254740992"},
      {"1.5e-7", "1.5e-07"},
      {"0/0", "NaN"},
      {"-1/0", "-Infinity"},
      {"true", "-1"},
      {"false", "0"},
      {"null", ""},
      {"undefined", ""},
      {"var x=1", ""},
      {"'abc'", "abc"},
      {"''", ""},
      {"({a:1})", "[object Object]"},
      {"[1,'a',true,null]", "1,a,true,"},
      {"[[1,2],[3]]", "1,2,3"},
      {"({toString:function(){return 'own'}})", "own"},
      {"var s=''; for (var i=0;i<3;i++) {s=s+i;}", "012"},
      // Failures yield empty text.
      {"syntax error here", ""},
      {"undefined_name", ""},
      {"null.member", ""},
      {"throw new Error('x')", ""},
      {"Object.create(null)", ""},
      {"Symbol('s')", ""},
      {"({toString:function(){throw 1}})", ""},
  };
  auto engine = javascript_engine();
  ASSERT_NE(engine, nullptr);
  for (const auto& c : cases) {
    EXPECT_EQ(engine->eval_text(Text(c.script)), Text(c.expected)) << c.script;
  }
}

TEST(ScriptEngineTest, EvalNumberFollowsTheConversionTable) {
  const std::vector<std::pair<const char*, double>> cases = {
      {"85", 85},           {"-2.5", -2.5},        {"2*21", 42},   {"'85'", 85},
      {"' 12.5 '", 12.5},   {"'-1e3'", -1000},     {"'+7'", 7},           {"'abc'", 0},
      {"'12abc'", 0},       {"'0x10'", 0},         {"''", 0},             {"true", -1},
      {"false", 0},         {"null", 0},           {"undefined", 0},      {"[5]", 5},
      {"[5,6]", 0},         {"({})", 0},           {"no_such_name", 0},   {"'Infinity'", 0},
  };
  auto engine = javascript_engine();
  ASSERT_NE(engine, nullptr);
  for (const auto& [script, expected] : cases) {
    EXPECT_EQ(engine->eval_number(Text(script)), expected) << script;
  }
  EXPECT_TRUE(std::isnan(engine->eval_number(Text("0/0"))));
}

TEST(ScriptEngineTest, EvalBoolTakesComparisonsAndFailsFalse) {
  const std::vector<std::pair<const char*, bool>> cases = {
      {"1==1", true}, {"1==2", false}, {"null !=null", false}, {"2", true},
      {"0", false},   {"'x'", false},  {"(", false},           {"no_such_name==1", false},
  };
  auto engine = javascript_engine();
  ASSERT_NE(engine, nullptr);
  for (const auto& [script, expected] : cases) {
    EXPECT_EQ(engine->eval_bool(Text(script)), expected) << script;
  }
}

TEST(ScriptEngineTest, GbkCrossesTheBoundaryBothWays) {
  const Text zhongwen("\xD6\xD0\xCE\xC4");  // 中文
  const std::vector<TextCase> cases = {
      {"'\xD6\xD0\xCE\xC4'", "\xD6\xD0\xCE\xC4"},
      {"'\xD6\xD0\xCE\xC4'.length", "2"},
      {"var \xD6\xD0=5; \xD6\xD0*2", "10"},                        // a Chinese identifier
      {"'\\u4e2d'", "\xD6\xD0"},                                  // escapes come back in GBK
      {"'\\u00e9\\u20ac'", "\xA8\xA6\x80"},                       // e acute, euro sign
      {"'a\\ud83d\\ude00b'", "a?b"},                              // outside the BMP: one "?"
      {"'\\ud83d\\ude00'.length", "2"},                           // a pair of UTF-16 units
      {"'\\ud800x\\udc00'", "?x?"},                               // lone surrogates
      {"'\\u0e01\\u0e02'", "??"},                                 // no GBK form
      {"'a\\u0000b'", "a"},                                       // ends at U+0000
      {"'\\u0000'", ""},
  };
  auto engine = javascript_engine();
  ASSERT_NE(engine, nullptr);
  for (const auto& c : cases) {
    EXPECT_EQ(engine->eval_text(Text(c.script)), Text(c.expected)) << c.script;
  }
  EXPECT_TRUE(engine->add_code(Text("var kept='\xD6\xD0\xCE\xC4'")));
  EXPECT_EQ(engine->eval_text(Text("kept")), zhongwen);
}

TEST(ScriptEngineTest, RunsOnlyJavaScriptAndOnlyOnceTheLanguageIsSet) {
  auto engine = create_duktape_engine();
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->eval_text(Text("1+1")), Text());
  EXPECT_FALSE(engine->add_code(Text("var a=1")));
  EXPECT_FALSE(engine->assign_json(Text("da"), Text("{}")));
  EXPECT_FALSE(engine->set_language(Text("VBScript")));
  EXPECT_EQ(engine->eval_text(Text("1+1")), Text());
  EXPECT_TRUE(engine->set_language(Text("jscript")));
  EXPECT_EQ(engine->eval_text(Text("1+1")), Text("2"));
  EXPECT_TRUE(engine->set_language(Text("JavaScript")));
  EXPECT_EQ(engine->eval_text(Text("1+1")), Text("2"));
}

TEST(ScriptEngineTest, AddCodeRunsGlobalCodeInEachInstanceOfItsOwn) {
  const Text code("function twice(x){return 2*x}var counter=(typeof counter=='number'?counter:0)+1");
  auto first = javascript_engine();
  auto second = javascript_engine();  // the same code again: taken from the compiled form
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(first->add_code(code));
  EXPECT_TRUE(first->add_code(code));
  EXPECT_TRUE(second->add_code(code));
  EXPECT_EQ(first->eval_text(Text("twice(21)")), Text("42"));
  EXPECT_EQ(second->eval_text(Text("twice(4)")), Text("8"));
  EXPECT_EQ(first->eval_text(Text("counter")), Text("2"));
  EXPECT_EQ(second->eval_text(Text("counter")), Text("1"));

  EXPECT_FALSE(first->add_code(Text("function (")));
  EXPECT_FALSE(first->add_code(Text("var partial=1; throw 1")));
  EXPECT_EQ(first->eval_text(Text("partial")), Text("1"));
  EXPECT_EQ(first->eval_text(Text("twice(1)")), Text("2"));
}

TEST(ScriptEngineTest, AssignJsonReadsDataAndNeverRunsIt) {
  struct Case {
    const char* json;
    bool accepted;
    const char* stored;  // JSON.stringify of the global afterwards
  };
  const std::vector<Case> cases = {
      {"{\"a\":1,\"b\":[true,null]}", true, "{\"a\":1,\"b\":[true,null]}"},
      {" \r\n[1, 2]\t", true, "[1,2]"},
      {"\"while(true){}\"", true, "\"while(true){}\""},
      {"\"\xD6\xD0\"", true, "\"\xD6\xD0\""},
      {"null", true, "null"},
      {"0", true, "0"},
      {"1e999", true, "null"},
      {"{\"__proto__\":{\"x\":1}}", true, "{\"__proto__\":{\"x\":1}}"},
      {"", false, "\"before\""},
      {"while(true){}", false, "\"before\""},
      {"(function(){before='ran';return 1})()", false, "\"before\""},
      {"{'a':1}", false, "\"before\""},
      {"{a:1}", false, "\"before\""},
      {"[1,]", false, "\"before\""},
      {"{\"a\":1", false, "\"before\""},
      {"<html><body>502</body></html>", false, "\"before\""},
      {"/*c*/1", false, "\"before\""},
      {"1 2", false, "\"before\""},
      {"NaN", false, "\"before\""},
      {"\xFF\xFE", false, "\"before\""},
  };
  auto engine = javascript_engine();
  ASSERT_NE(engine, nullptr);
  for (const auto& c : cases) {
    engine->eval(Text("var da='before'"));
    EXPECT_EQ(engine->assign_json(Text("da"), Text(c.json)), c.accepted) << c.json;
    EXPECT_EQ(engine->eval_text(Text("JSON.stringify(da)")), Text(c.stored)) << c.json;
  }
  // A "__proto__" member is data, not the prototype.
  EXPECT_TRUE(engine->assign_json(Text("da"), Text("{\"__proto__\":{\"x\":1}}")));
  EXPECT_EQ(engine->eval_text(Text("typeof da.x")), Text("undefined"));
}

TEST(ScriptEngineTest, MemoryBudgetTurnsRunawayGrowthIntoAFailedEvaluation) {
  auto engine = javascript_engine(std::size_t{8} << 20);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->eval_text(Text("var a=[]; for(;;) a.push('grow'+a.length)")), Text());
  EXPECT_EQ(engine->eval_text(Text("a=null; 6*7")), Text("42"));
  EXPECT_FALSE(engine->assign_json(Text("big"), Text("\"" + std::string(10u << 20, 'x') + "\"")));
  EXPECT_EQ(engine->eval_text(Text("typeof big")), Text("undefined"));
}

TEST(ScriptEngineTest, MemberPathShapesGiveWhatCompilingThemGives) {
  // Each path in each shape, against the same script in parentheses (always compiled).
  const std::vector<std::string> paths = {
      "da",          "da.s",         "da.n",         "da.z",          "da.t",        "da.o",
      "da.o.a.b",    "da.arr",       "da.arr.length", "da.f",         "da.u",        "da.missing",
      "da.missing.x", "da.z.x",      "da.s.length",  "da.n.toFixed",  "no_global",   "no_global.x",
      "undefined",   "NaN",          "da.__proto__", "da.class",      "true",        "this",
      "da.o.a.b.c",  "da.$_1",       "da.o..a",      "da.o.",         "1da",         "da.s.x.y"};
  auto engine = javascript_engine();
  ASSERT_NE(engine, nullptr);
  ASSERT_TRUE(engine->add_code(Text(
      "var da={s:'x',n:1.5,z:null,t:true,o:{a:{b:2}},arr:[1,2],f:function(){},u:undefined,'class':'c',$_1:'d'}")));
  for (const auto& p : paths) {
    const std::string q = "(" + p + ")";
    EXPECT_EQ(engine->eval_text(Text(p)), engine->eval_text(Text(q))) << p;
    EXPECT_EQ(engine->eval_text(Text(p + "==null")), engine->eval_text(Text(q + "==null"))) << p;
    EXPECT_EQ(engine->eval_text(Text("null !=" + p)), engine->eval_text(Text("null !=" + q))) << p;
    EXPECT_EQ(engine->eval_text(Text("typeof (" + p + ")")), engine->eval_text(Text("typeof (" + q + ")"))) << p;
  }
  EXPECT_EQ(engine->eval_text(Text("typeof (no_global)")), Text("undefined"));
  EXPECT_EQ(engine->eval_text(Text("typeof (no_global.x)")), Text());
  EXPECT_EQ(engine->eval_text(Text("da.missing.x==null")), Text());

  EXPECT_EQ(engine->eval_text(Text("var fresh={}")), Text());
  EXPECT_EQ(engine->eval_text(Text("JSON.stringify(fresh)")), Text("{}"));
  engine->eval(Text("var da=null"));
  EXPECT_EQ(engine->eval_text(Text("da==null")), Text("-1"));
  EXPECT_EQ(engine->eval_text(Text("Object.getOwnPropertyDescriptor(this,'fresh').configurable")), Text("-1"));
}

TEST(ScriptEngineTest, FactoryCanBeReplacedAndRestored) {
  auto previous = set_script_engine_factory([] { return std::unique_ptr<ScriptEngine>(); });
  EXPECT_EQ(create_script_engine(), nullptr);
  set_script_engine_factory(previous);
  EXPECT_NE(create_script_engine(), nullptr);
  set_script_engine_factory({});  // empty: Duktape again
  EXPECT_NE(create_script_engine(), nullptr);
}

TEST(NumberTextTest, PlainForm) {
  const std::vector<std::pair<double, const char*>> cases = {
      {85, "85"},
      {-3, "-3"},
      {0.0, "0"},
      {-0.0, "0"},
      {0.5, "0.5"},
      {1.0 / 3, "0.333333333333333"},
      {123456789012345678.0, "123456789012345680"},
      {1e21, "1e+21"},
      {1e-7, "1e-07"},
      {std::numeric_limits<double>::infinity(), "Infinity"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(number_to_plain_text(value), Text(expected)) << expected;
}

TEST(NumberTextTest, ThirteenDigitFormWithThreeDigitExponent) {
  const std::vector<std::pair<double, const char*>> cases = {
      {85, "85"},
      {0.5, "0.5"},
      {1.0 / 3, "0.3333333333333"},
      {1e20, "1e+020"},
      {1e-5, "1e-005"},
      {0.0001, "0.0001"},
      {1234567890123.0, "1234567890123"},
      {12345678901234.0, "1.234567890123e+013"},
      {-2.5e-300, "-2.5e-300"},
      {0.0, "0"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(number_to_g13_text(value), Text(expected)) << expected;
}

TEST(NumberTextTest, TextToNumberReadsOnlyWholeDecimalNumbers) {
  const std::vector<std::pair<const char*, double>> cases = {
      {"85", 85},   {" -2.5e1 ", -25}, {"+.5", 0.5}, {"1.", 1},  {"", 0},    {"-", 0},
      {".", 0},     {"1e", 0},         {"1,5", 0},   {"inf", 0}, {"nan", 0}, {"1e999", 0},
      {"\t7\n", 7}, {"0x1A", 0},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(text_to_number(Text(text)), expected) << text;
}

}  // namespace
}  // namespace kestrin
