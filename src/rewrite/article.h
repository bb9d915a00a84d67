// The single-article pipeline: an article sent to the primary service pass after pass.
#pragma once

#include "text/types.h"

namespace kestrin {

struct RewriteResult {
  Text output;      // the last reply's `str`, backslash-n unfolded into CR LF
  Text check_data;  // the last reply's `ck`, as text
};

// Runs `passes` exchanges with the primary service, each sending the previous reply's `str`
// (the first sends the article, line breaks folded). Every pass runs even after an empty or
// unusable reply. passes < 1 sends nothing and gives two empty texts. Blocks the caller.
[[nodiscard]] RewriteResult rewrite_article(const Text& article, int passes);

}  // namespace kestrin
