#include "tests/support/SystemFiles.h"

#include <QDir>

#include <windows.h>

bool MakeFifo(const QString& path) { return QDir().mkdir(path); }

bool MakeHardLink(const QString& from, const QString& to) {
    return CreateHardLinkW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(to).utf16()),
                           reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(from).utf16()),
                           nullptr);
}
