#include "team/TeamMemory.h"

#include "store/AtomicFile.h"

#include <QDataStream>
#include <QFile>
#include <QtEndian>

#include <zlib.h>

namespace {

constexpr char kMagic[] = "UOO-TEAM-MEMORY-1";

// What finds a torn or damaged file: a CRC-32 of all before it, little
// endian. Written on every take, so it must cost little beside the disk.
constexpr int kSumSize = 4;

QByteArray sumOf(QByteArrayView bytes) {
    const auto crc = static_cast<quint32>(
        crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), std::size_t(bytes.size())));
    QByteArray out(kSumSize, '\0');
    qToLittleEndian(crc, out.data());
    return out;
}

} // namespace

TeamMemory::TeamMemory() {
    forgetTable();
}

void TeamMemory::forgetTable() {
    teamId.clear();
    lastVersion = 0;
    base = QByteArray(MergeTable::Size, '\0');
    versions.assign(MergeTable::SlotCount, 0);
    stamps.clear();
    written.clear();
}

bool TeamMemory::load(const QString& path, QString* problem) {
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString();
        return false;
    }
    const QByteArray all = file.readAll();
    if (all.size() < kSumSize ||
        sumOf(QByteArrayView(all).chopped(kSumSize)) != all.right(kSumSize)) {
        *problem = QStringLiteral("файл %1 повреждён").arg(path);
        return false;
    }
    QDataStream in(all.left(all.size() - kSumSize));
    in.setVersion(QDataStream::Qt_6_0);
    QByteArray magic;
    qint64 last = 0;
    quint32 stampCount = 0;
    in >> magic >> connection >> teamId >> last >> base;
    std::vector<std::int64_t> read(MergeTable::SlotCount, 0);
    for (auto& v : read) {
        qint64 x = 0;
        in >> x;
        v = x;
    }
    in >> stampCount;
    std::vector<ProgrammingStamp> kept;
    for (quint32 i = 0; i < stampCount && in.status() == QDataStream::Ok && i < 100000; ++i) {
        ProgrammingStamp s;
        qint32 slot = 0;
        quint16 crc = 0;
        in >> slot >> crc >> s.date;
        s.slot = slot;
        s.crc = crc;
        in.readRawData(reinterpret_cast<char*>(s.before.data()), SettingsRecord::Size);
        in.readRawData(reinterpret_cast<char*>(s.after.data()), SettingsRecord::Size);
        in.readRawData(reinterpret_cast<char*>(s.sent.data()), int(s.sent.size()));
        kept.push_back(s);
    }
    quint32 sums = 0;
    in >> sums;
    std::vector<std::uint32_t> wrote;
    for (quint32 i = 0;
         i < sums && i <= quint32(MergeTable::SlotCount) && in.status() == QDataStream::Ok; ++i) {
        quint32 x = 0;
        in >> x;
        wrote.push_back(x);
    }
    if (magic != kMagic || in.status() != QDataStream::Ok || base.size() != MergeTable::Size ||
        (!wrote.empty() && wrote.size() != std::size_t(MergeTable::SlotCount))) {
        forgetTable();
        *problem = QStringLiteral("файл %1 повреждён").arg(path);
        return false;
    }
    lastVersion = last;
    versions = std::move(read);
    stamps = std::move(kept);
    written = std::move(wrote);
    return true;
}

bool TeamMemory::save(const QString& path, QString* problem) const {
    QByteArray all;
    {
        QDataStream out(&all, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_0);
        out << QByteArray(kMagic) << connection << teamId << qint64(lastVersion) << base;
        for (std::int64_t v : versions)
            out << qint64(v);
        out << quint32(stamps.size());
        for (const ProgrammingStamp& s : stamps) {
            out << qint32(s.slot) << quint16(s.crc) << s.date;
            out.writeRawData(reinterpret_cast<const char*>(s.before.data()), SettingsRecord::Size);
            out.writeRawData(reinterpret_cast<const char*>(s.after.data()), SettingsRecord::Size);
            out.writeRawData(reinterpret_cast<const char*>(s.sent.data()), int(s.sent.size()));
        }
        out << quint32(written.size());
        for (std::uint32_t x : written)
            out << quint32(x);
    }
    all += sumOf(all);
    if (ReplaceFileAtomically(path, [&all](QIODevice& d) { return d.write(all) == all.size(); }))
        return true;
    *problem = QStringLiteral("не удалось записать файл %1").arg(path);
    return false;
}
