// Tests of the wire formats of the two rewriting services.
#include "rewrite/protocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "text/text_ops.h"

namespace kestrin {
namespace {

Text T(const std::string& s) { return Text(s); }

const std::string kDelimiter = "------WebKitFormBoundaryB7BfOcAAFtzC33eK";

TEST(ProtocolConstants, ExactTexts) {
  EXPECT_EQ(signing_key(), Text("c60f1a2b7d8e09f"));
  EXPECT_EQ(upload_boundary(), Text("----WebKitFormBoundaryB7BfOcAAFtzC33eK"));
  EXPECT_EQ(upload_boundary().size(), 38u);
  EXPECT_EQ(upload_header_text(),
            Text("Content-Type:multipart/form-data; boundary=----WebKitFormBoundaryB7BfOcAAFtzC33eK"
                 "\r\n\r\n"));
  EXPECT_EQ(upload_header_text().size(), 85u);
}

TEST(ProtocolFormBody, ArticleNiHao) {
  const Text article = T("\xC4\xE3\xBA\xC3");  // 你好
  const Text payload = encode_payload(article);
  EXPECT_EQ(payload, Text("5L2g5aW9"));
  const Text signature = sign_payload(payload);
  EXPECT_EQ(signature, Text("515e42bab0a0d77b79b572d844c350dd"));  // md5("c60f1a2b7d8e09f5L2g5aW9")
  const Text body = build_form_body(payload, signature);
  EXPECT_EQ(body, Text("id=vip&user=admin&str=5L2g5aW9&num=1&sign=515e42bab0a0d77b79b572d844c350dd"));
  EXPECT_EQ(body.size(), 74u);
}

TEST(ProtocolFormBody, EmptyArticleSignsTheKeyAlone) {
  const Text payload = encode_payload(Text());
  EXPECT_EQ(payload, Text());
  const Text signature = sign_payload(payload);
  EXPECT_EQ(signature, Text("0f4035f21af6cb3ead012f87edae74e8"));  // md5("c60f1a2b7d8e09f")
  const Text body = build_form_body(payload, signature);
  EXPECT_EQ(body, Text("id=vip&user=admin&str=&num=1&sign=0f4035f21af6cb3ead012f87edae74e8"));
  EXPECT_EQ(body.size(), 66u);
}

TEST(ProtocolFormBody, NothingIsEscaped) {
  struct Case {
    const char* payload;
    const char* signature;
    const char* body;
  };
  const Case cases[] = {
      {"YQ==", "s", "id=vip&user=admin&str=YQ==&num=1&sign=s"},
      {"YWI=", "s", "id=vip&user=admin&str=YWI=&num=1&sign=s"},
      {"fn5+Pz8/", "s", "id=vip&user=admin&str=fn5+Pz8/&num=1&sign=s"},
      {"YQ==", "", "id=vip&user=admin&str=YQ==&num=1&sign="},
  };
  for (const Case& c : cases) EXPECT_EQ(build_form_body(c.payload, c.signature), Text(c.body));
}

TEST(ProtocolPayload, Base64OfTheUtf8Form) {
  struct Case {
    std::string text;
    const char* payload;
  };
  const std::vector<Case> cases = {
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"~~~", "fn5+"},
      {"???", "Pz8/"},
      {"\xD6\xD0\xCE\xC4", "5Lit5paH"},    // 中文, sent as E4 B8 AD E6 96 87
      {"\x80\x80", "4oKs4oKs"},            // two euro signs, 6 UTF-8 bytes
      {"a\\nb", "YVxuYg=="},
  };
  for (const Case& c : cases) EXPECT_EQ(encode_payload(T(c.text)), Text(c.payload)) << c.text;
}

TEST(ProtocolLineBreaks, FoldTable) {
  struct Case {
    std::string text, folded;
  };
  const std::vector<Case> cases = {
      {"a\r\nb", "a\\nb"},
      {"a\nb", "a\nb"},
      {"a\rb", "a\rb"},
      {"\r\r\n", "\r\\n"},
      {"\r\n\r\n", "\\n\\n"},
      {"\r\n\n\r", "\\n\n\r"},
      {"", ""},
      {"\xD6\xD0\r\n\xCE\xC4", "\xD6\xD0\\n\xCE\xC4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fold_line_breaks(T(c.text)), T(c.folded)) << c.text;
  }
  EXPECT_EQ(fold_line_breaks("a\r\nb").size(), 4u);
}

TEST(ProtocolLineBreaks, UnfoldTable) {
  struct Case {
    std::string text, unfolded;
  };
  const std::vector<Case> cases = {
      {"a\\nb", "a\r\nb"},
      {"\\\\n", "\\\r\n"},
      {"\xB0\x5Cn", "\xB0\x5Cn"},              // the 0x5C ends a GBK character
      {"\xB0\x5C\\n", "\xB0\x5C\r\n"},
      {"\\N", "\\N"},
      {"\\", "\\"},
      {"n\\", "n\\"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unfold_line_breaks(T(c.text)), T(c.unfolded)) << c.text;
  }
}

TEST(ProtocolLineBreaks, FoldThenUnfoldRestoresTheArticle) {
  const std::vector<std::string> articles = {
      "line one\r\nline two\r\n", "\r\n", "lone\nLF and lone\rCR", "\xB0\x5Cn\r\n\xD6\xD0",
      "", "a\\b"};
  for (const std::string& a : articles) {
    EXPECT_EQ(unfold_line_breaks(fold_line_breaks(T(a))), T(a)) << a;
  }
  // A backslash-n that the user typed comes back as a line break.
  EXPECT_EQ(unfold_line_breaks(fold_line_breaks("a\\nb\r\n")), Text("a\r\nb\r\n"));
}

TEST(ProtocolUploadBody, ExactBytes) {
  const std::string head_to_name = kDelimiter + "\r\n" +
                                   "Content-Disposition: form-data; name=\"num\"\r\n"
                                   "\r\n"
                                   "1\r\n" +
                                   kDelimiter + "\r\n" +
                                   "Content-Disposition: form-data; name=\"file\"; filename=\"";
  const std::string after_name = "\"\r\nContent-Type: text/plain\r\n\r\n";
  const std::string tail = "\r\n" + kDelimiter + "--";

  const Bytes body = build_upload_body("a.txt", Bytes(std::string("hi")));
  EXPECT_EQ(body.size(), 270u);
  EXPECT_EQ(body.str(), head_to_name + "a.txt" + after_name + "hi" + tail);

  const Bytes empty = build_upload_body("a.txt", Bytes());
  EXPECT_EQ(empty.size(), 268u);
  EXPECT_EQ(empty.str(), head_to_name + "a.txt" + after_name + tail);
}

TEST(ProtocolUploadBody, NameAndContentGoInRaw) {
  struct Case {
    std::string name, content;
  };
  const std::vector<Case> cases = {
      {"\xD6\xD0\xCE\xC4.txt", "x"},                       // 中文.txt as its GBK bytes
      {"a b&c=\".txt", std::string("\0\r\n\xFF--", 6)},    // zero bytes and binary stay
      {"", ""},
      {"big.txt", std::string(100000, '\x80')},
  };
  for (const Case& c : cases) {
    const Bytes body = build_upload_body(T(c.name), Bytes(c.content));
    EXPECT_EQ(body.size(), 263 + c.name.size() + c.content.size());
    EXPECT_NE(body.str().find("filename=\"" + c.name + "\"\r\n"), std::string::npos);
    EXPECT_EQ(body.str().substr(body.size() - 44 - c.content.size(), c.content.size()),
              c.content);
  }
}

TEST(ProtocolReply, DecodeTable) {
  struct Case {
    std::string reply, text;
  };
  const std::vector<Case> cases = {
      {"{\"str\":\"\xE4\xB8\xAD\xE6\x96\x87\"}", "{\"str\":\"\xD6\xD0\xCE\xC4\"}"},
      {std::string("{\"a\":1}\0garbage", 15), "{\"a\":1}"},
      {std::string("\0{}", 3), ""},
      {"", ""},
      {"{\"str\":\"\xE4\xB8\xAD\xFF\"}", "{\"str\":\"\xD6\xD0?\"}"},   // invalid UTF-8
      {"{\"str\":\"\xF0\x9F\x98\x80\"}", "{\"str\":\"?\"}"},           // not in GBK
      {"{\"str\":\"\xE2\x82\xAC\xE2\x82\xAC\"}", "{\"str\":\"\x80\x80\"}"},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_reply(Bytes(c.reply)), T(c.text)) << c.reply;
}

// The hosts are read once per process, so each case runs in a fresh child process.
void expect_urls(const char* primary_host, const char* batch_host, const char* primary_url,
                 const char* batch_url) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto set = [](const char* name, const char* value) {
          if (value == nullptr) {
            unsetenv(name);
          } else {
            setenv(name, value, 1);
          }
        };
        set("KESTRIN_PRIMARY_HOST", primary_host);
        set("KESTRIN_BATCH_HOST", batch_host);
        const bool ok = primary_service_url() == Text(primary_url) &&
                        batch_service_url() == Text(batch_url) &&
                        &primary_service_url() == &primary_service_url();
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "")
      << primary_url << " " << batch_url;
}

TEST(ProtocolServiceUrl, BuiltInHosts) {
  expect_urls(nullptr, nullptr, "http://api.kestrinseo.com/api.php",
              "http://batch.kestrinseo.com/api.php");
}

TEST(ProtocolServiceUrl, EnvironmentOverridesEachHost) {
  expect_urls("127.0.0.1:8080", nullptr, "http://127.0.0.1:8080/api.php",
              "http://batch.kestrinseo.com/api.php");
  expect_urls(nullptr, "localhost:9", "http://api.kestrinseo.com/api.php",
              "http://localhost:9/api.php");
  expect_urls("", "", "http://api.kestrinseo.com/api.php", "http://batch.kestrinseo.com/api.php");
}

}  // namespace
}  // namespace kestrin
