#include "ui/engine.h"

#include <QtGlobal>

#include "ui/module_loader.h"

namespace kestrin {
namespace {

using RewriteArticle = void (*)(const Text* article, int passes, RewriteResult* result);

RewriteArticle engine_rewrite() {
  static const auto rewrite = reinterpret_cast<RewriteArticle>(
      resolve_in_module("libkestrin_engine.so", KESTRIN_ENGINE_MODULE_PATH, "kestrin_engine_rewrite_article"));
  if (rewrite == nullptr) qWarning("the rewriting engine module could not be loaded");
  return rewrite;
}

}  // namespace

RewriteResult rewrite_article_in_engine(const Text& article, int passes) {
  RewriteResult result;
  if (const RewriteArticle rewrite = engine_rewrite()) rewrite(&article, passes, &result);
  return result;
}

}  // namespace kestrin
