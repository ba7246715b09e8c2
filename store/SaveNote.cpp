#include "store/SaveNote.h"

#include "platform/FileSystem.h"

#include <QList>
#include <QRandomGenerator>

#include <zlib.h>

QByteArray SaveNote::read(const QString& target) {
    const QByteArray name = platform::encodeName(fileOf(target));
    const int fd = platform::openFile(name.constData(), platform::ReadOnly | platform::NonBlocking |
                                                            platform::NoFollow);
    if (fd < 0)
        return {};
    QByteArray bytes(Size, '\0');
    const long long n = platform::readAt(fd, bytes.data(), std::size_t(Size), 0);
    platform::closeFile(fd);
    bytes.resize(n > 0 ? int(n) : 0);
    return bytes;
}

std::optional<SaveNote> SaveNote::parse(const QByteArray& bytes) {
    // A note read while a save rewrites it may be half old, half new: its
    // check sum says so.
    const int end = int(bytes.indexOf("\nend "));
    if (!bytes.startsWith("UOO-SAVES 1\n") || end < 0)
        return std::nullopt;
    const QByteArray body = bytes.left(end + 1);
    const QByteArray sum = bytes.mid(end + 5, 8);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()));
    if (sum != QByteArray::number(qulonglong(crc), 16).rightJustified(8, '0'))
        return std::nullopt;
    SaveNote note;
    const QList<QByteArray> lines = body.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].split(' ');
        if (f.size() != 2 && f.size() != 3)
            continue;
        bool a = false, b = false, c = true;
        Entry e{f[0].toULongLong(&a, 16), f[1].toULongLong(&b, 16), 0};
        if (f.size() == 3)
            e.sum = f[2].toUInt(&c, 16);
        if (a && b && c && e.id != 0)
            note.saves.push_back(e);
    }
    return note;
}

QByteArray SaveNote::text() const {
    QByteArray body = "UOO-SAVES 1\n";
    for (std::size_t i = 0; i < saves.size() && i < std::size_t(Kept); ++i)
        body += QByteArray::number(qulonglong(saves[i].id), 16) + ' ' +
                QByteArray::number(qulonglong(saves[i].base), 16) + ' ' +
                QByteArray::number(saves[i].sum, 16) + '\n';
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()));
    QByteArray t =
        body + "end " + QByteArray::number(qulonglong(crc), 16).rightJustified(8, '0') + '\n';
    // One length always: a mount that caches the size reads it whole.
    t += QByteArray(Size - 1 - t.size(), ' ') + '\n';
    return t;
}

bool SaveNote::write(const QString& target, const QByteArray& text, unsigned mode, bool flush) {
    const QByteArray name = platform::encodeName(fileOf(target));
    const int fd = platform::openFile(
        name.constData(), platform::ReadWrite | platform::Create | platform::NoFollow, mode);
    if (fd < 0)
        return false;
    const bool ok =
        platform::writeAt(fd, text.constData(), std::size_t(text.size()), 0) == text.size() &&
        (!flush || platform::syncFile(fd) == 0);
    return platform::closeFile(fd) == 0 && ok;
}

SaveNote::Line SaveNote::lineOf(std::uint64_t id, std::uint64_t base) const {
    if (saves.empty())
        return Line::Unknown;
    if (saves.front().id == id)
        return Line::Newest;
    // From the newest back along the files each save merged with.
    std::uint64_t at = saves.front().id;
    for (std::size_t hops = 0; hops <= saves.size(); ++hops) {
        const Entry* entry = nullptr;
        for (const Entry& e : saves)
            if (e.id == at)
                entry = &e;
        if (!entry)
            return Line::Unknown;
        if (entry->base == id)
            return Line::BuiltOn;
        if (entry->id != id && entry->base == base)
            return Line::Beside;
        at = entry->base;
    }
    return Line::Unknown;
}

std::uint32_t SaveNote::sumOf(const QByteArray& bytes) {
    const std::uint32_t sum = std::uint32_t(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()), uInt(bytes.size())));
    return sum == 0 ? 1 : sum; // 0 says "none given"
}

std::uint64_t SaveNote::newId() {
    std::uint64_t id = 0;
    while (id == 0)
        id = QRandomGenerator::system()->generate64();
    return id;
}
