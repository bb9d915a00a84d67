// The stand-in services themselves: what they accept and reject, how faults are chosen, and
// that they answer many requests at once. The tool's own tests rely on all of this.
#include "support/stand_in/stand_in.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "support/stand_in/wire.h"

namespace kestrin::test_support {
namespace {

std::string form(std::string_view payload, std::string_view signature) {
  return "id=vip&user=admin&str=" + std::string(payload) + "&num=1&sign=" + std::string(signature);
}

std::string signed_form(std::string_view utf8_text) {
  const std::string payload = wire::base64_encode(utf8_text);
  return form(payload, wire::md5_hex(std::string(kStandInSigningKey) + payload));
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string upload(std::string_view file_name, std::string_view content) {
  const std::string d = "------WebKitFormBoundaryB7BfOcAAFtzC33eK";
  return d + "\r\nContent-Disposition: form-data; name=\"num\"\r\n\r\n1\r\n" + d +
         "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + std::string(file_name) +
         "\"\r\nContent-Type: text/plain\r\n\r\n" + std::string(content) + "\r\n" + d + "--";
}
constexpr std::string_view kUploadType =
    "Content-Type:multipart/form-data; boundary=----WebKitFormBoundaryB7BfOcAAFtzC33eK\r\n";

class StandInTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { stand_in_ = new StandIn; }
  static void TearDownTestSuite() {
    delete stand_in_;
    stand_in_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(stand_in_->ok()) << stand_in_->error();
    ASSERT_TRUE(stand_in_->reset());
  }

  // The JSON answer to a POST of `body` to /api.php.
  static wire::JsonValue post(std::string_view body, std::string_view headers = {}) {
    const auto reply = stand_in_->exchange("POST", "/api.php", body, headers);
    EXPECT_TRUE(reply.has_value());
    if (!reply) return {};
    EXPECT_EQ(reply->first, 200);
    return wire::json_read(reply->second).value_or(wire::JsonValue{});
  }

  static StandIn* stand_in_;
};
StandIn* StandInTest::stand_in_ = nullptr;

TEST_F(StandInTest, PrimaryRewritesASignedForm) {
  const auto reply = post(signed_form("你好\\n世界"));
  EXPECT_EQ(reply.text("str"), "【改】你好\\n世界");
  EXPECT_EQ(reply.text("ck"), primary_check_utf8(1));

  const auto again = post(signed_form(reply.text("str")));
  EXPECT_EQ(again.text("ck"), primary_check_utf8(2));
}

TEST_F(StandInTest, PrimaryRejectsMalformedForms) {
  const std::string payload = wire::base64_encode("abc");
  const std::string sign = wire::md5_hex(std::string(kStandInSigningKey) + payload);
  struct Case {
    std::string name;
    std::string body;
    std::string error_start;
  };
  const Case cases[] = {
      {"fields out of order", "user=admin&id=vip&str=" + payload + "&num=1&sign=" + sign, "bad form"},
      {"extra field", form(payload, sign) + "&x=1", "bad form"},
      {"missing field", "id=vip&user=admin&str=" + payload + "&sign=" + sign, "bad form"},
      {"num not 1", "id=vip&user=admin&str=" + payload + "&num=3&sign=" + sign, "bad form"},
      {"wrong signature", form(payload, wire::md5_hex(payload)), "bad signature"},
      {"upper-case signature", form(payload, upper(sign)), "bad signature"},
      {"empty signature", form(payload, ""), "bad signature"},
      {"not Base64", form("a*c=", wire::md5_hex(std::string(kStandInSigningKey) + "a*c=")), "bad payload"},
      {"not UTF-8", form("/w==", wire::md5_hex(std::string(kStandInSigningKey) + "/w==")), "bad payload"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto reply = post(c.body);
    EXPECT_EQ(reply.find("str"), nullptr);
    EXPECT_TRUE(reply.text("error").starts_with(c.error_start)) << reply.text("error");
  }
  const auto stats = stand_in_->stats();
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(stats->rejected, static_cast<long long>(std::size(cases)));
}

TEST_F(StandInTest, BatchRecordsTheUploadAndRewritesItsText) {
  const std::string gbk_name = gbk("文章.txt");
  struct Case {
    std::string content;
    std::string str;
  };
  const Case cases[] = {
      {"plain text\r\nline 2", "【批】plain text\r\nline 2"},
      {gbk("中文内容"), "【批】中文内容"},  // not UTF-8: read as GBK
      {"", "【批】"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(stand_in_->reset());
    const auto reply = post(upload(gbk_name, c.content), kUploadType);
    EXPECT_EQ(reply.text("str"), c.str);
    const auto recorded = stand_in_->requests();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].service, "batch");
    EXPECT_EQ(recorded[0].file_name, gbk_name);
    EXPECT_EQ(recorded[0].content, c.content);
    EXPECT_EQ(recorded[0].num, "1");
  }
  const auto bad = post("--x\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nabc\r\n--x--",
                        "Content-Type: multipart/form-data; boundary=x\r\n");
  EXPECT_TRUE(bad.text("error").starts_with("bad upload")) << bad.text("error");
}

TEST_F(StandInTest, FaultsFallOnTheSelectedRequests) {
  struct Case {
    std::string name;
    StandInSettings settings;
    std::vector<bool> faulted;  // requests 1..n
  };
  const Case cases[] = {
      {"at", {.fault = "no_str", .fault_at = {2, 4}}, {false, true, false, true, false}},
      {"every", {.fault = "no_str", .fault_every = 2}, {false, true, false, true, false}},
      {"next", {.fault = "no_str", .fault_next = 2}, {true, true, false, false, false}},
      {"always", {.fault = "no_str"}, {true, true, true, true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(stand_in_->reset());
    ASSERT_TRUE(stand_in_->configure(c.settings));
    for (std::size_t i = 0; i < c.faulted.size(); ++i) {
      EXPECT_EQ(post(signed_form("x")).find("str") == nullptr, c.faulted[i]) << "request " << i + 1;
    }
  }
  // A share of failures repeats exactly for the same seed.
  std::vector<std::string> runs[2];
  for (auto& run : runs) {
    ASSERT_TRUE(stand_in_->reset());
    ASSERT_TRUE(stand_in_->configure({.fault = "no_str", .fault_share = 0.5, .fault_seed = 42}));
    for (int i = 0; i < 40; ++i) (void)post(signed_form("x"));
    for (const auto& r : stand_in_->requests()) run.push_back(r.fault);
  }
  EXPECT_EQ(runs[0], runs[1]);
  const auto faulted = std::count(runs[0].begin(), runs[0].end(), "no_str");
  EXPECT_GT(faulted, 5);
  EXPECT_LT(faulted, 35);
}

TEST_F(StandInTest, AnswersManyRequestsAtOnce) {
  ASSERT_TRUE(stand_in_->configure({.delay_ms = 200}));
  constexpr int kClients = 48;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&answered, i] {
      const auto reply = stand_in_->exchange("POST", "/api.php", signed_form("第" + std::to_string(i) + "篇"));
      if (reply && reply->second.find("第" + std::to_string(i) + "篇") != std::string::npos) ++answered;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(answered.load(), kClients);
  const auto stats = stand_in_->stats();
  ASSERT_TRUE(stats.has_value());
  EXPECT_GE(stats->max_in_flight, 16);
}

}  // namespace
}  // namespace kestrin::test_support
