// The module kestrin_engine: the rewriting pipeline, loaded at run time by the window
// (ui/engine.h). Built by the same compiler from the same headers as the program, so the
// value types cross as they are.
#include "rewrite/article.h"

// rewrite_article(*article, passes), stored into *result.
extern "C" __attribute__((visibility("default"))) void kestrin_engine_rewrite_article(const kestrin::Text* article, int passes,
                                                             kestrin::RewriteResult* result) {
  *result = kestrin::rewrite_article(*article, passes);
}
