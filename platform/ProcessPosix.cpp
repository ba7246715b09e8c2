#include "platform/Process.h"

#include <cstdio>
#include <fcntl.h>
#include <malloc.h>
#include <termios.h>
#include <unistd.h>

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

bool askHidden(const QString& prompt, QString* answer) {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0)
        return false;
    const QByteArray asked = prompt.toLocal8Bit();
    termios before{};
    const bool quiet = tcgetattr(tty, &before) == 0;
    if (quiet) {
        termios hidden = before;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &hidden);
    }
    bool read = ::write(tty, asked.constData(), static_cast<size_t>(asked.size())) >= 0;
    QByteArray line;
    char c = 0;
    while (read) {
        const ssize_t n = ::read(tty, &c, 1);
        if (n <= 0) {
            read = !line.isEmpty();
            break;
        }
        if (c == '\n')
            break;
        line.append(c);
    }
    if (quiet)
        tcsetattr(tty, TCSAFLUSH, &before);
    (void)!::write(tty, "\n", 1);
    ::close(tty);
    *answer = QString::fromLocal8Bit(line);
    return read;
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
