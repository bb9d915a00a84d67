#include "ui/module_loader.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>
#include <QStringList>

namespace kestrin {

void* resolve_in_module(const char* file_name, const char* build_path, const char* symbol) {
  QStringList places;
  if (QCoreApplication::instance() != nullptr) {
    places << QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromUtf8(file_name));
  }
  places << QString::fromUtf8(build_path);
  for (const QString& place : places) {
    QLibrary module(place);  // the library itself stays loaded when this object goes
    if (QFunctionPointer found = module.resolve(symbol)) return reinterpret_cast<void*>(found);
  }
  return nullptr;
}

}  // namespace kestrin
