// The single-article pipeline end to end, against the stand-in primary service on loopback.
#include "rewrite/article.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "support/stand_in/stand_in.h"
#include "support/stand_in/stand_in_environment.h"
#include "support/stand_in/wire.h"

namespace kestrin {

// Failure messages show texts as UTF-8, control bytes escaped.
static void PrintTo(const Text& text, std::ostream* out) {
  *out << '"';
  for (const char c : test_support::utf8(text.view())) {
    if (c == '\\') {
      *out << "\\\\";
    } else if (c == '\r') {
      *out << "\\r";
    } else if (c == '\n') {
      *out << "\\n";
    } else {
      *out << c;
    }
  }
  *out << '"';
}

namespace {

using test_support::gbk;
using test_support::kPrimaryMarkUtf8;
using test_support::kStandInSigningKey;
using test_support::primary_check_utf8;
using test_support::RecordedRequest;
using test_support::shared_stand_in;
using test_support::StandIn;
using test_support::StandInSettings;
namespace wire = test_support::wire;

std::string marks(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += kPrimaryMarkUtf8;
  return out;
}

// The form body the client must send for a UTF-8 text (line breaks already folded).
std::string expected_body(std::string_view sent_utf8) {
  const std::string payload = wire::base64_encode(sent_utf8);
  return "id=vip&user=admin&str=" + payload + "&num=1&sign=" +
         wire::md5_hex(std::string(kStandInSigningKey) + payload);
}

Text gbk_text(std::string_view utf8) { return Text(gbk(utf8)); }

class RewriteArticleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(stand_in().reset()); }

  static StandIn& stand_in() { return shared_stand_in(); }

  static void configure(const StandInSettings& settings) { ASSERT_TRUE(stand_in().configure(settings)); }

  static std::vector<RecordedRequest> requests() { return stand_in().requests(); }
};

TEST_F(RewriteArticleTest, EachPassSendsThePreviousStrSigned) {
  const std::string article = "锦瑟无端五十弦，一弦一柱思华年。";
  for (const int passes : {1, 3}) {
    SCOPED_TRACE(passes);
    ASSERT_TRUE(stand_in().reset());

    const RewriteResult result = rewrite_article(gbk_text(article), passes);

    EXPECT_EQ(result.output, gbk_text(marks(passes) + article));
    EXPECT_EQ(result.check_data, gbk_text(primary_check_utf8(passes)));
    const auto sent = requests();
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(passes));
    for (int k = 0; k < passes; ++k) {
      const RecordedRequest& r = sent[static_cast<std::size_t>(k)];
      SCOPED_TRACE(k + 1);
      EXPECT_EQ(r.method, "POST");
      EXPECT_EQ(r.target, "/api.php");
      EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
      EXPECT_EQ(r.body, expected_body(marks(k) + article));
      EXPECT_EQ(r.outcome, "ok");
      // Chaining: the payload is the Base64 of the UTF-8 of the previous reply's str.
      if (k > 0) {
        EXPECT_EQ(r.text, sent[static_cast<std::size_t>(k - 1)].reply_str);
      }
    }
  }
}

TEST_F(RewriteArticleTest, PassesBelowOneSendNothing) {
  for (const int passes : {0, -1, INT_MIN}) {
    SCOPED_TRACE(passes);
    const RewriteResult result = rewrite_article(gbk_text("你好"), passes);
    EXPECT_EQ(result.output, Text());
    EXPECT_EQ(result.check_data, Text());
  }
  const auto stats = stand_in().stats();
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(stats->service_requests, 0);
}

TEST_F(RewriteArticleTest, EmptyArticleSendsEveryPassSignedWithTheKeyAlone) {
  const RewriteResult result = rewrite_article(Text(), 3);

  const auto sent = requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].body, "id=vip&user=admin&str=&num=1&sign=" + wire::md5_hex(kStandInSigningKey));
  EXPECT_EQ(sent[0].body.size(), 66u);
  EXPECT_EQ(sent[1].body, expected_body(marks(1)));
  EXPECT_EQ(sent[2].body, expected_body(marks(2)));
  EXPECT_EQ(result.output, gbk_text(marks(3)));
  EXPECT_EQ(result.check_data, gbk_text(primary_check_utf8(3)));
}

// CR LF travels as backslash-n and comes back as CR LF; anything else is sent as it stands.
TEST_F(RewriteArticleTest, LineBreaks) {
  struct Case {
    std::string name;
    std::string article;  // UTF-8; sent and shown in GBK
    std::string sent;     // the text the service decodes from the first payload
    std::string output;   // after two passes
  };
  const Case cases[] = {
      {"crlf", "床前明月光，\r\n疑是地上霜。\r\n", "床前明月光，\\n疑是地上霜。\\n",
       marks(2) + "床前明月光，\r\n疑是地上霜。\r\n"},
      {"lone lf", "上\n下", "上\n下", marks(2) + "上\n下"},
      {"lone cr", "上\r下", "上\r下", marks(2) + "上\r下"},
      {"cr cr lf", "a\r\r\nb", "a\r\\nb", marks(2) + "a\r\r\nb"},
      {"typed backslash-n", "a\\nb", "a\\nb", marks(2) + "a\r\nb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(stand_in().reset());

    const RewriteResult result = rewrite_article(gbk_text(c.article), 2);

    const auto sent = requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].text, c.sent);
    EXPECT_EQ(sent[1].text, marks(1) + c.sent);  // the str is sent on without folding again
    EXPECT_EQ(result.output, gbk_text(c.output));
  }
}

// A failed or unusable reply on one pass: the next pass sends an empty payload; on the
// last pass both results are empty.
TEST_F(RewriteArticleTest, FailedPass) {
  struct Case {
    std::string fault;
    long long failing_pass;
    std::string output;  // after two passes, UTF-8
    std::string check;
  };
  const Case cases[] = {
      {"drop", 2, "", ""},
      {"cut", 2, "", ""},
      {"http500", 2, "", ""},
      {"drop", 1, marks(1), primary_check_utf8(1)},
      {"cut", 1, marks(1), primary_check_utf8(1)},
      {"http500", 1, marks(1), primary_check_utf8(1)},
      {"truncated", 1, marks(1), primary_check_utf8(1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault + " on pass " + std::to_string(c.failing_pass));
    ASSERT_TRUE(stand_in().reset());
    configure({.fault = c.fault, .fault_at = {c.failing_pass}});

    const RewriteResult result = rewrite_article(gbk_text("春眠不觉晓\r\n处处闻啼鸟"), 2);

    EXPECT_EQ(result.output, gbk_text(c.output));
    EXPECT_EQ(result.check_data, gbk_text(c.check));
    const auto sent = requests();
    ASSERT_EQ(sent.size(), 2u);
    if (c.failing_pass == 1) {
      EXPECT_EQ(sent[1].body, "id=vip&user=admin&str=&num=1&sign=" + wire::md5_hex(kStandInSigningKey));
    }
  }
}

// Replies of every shape, one pass each: what is not JSON reads as empty members; members
// of other types read as their text.
TEST_F(RewriteArticleTest, ReplyShapes) {
  const std::string article = "白日依山尽";
  const std::string str = marks(1) + article;
  const std::string ck = primary_check_utf8(1);
  struct Case {
    std::string fault;
    std::string output;  // UTF-8
    std::string check;
  };
  const Case cases[] = {
      {"none", str, ck},
      {"truncated", "", ""},
      {"nul", "", ""},          // the reply is read up to its NUL byte: truncated JSON
      {"nul_after", str, ck},   // a NUL after the whole JSON: the JSON reads
      {"html", "", ""},
      {"http500", "", ""},
      {"empty", "", ""},
      {"no_str", "", ck},
      {"no_ck", str, ""},
      {"ck_number", str, "85"},
      {"ck_true", str, "-1"},
      {"str_number", "85", ck},
      {"invalid_utf8", str + "?", ck},
      {"non_gbk", str + "?", ck},  // what GBK lacks does not survive
      {"crlf", str + "\r\n", ck},  // a CR LF the service puts in str is shown as it comes
      {"huge", str, ck},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_TRUE(stand_in().reset());
    configure({.fault = c.fault, .huge_bytes = std::size_t{4} << 20});

    const RewriteResult result = rewrite_article(gbk_text(article), 1);

    EXPECT_EQ(result.output, gbk_text(c.output));
    EXPECT_EQ(result.check_data, gbk_text(c.check));
  }
}

// A later pass sends the previous str as decode_reply gave it: converted to GBK once (what
// GBK lacks is lost) and not folded again (a CR LF the service put in travels as it is).
TEST_F(RewriteArticleTest, LaterPassesSendTheStrAsItCame) {
  struct Case {
    std::string fault;
    std::string sent;  // the text of the second request, UTF-8
  };
  const Case cases[] = {
      {"non_gbk", marks(1) + "海上生明月?"},
      {"crlf", marks(1) + "海上生明月\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_TRUE(stand_in().reset());
    configure({.fault = c.fault, .fault_at = {1}});

    const RewriteResult result = rewrite_article(gbk_text("海上生明月"), 2);

    const auto sent = requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].text, c.sent);
    EXPECT_EQ(result.output, gbk_text(marks(1) + c.sent));
  }
}

TEST_F(RewriteArticleTest, CookieIsSentBackFromTheSecondPassOn) {
  (void)rewrite_article(gbk_text("红豆生南国"), 3);

  const auto sent = requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_FALSE(sent[0].cookie_returned);
  EXPECT_TRUE(sent[1].cookie_returned) << sent[1].cookie;
  EXPECT_TRUE(sent[2].cookie_returned) << sent[2].cookie;
  const auto stats = stand_in().stats();
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(stats->cookie_returned, 2);
}

}  // namespace
}  // namespace kestrin
