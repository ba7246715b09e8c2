#include "store/SettingsDatabase.h"

#include "store/AtomicFile.h"
#include "store/Messenger.h"

#include <QFile>
#include <QFileInfo>

namespace {

// Reads up to `size` bytes, as many as the device gives; a pipe or a slow
// device may hand them over in parts.
qint64 readFully(QIODevice& device, char* into, qint64 size) {
    qint64 done = 0;
    while (done < size) {
        const qint64 n = device.read(into + done, size - done);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

} // namespace

SettingsDatabase::SettingsDatabase() : slots_(SlotCount) {}

bool SettingsDatabase::Load() {
    RemoveStaleTemporaries(fileName_);
    if (!QFileInfo::exists(fileName_))
        return false;
    QFile file(fileName_);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return LoadFrom(file, file.size());
}

bool SettingsDatabase::LoadFrom(QIODevice& device, qint64 length) {
    constexpr qint64 block = SettingsRecord::Size;
    if (length <= 0 || length % block != 0)
        return false;
    const qint64 records = std::min<qint64>(length / block - 1, SlotCount);
    // The slots lie one after another, so they are read in one go; a short
    // read leaves the slots before it whole and the one it fell in partly
    // filled, as block-by-block reading would.
    auto* into = reinterpret_cast<char*>(slots_.data()->data());
    if (readFully(device, into, records * block) != records * block)
        return false;
    return readFully(device, reinterpret_cast<char*>(template_.data()), block) == block;
}

bool SettingsDatabase::WriteTo(QIODevice& device) const {
    const qint64 slotBytes = qint64(SlotCount) * SettingsRecord::Size;
    if (device.write(reinterpret_cast<const char*>(slots_.data()->data()), slotBytes) != slotBytes)
        return false;
    return device.write(reinterpret_cast<const char*>(template_.data()), SettingsRecord::Size) ==
           SettingsRecord::Size;
}

bool SettingsDatabase::Save(Messenger& messenger) {
    FileSystemCalls& calls = calls_ ? *calls_ : FileSystemCalls::real();
    const bool ok = ReplaceFileAtomically(
        fileName_, [this](QIODevice& device) { return WriteTo(device); }, calls);
    if (!ok)
        messenger.inform(QStringLiteral("Ошибка"), QStringLiteral("Ошибка записи на диск"));
    return ok;
}
