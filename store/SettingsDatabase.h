#pragma once

#include "store/SettingsRecord.h"

#include <QString>

#include <span>
#include <vector>

class FileSystemCalls;
class Messenger;
class QIODevice;

// The whole card store: 9000 slots and the template, held in memory for the
// life of the program and mirrored in one file of 9001 blocks of 695 bytes.
class SettingsDatabase {
public:
    static constexpr int SlotCount = 9000;
    static constexpr qint64 FileSize = qint64(SlotCount + 1) * SettingsRecord::Size;
    static constexpr const char* DefaultFileName = "ProgInfo_10.MGA";

    SettingsDatabase();

    const QString& fileName() const { return fileName_; }
    void setFileName(const QString& name) { fileName_ = name; }

    // What Load found under the file's name.
    struct LoadReport {
        enum Kind { Loaded, Missing, Empty, Unreadable, WrongLength, NotRegular };
        Kind kind = Missing;
        QString reason;    // Unreadable: the system's reason
        qint64 length = 0; // WrongLength: the file's length in bytes
        QString keptAs;    // WrongLength: the path of the copy kept beside it
    };

    // Reads the file. A missing file, a length of 0 or not a multiple of 695
    // loads nothing; a short read keeps what was read. True only when the
    // template was read whole. A file that exists but cannot be read whole,
    // or is not a regular file, is never replaced by a save for the rest of
    // the run; one of a length the format rejects is first copied aside.
    bool Load();
    const LoadReport& loadReport() const { return report_; }
    bool mayReplaceFile() const { return !fileOffLimits_; }
    bool LoadFrom(QIODevice& device, qint64 length);

    // Replaces the file with all 9000 slots and the template, atomically. On
    // failure shows "Ошибка записи на диск" and leaves the file as it was.
    bool Save(Messenger& messenger);
    // Writes the 9001 blocks; false when the device takes fewer bytes.
    bool WriteTo(QIODevice& device) const;

    SettingsRecord& Slot(int i) { return slots_[static_cast<std::size_t>(i)]; }
    const SettingsRecord& Slot(int i) const { return slots_[static_cast<std::size_t>(i)]; }
    SettingsRecord& Template() { return template_; }
    const SettingsRecord& Template() const { return template_; }
    std::span<const SettingsRecord> allSlots() const { return slots_; }

    // Tests make single steps of the save fail through these calls.
    void setFileSystemCalls(FileSystemCalls* calls) { calls_ = calls; }

private:
    std::vector<SettingsRecord> slots_;
    SettingsRecord template_;
    QString fileName_ = QString::fromLatin1(DefaultFileName);
    FileSystemCalls* calls_ = nullptr;
    LoadReport report_;
    bool fileOffLimits_ = false;
};
