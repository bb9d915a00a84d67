// The rewriting engine as the window calls it. The engine (the rewriting pipeline with its
// HTTP client and script engine) lives in the module kestrin_engine, loaded the first time
// it is used, so that starting the program does not wait for the network libraries.
#pragma once

#include "rewrite/article.h"
#include "text/types.h"

namespace kestrin {

// rewrite_article of the engine module: same arguments, same result, and like it blocks the
// calling thread. When the module cannot be loaded nothing is sent and both texts are empty.
[[nodiscard]] RewriteResult rewrite_article_in_engine(const Text& article, int passes);

}  // namespace kestrin
