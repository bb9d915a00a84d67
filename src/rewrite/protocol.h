// The wire formats of the two rewriting services: request bodies, signatures, and the
// reading of replies. Pure operations; safe on any thread.
//
// The primary service takes a signed form body and carries line breaks inside the article
// as backslash-n; the batch service takes a multipart upload of a whole file. Both answer
// with a JSON object in UTF-8.
#pragma once

#include "text/types.h"

namespace kestrin {

// The fixed key that enters every signature; it is never sent.
[[nodiscard]] const Text& signing_key();
// The multipart boundary of the batch upload (38 characters).
[[nodiscard]] const Text& upload_boundary();

// "http://" + host + "/api.php". The hosts are api.kestrinseo.com and batch.kestrinseo.com,
// unless KESTRIN_PRIMARY_HOST / KESTRIN_BATCH_HOST (host or host:port) say otherwise; the
// environment is read once, on first use.
[[nodiscard]] const Text& primary_service_url();
[[nodiscard]] const Text& batch_service_url();

// Every CR LF becomes backslash-n; lone CR and lone LF stay.
[[nodiscard]] Text fold_line_breaks(const Text& text);
// Every backslash-n becomes CR LF; a backslash that ends a GBK character is not one.
[[nodiscard]] Text unfold_line_breaks(const Text& text);

// Base64 of the UTF-8 form of a GBK text; empty text gives an empty payload.
[[nodiscard]] Text encode_payload(const Text& text);
// 32 lower-case hex digits of md5(signing_key + payload); empty when no digest is available.
[[nodiscard]] Text sign_payload(const Text& payload);
// "id=vip&user=admin&str=" + payload + "&num=1&sign=" + signature; nothing is escaped.
[[nodiscard]] Text build_form_body(const Text& payload, const Text& signature);

// The multipart body with the fields num ("1") and file (file_name as given, content raw):
// 263 bytes plus the name and the content.
[[nodiscard]] Bytes build_upload_body(const Text& file_name, const Bytes& content);
// The Content-Type line of the upload, followed by CR LF CR LF (85 bytes).
[[nodiscard]] const Text& upload_header_text();

// The reply's bytes before the first zero byte, converted from UTF-8 to GBK.
[[nodiscard]] Text decode_reply(const Bytes& reply);

}  // namespace kestrin
