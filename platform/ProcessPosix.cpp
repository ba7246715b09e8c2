#include "platform/Process.h"

#include <cstdio>

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

} // namespace platform
