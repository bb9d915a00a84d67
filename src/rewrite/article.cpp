// The single-article pipeline: fold, encode and sign the article, then one exchange with the
// primary service per pass, each pass sending the str of the reply before it.
#include "rewrite/article.h"

#include "http/http_request.h"
#include "json/json_document.h"
#include "rewrite/protocol.h"

namespace kestrin {

RewriteResult rewrite_article(const Text& article, int passes) {
  // One document for the whole run; every reply is parsed into it, and the members are read
  // from the last one parsed (from the empty object it starts with when no pass runs).
  JsonDocument reply_document;

  // The primary service carries line breaks as backslash-n; only the article is folded; the
  // str of a reply already follows that convention and is sent on as it comes.
  Text payload = encode_payload(fold_line_breaks(article));
  Text signature = sign_payload(payload);

  for (int pass = 0; pass < passes; ++pass) {  // passes below 1: no exchange at all
    // A POST of the form body; every other argument left out (no header text, no cookies
    // argument, so the client's own cookie store is used).
    const Bytes reply = http_request(
        primary_service_url(),
        {.method = kHttpPost, .text_body = build_form_body(payload, signature)});
    // A reply that is empty or not JSON leaves the value null: the members then read as
    // empty text and the next pass sends an empty payload rather than stopping.
    (void)reply_document.parse(decode_reply(reply));
    const Text str = reply_document.get_text("str");
    payload = encode_payload(str);
    signature = sign_payload(payload);
  }

  RewriteResult result;
  result.check_data = reply_document.get_text("ck");
  result.output = unfold_line_breaks(reply_document.get_text("str"));
  return result;
}

}  // namespace kestrin
