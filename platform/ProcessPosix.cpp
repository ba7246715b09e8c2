#include "platform/Process.h"

#include <cstdio>
#include <malloc.h>

namespace platform {

QStringList commandLineArguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

bool say(Stream stream, const QString& text) {
    std::FILE* to = stream == Stream::Out ? stdout : stderr;
    const bool written = std::fputs(text.toLocal8Bit().constData(), to) >= 0;
    return std::fflush(to) == 0 && written;
}

QString userDataFolderShown() {
    return QStringLiteral("~/.local/share/uoo-programmer");
}

void keepFreedMemoryForReuse() {
    // The C library would otherwise give a freed table back (and map the
    // next one afresh) once 12 MB are free at the top of the heap.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

} // namespace platform
