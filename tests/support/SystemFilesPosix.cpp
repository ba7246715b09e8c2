#include "tests/support/SystemFiles.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

bool MakeFifo(const QString& path) { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; }

bool MakeHardLink(const QString& from, const QString& to) {
    return ::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}
