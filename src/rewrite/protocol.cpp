// Request bodies and reply decoding for the primary and the batch rewriting service.
#include "rewrite/protocol.h"

#include <cstdlib>
#include <string>

#include "text/codecs.h"
#include "text/text_ops.h"

namespace kestrin {
namespace {

// "http://" + host + "/api.php", the host taken from `variable` when it is set and not empty.
Text service_url(const char* variable, const char* default_host) {
  const char* host = std::getenv(variable);
  if (host == nullptr || *host == '\0') host = default_host;
  return join_texts({"http://", Text(host), "/api.php"});
}

constexpr const char* kCrLf = "\r\n";
constexpr const char* kBackslashN = "\\n";  // backslash, letter n

}  // namespace

const Text& signing_key() {
  static const Text key = "c60f1a2b7d8e09f";
  return key;
}

const Text& upload_boundary() {
  static const Text boundary = "----WebKitFormBoundaryB7BfOcAAFtzC33eK";
  return boundary;
}

const Text& primary_service_url() {
  static const Text url = service_url("KESTRIN_PRIMARY_HOST", "api.kestrinseo.com");
  return url;
}

const Text& batch_service_url() {
  static const Text url = service_url("KESTRIN_BATCH_HOST", "batch.kestrinseo.com");
  return url;
}

Text fold_line_breaks(const Text& text) { return replace_all(text, kCrLf, kBackslashN); }

Text unfold_line_breaks(const Text& text) { return replace_all(text, kBackslashN, kCrLf); }

Text encode_payload(const Text& text) { return base64_encode(text_to_bytes(gbk_to_utf8(text))); }

Text sign_payload(const Text& payload) {
  return md5_hex(text_to_bytes(join_texts({signing_key(), payload})));
}

Text build_form_body(const Text& payload, const Text& signature) {
  return join_texts({"id=vip&user=admin&str=", payload, "&num=1&sign=", signature});
}

Bytes build_upload_body(const Text& file_name, const Bytes& content) {
  const Text delimiter = join_texts({"--", upload_boundary()});
  const Text head = join_texts({
      delimiter, kCrLf,
      "Content-Disposition: form-data; name=\"num\"", kCrLf,
      kCrLf,
      "1", kCrLf,
      delimiter, kCrLf,
      "Content-Disposition: form-data; name=\"file\"; filename=\"", file_name, "\"", kCrLf,
      "Content-Type: text/plain", kCrLf,
      kCrLf,
  });
  const Text tail = join_texts({kCrLf, delimiter, "--"});
  return join_bytes({text_to_bytes(head), content, text_to_bytes(tail)});
}

const Text& upload_header_text() {
  static const Text header =
      join_texts({"Content-Type:multipart/form-data; boundary=", upload_boundary(), "\r\n\r\n"});
  return header;
}

Text decode_reply(const Bytes& reply) { return utf8_to_gbk(bytes_to_text(reply)); }

}  // namespace kestrin
