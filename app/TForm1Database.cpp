// The main window's life with its database file: what loading found, the
// offer of a backup, other copies' saves taken in, and saving with the
// operator's answers to what a merge cannot decide.
#include "app/TForm1.h"

#include "app/RecordsModel.h"
#include "store/Backup.h"
#include "store/CardFields.h"
#include "store/DateTime.h"
#include "store/Merge.h"
#include "store/SettingsDatabase.h"
#include "team/TeamSync.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSignalBlocker>
#include <QTableView>
#include <QTimer>
#include <utility>

namespace {

// Counts a box for as long as it is open, whatever ends it.
struct Open {
    int& count;
    explicit Open(int& c) : count(c) { ++count; }
    ~Open() { --count; }
    Open(const Open&) = delete;
    Open& operator=(const Open&) = delete;
};

const QString kAttention = QStringLiteral("Внимание");

} // namespace

void CountedMessenger::inform(const QString& caption, const QString& text) {
    const Open open(open_);
    boxes_.inform(caption, text);
}

bool CountedMessenger::ask(const QString& caption, const QString& text) {
    const Open open(open_);
    return boxes_.ask(caption, text);
}

void CountedMessenger::error(const QString& caption, const QString& text) {
    const Open open(open_);
    boxes_.error(caption, text);
}

void TForm1::reportLoad() {
    using Report = SettingsDatabase::LoadReport;
    const Report& report = db_.loadReport();
    const QString name = QFileInfo(db_.fileName()).fileName();
    const QString untouched = QStringLiteral("\n\nИзменения не будут сохранены в этот файл.");
    QString text;
    switch (report.kind) {
    case Report::Unreadable:
        text = QStringLiteral("Не удалось прочитать файл базы %1:\n%2").arg(name, report.reason) +
               untouched;
        break;
    case Report::NotRegular:
        text = QStringLiteral("Файл базы %1 не является обычным файлом.").arg(name) + untouched;
        break;
    case Report::WrongLength: {
        // Beside the database the copy's own name says enough.
        const QFileInfo kept(report.keptAs);
        const QString keptName = kept.absolutePath() == QFileInfo(db_.fileName()).absolutePath()
                                     ? kept.fileName()
                                     : kept.absoluteFilePath();
        text = QStringLiteral("Файл базы %1 не загружен: его длина %2 байт не соответствует "
                              "формату.\nКопия файла сохранена под именем %3.")
                   .arg(name)
                   .arg(report.length)
                   .arg(keptName);
        break;
    }
    default:
        return;
    }
    messenger_.inform(kAttention, text);
}

void TForm1::offerRestore() {
    using Report = SettingsDatabase::LoadReport;
    const Report::Kind kind = db_.loadReport().kind;
    if ((kind != Report::Missing && kind != Report::Empty && kind != Report::WrongLength) ||
        !db_.mayReplaceFile())
        return;
    const QString target = db_.finalPath();
    const auto backups = BackupKeeper::list(target);
    if (target.isEmpty() || backups.empty())
        return;
    const BackupKeeper::Entry& newest = backups.front();
    const QString date = DateTimeText(QLocale())(TDateTime::fromDateTime(newest.time));
    const QByteArray table = MergeTable::fromFile(BackupKeeper::read(target, newest));
    if (table.isEmpty()) {
        messenger_.inform(kAttention,
                          QStringLiteral("Резервную копию от %1 прочитать не удалось. База не "
                                         "восстановлена.")
                              .arg(date));
        return;
    }
    int cards = 0;
    for (int i = 0; i < SettingsDatabase::SlotCount; ++i)
        cards += MergeTable::usedAt(table, i) ? 1 : 0;
    const QString name = QFileInfo(db_.fileName()).fileName();
    const QString what = kind == Report::Missing
                             ? QStringLiteral("Файл базы %1 не найден.").arg(name)
                             : QStringLiteral("Файл базы %1 пуст или повреждён.").arg(name);
    if (!messenger_.ask(kAttention, what + QStringLiteral(" В папке резервных копий есть копия от "
                                                          "%1 (карточек: %2).\n\nВосстановить "
                                                          "базу из неё?")
                                               .arg(date)
                                               .arg(cards)))
        return;
    const auto restored = db_.restore(table, messenger_);
    if (team_ && restored != SettingsDatabase::RestoreResult::Failed)
        team_->noteWorkingCopy();
    if (restored == SettingsDatabase::RestoreResult::AlreadyRestored)
        messenger_.inform(kAttention,
                          QStringLiteral("База уже восстановлена в другой копии программы."));
}

void TForm1::checkDatabaseFile() {
    if (EditMode || ProgJob || ReadJob || ProgrammingActive || ReadingActive || messenger_.open()) {
        fileChangePending_ = true;
        return;
    }
    fileChangePending_ = false;
    if (!db_.fileMayHaveChanged())
        return;
    MergeAnswers answers;
    // A file that keeps changing while the operator reads the question is
    // asked about again, as it is then.
    for (;;) {
        const SettingsDatabase::TakeOutcome taken = db_.takeFileChanges(answers);
        if (taken.gone.empty()) {
            if (taken.taken)
                showChanges();
            if (!taken.buried.empty()) {
                // Written again at once, not left in memory until a save.
                const bool saved = saveDatabase().result == SettingsDatabase::Saved;
                tellBuried(taken.buried, saved);
            }
            return;
        }
        answers = {};
        answers.goneAsked = taken.gone;
        answers.acceptGone = askToAcceptGone(taken.gone, taken.firstGoneName);
        if (!answers.acceptGone) {
            // This copy's cards go back into the file at once; where that
            // fails, the file is taken with this copy's cards kept, so the
            // question waits for the file's next change.
            if (saveDatabase({}, -1, answers).result != SettingsDatabase::Saved) {
                (void)db_.takeFileChanges(answers);
                showChanges();
            }
            return;
        }
    }
}

bool TForm1::askToAcceptGone(const std::vector<int>& gone, const QString& firstName) {
    return messenger_.ask(
        kAttention,
        QStringLiteral("В файле базы нет %1 карточек, которые есть в этой копии программы "
                       "(например, «%2», строка %3). Их удалили в другой копии программы, или "
                       "файл был заменён.\n\nПринять файл как есть?")
            .arg(gone.size())
            .arg(firstName)
            .arg(gone.front() + 1));
}

void TForm1::askAbout(const MergeResult& merge, MergeAnswers& answers) {
    for (const MergeResult::Question& q : merge.conflicts) {
        const bool mine = messenger_.ask(
            kAttention, QStringLiteral("Карточка «%1» (строка %2) изменена или удалена в другой "
                                       "копии программы.\n\nСохранить ваш вариант?")
                            .arg(q.name)
                            .arg(q.slot + 1));
        answers.conflicts[q.slot] = {q.fileVersion, mine};
    }
    for (const MergeResult::Question& q : merge.stamps) {
        const bool programmed = messenger_.ask(
            kAttention, QStringLiteral("Карточка «%1» (строка %2) изменена или удалена в другой "
                                       "копии программы, пока шло программирование.\n\n"
                                       "Сохранить в базе вариант, записанный в УОО?")
                            .arg(q.name)
                            .arg(q.slot + 1));
        answers.stamps[q.slot] = {q.fileVersion, programmed};
    }
    if (!merge.gone.empty()) {
        answers.goneAsked = merge.gone;
        answers.acceptGone = askToAcceptGone(merge.gone, merge.firstGoneName);
    }
}

void TForm1::tellBuried(const std::vector<int>& rows, bool saved) {
    const SettingsRecord& first = std::as_const(db_).Slot(rows.front());
    const QString what =
        rows.size() == 1
            ? QStringLiteral("Карточка «%1» (строка %2), сохранённая в этой копии программы, не "
                             "попала в файл базы: другая копия программы записала файл поверх неё.")
                  .arg(first.text(Field::NCardEdit))
                  .arg(rows.front() + 1)
            : QStringLiteral("Карточки, сохранённые в этой копии программы (%1, например «%2», "
                             "строка %3), не попали в файл базы: другая копия программы записала "
                             "файл поверх них.")
                  .arg(rows.size())
                  .arg(first.text(Field::NCardEdit))
                  .arg(rows.front() + 1);
    const QString then =
        rows.size() == 1
            ? (saved ? QStringLiteral("\n\nОна записана снова.")
                     : QStringLiteral("\n\nОна остаётся в этой копии программы и будет записана "
                                      "при следующем сохранении."))
            : (saved ? QStringLiteral("\n\nОни записаны снова.")
                     : QStringLiteral("\n\nОни остаются в этой копии программы и будут записаны "
                                      "при следующем сохранении."));
    messenger_.inform(kAttention, what + then);
}

void TForm1::tellReadOnly() {
    if (const auto& holder = db_.heldBy())
        messenger_.inform(
            kAttention,
            QStringLiteral("База %1 открыта только для чтения: с ней работает копия программы на "
                           "компьютере %2.\n\nПапка базы лежит на диске, где несколько копий "
                           "программы не могут безопасно сохранять одну базу, поэтому изменения "
                           "сохраняет только та копия, что открыла её первой.")
                .arg(QFileInfo(db_.fileName()).fileName(), holder->describe()));
}

SettingsDatabase::SaveOutcome TForm1::saveDatabase(const SettingsDatabase::Accept& accept,
                                                   int editedSlot, MergeAnswers answers) {
    for (;;) {
        SettingsDatabase::SaveOutcome outcome =
            db_.saveMerged(messenger_, answers, accept, editedSlot);
        if (outcome.result == SettingsDatabase::ReadOnly) {
            tellReadOnly();
            return outcome;
        }
        if (!outcome.rewritten.empty())
            tellBuried(outcome.rewritten, outcome.result == SettingsDatabase::Saved);
        if (outcome.result != SettingsDatabase::Asking) {
            showChanges();
            if (outcome.result == SettingsDatabase::Saved && team_) {
                team_->noteWorkingCopy();
                QTimer::singleShot(0, this, [this] { checkTeam(); });
            }
            for (const auto& moved : outcome.merge.relocations) {
                if (outcome.result != SettingsDatabase::NoRoom || moved.to >= 0)
                    continue;
                messenger_.inform(kAttention,
                                  QStringLiteral("Строку %1 заняла карточка «%2», сохранённая в "
                                                 "другой копии программы, а свободных строк в "
                                                 "базе нет.\nВаша карточка не сохранена.")
                                      .arg(moved.from + 1)
                                      .arg(moved.theirs));
                break;
            }
            return outcome;
        }
        // Asked with no lock held; then the file is read and merged again.
        askAbout(outcome.merge, answers);
    }
}

void TForm1::showChanges() {
    bool current = false;
    for (int slot : db_.changedSlots()) {
        if (slot == CurrentSlot)
            current = true;
        else
            records_->refreshRow(slot);
    }
    // A free row shows the template, which may have changed too.
    if (db_.templateChanged() && CurrentSlot >= 0 && !std::as_const(db_).Slot(CurrentSlot).IsUsed())
        current = true;
    if (!current)
        return;
    if (EditMode)
        records_->refreshRow(CurrentSlot);
    else
        ShowRecord(CurrentSlot);
}

void TForm1::FillGrid() {
    (void)db_.Load(); // a missing or damaged file leaves the slots free
    reportLoad();
    tellReadOnly();
    offerRestore();
    records_->fillFromDatabase();
    {
        const QSignalBlocker quiet(SetsGrid->selectionModel());
        SetsGrid->setCurrentIndex(records_->index(0, 0));
        SetsGrid->selectRow(0);
    }
    SetsGridClick();
}

void TForm1::watchDatabaseFile() {
    // Another copy of the program may save into the same file: its changes
    // come in when the file changes (a save by rename ends the watch, so the
    // path is added again each time), and from a look every two seconds
    // where change notices do not arrive (network mounts).
    auto* watcher = new QFileSystemWatcher(this);
    const auto watch = [this, watcher] {
        const QString target = QFileInfo(db_.fileName()).canonicalFilePath();
        if (!target.isEmpty() && !watcher->files().contains(target))
            watcher->addPath(target);
    };
    watch();
    connect(watcher, &QFileSystemWatcher::fileChanged, this, [this, watch] {
        watch();
        checkDatabaseFile();
    });
    auto* look = new QTimer(this);
    look->setInterval(2000);
    connect(look, &QTimer::timeout, this, [this, watch] {
        watch();
        checkDatabaseFile();
    });
    look->start();
}
