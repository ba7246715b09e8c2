#include "tests/support/SystemFiles.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

bool MakeFifo(const QString& path) {
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

bool MakeSymbolicLink(const QString& from, const QString& to) {
    return QFile::link(from, to);
}

bool SymbolicLinksCanBeMade() {
    return true;
}

bool MakeHardLink(const QString& from, const QString& to) {
    return ::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool LetEveryoneIn(const QString& path) {
    return ::chmod(QFile::encodeName(path).constData(), 0666) == 0;
}

bool OnlyTheOwnerMayOpen(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && (st.st_mode & 077) == 0 &&
           st.st_uid == ::geteuid();
}
