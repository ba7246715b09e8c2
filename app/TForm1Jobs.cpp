// The two commands that talk to the device: programming and reading jobs.
#include "app/TForm1.h"
#include "team/TeamSync.h"

#include "app/RecordsModel.h"
#include "editor/Encode.h"
#include "editor/Rules.h"
#include "link/Clock.h"
#include "link/Jobs.h"
#include "link/SystemCable.h"
#include "readback/TForm2.h"
#include "store/DateTime.h"
#include "store/DeviceMatch.h"
#include "store/Messenger.h"
#include "store/SettingsDatabase.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDateTime>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <cstring>
#include <utility>

std::shared_ptr<CableDriver> TForm1::newCable() {
    if (cableFactory_)
        return cableFactory_();
    return newSystemCable();
}

bool TForm1::jobCanStart(CableJob& job) {
    if (job.logReady())
        return true;
    messenger_.inform(QStringLiteral("Внимание"),
                      QStringLiteral("Не удалось создать файл журнала обмена %1.\n%2\n\n"
                                     "Операция не начата. Проверьте, что папка данных доступна "
                                     "для записи.")
                          .arg(logPath_, job.logError()));
    return false;
}

void TForm1::watch(CableJob* job) {
    job->setCompletion(this, [this](CableJob& j) {
        ++completionsRun;
        if (j.reading())
            ReadCompletion(j);
        else
            ProgCompletion(j);
    });
    connect(
        job, &QThread::finished, this, [this, job] { jobEnded(job); }, Qt::QueuedConnection);
}

void TForm1::jobEnded(CableJob* job) {
    // Each job clears only its own reference.
    if (ProgJob == job)
        ProgJob = nullptr;
    if (ReadJob == job)
        ReadJob = nullptr;
    job->join();
    delete job;
    showTeamStatus();
    // A stopped job has let go of the cable: the commands are back, as edit
    // mode allows.
    if (jobStopping_ && !ProgJob && !ReadJob) {
        jobStopping_ = false;
        ProgBtn->setEnabled(!EditMode);
        SpeedButton1->setEnabled(!EditMode);
    }
    // A change of the file that came during the job is taken now.
    if (fileChangePending_ && !ProgJob && !ReadJob)
        checkDatabaseFile();
}

void TForm1::holdCommandsWhileTheJobEnds() {
    jobStopping_ = true;
    ProgBtn->setEnabled(false);
    SpeedButton1->setEnabled(false);
}

void TForm1::ProgBtnClick() {
    const auto seed = static_cast<quint32>(QDateTime::currentMSecsSinceEpoch());
    if (!ProgrammingActive && refusedAsViewer())
        return;
    if (CurrentSlot < 0 || !std::as_const(db_).Slot(CurrentSlot).IsUsed()) {
        messenger_.inform(QStringLiteral("Внимание"),
                          QStringLiteral("Текущая запись НЕ СОДЕРЖИТ ДАННЫХ!\nВыберите запись с "
                                         "данными или создайте новую"));
        return;
    }
    if (!ProgrammingActive) {
        // A stopped job that is still ending keeps the cable: nothing starts
        // until it has let go.
        if (ProgJob || ReadJob)
            return;
        auto* job = new TProgThread(newCable(), *clock_, logPath_,
                                    std::as_const(db_).Slot(CurrentSlot), seed);
        if (!jobCanStart(*job)) {
            delete job;
            return;
        }
        pendingProgJob_ = job;
        progSlot_ = CurrentSlot;
    }
    ProgrammingActive = !ProgrammingActive;
    SetProgramming(ProgrammingActive);
    // The stop message waits for the job's end: only then is it known that
    // the device was not programmed.
    if (!ProgrammingActive && ProgJob)
        holdCommandsWhileTheJobEnds();
}

void TForm1::SetProgramming(bool on) {
    ProgBtn->setText(on ? QStringLiteral("Остановить") : QStringLiteral("Программировать"));
    if (!on)
        Progress->setValue(0);
    SpeedButton1->setEnabled(!on);
    BitBtn1->setEnabled(!on);
    SetsGrid->setEnabled(!on);
    if (on)
        Timer1->start();
    else
        Timer1->stop();
    Progress->setVisible(on);
    if (on) {
        if (pendingProgJob_) {
            ProgJob = pendingProgJob_;
            pendingProgJob_ = nullptr;
            watch(ProgJob);
            ++jobsStarted;
            ProgJob->start();
        }
    } else if (ProgJob) {
        ProgJob->stop();
    }
}

void TForm1::SpeedButton1Click() {
    TReadThread* job = nullptr;
    if (!ReadingActive) {
        if (ProgJob || ReadJob)
            return;
        job = new TReadThread(newCable(), *clock_, logPath_);
        if (!jobCanStart(*job)) {
            delete job;
            return;
        }
    }
    ReadingActive = !ReadingActive;
    ProgBtn->setEnabled(!ReadingActive);
    BitBtn1->setEnabled(!ReadingActive);
    SetsGrid->setEnabled(!ReadingActive);
    Progress->setVisible(ReadingActive);
    SpeedButton1->setText(ReadingActive ? QStringLiteral("Остановить") : QStringLiteral("Считать"));
    if (!ReadingActive)
        Progress->setValue(0);
    if (!ReadingActive && ReadJob)
        ReadJob->stop();
    if (ReadingActive)
        Timer1->start();
    else
        Timer1->stop();
    if (!ReadingActive && ReadJob)
        holdCommandsWhileTheJobEnds();
    if (ReadingActive) {
        ReadJob = job;
        watch(job);
        ++jobsStarted;
        job->start();
    }
}

void TForm1::Timer1Timer() {
    int position = Progress->value() + 1;
    if (position >= 10)
        position = 0;
    Progress->setValue(position);
}

void TForm1::ProgCompletion(CableJob& job) {
    // After the operator's stop the window is idle already and may have moved
    // on; the outcome is still honoured, the idle state is not redone.
    const bool stoppedByOperator = !ProgrammingActive;
    if (!stoppedByOperator) {
        Timer1->stop();
        Progress->setValue(0);
    }
    const JobOutcome& outcome = job.outcome();
    if (outcome.JobSucceeded() && progSlot_ >= 0) {
        db_.StampProgrammed(progSlot_, outcome.frameCrc, TDateTime::now());
        if (team_)
            team_->noteStamp(db_.lastStamp());
        if (progSlot_ == CurrentSlot)
            RefreshCurrentRow();
        else
            records_->refreshRow(progSlot_);
        messenger_.inform(QStringLiteral("Операция завершена"),
                          QStringLiteral("Программирование произведено успешно!\n\nВыключите УОО и "
                                         "снимите перемычку программирования.\nНа ПЦН удалите и "
                                         "снова поставьте УОО на обслуживание!"));
        saveDatabase();
    } else if (outcome.JobFailed()) {
        messenger_.inform(QStringLiteral("Внимание"),
                          QStringLiteral("Программирование НЕ проведено!\n\nПричина:\n") +
                              outcome.reason + QStringLiteral("\n\n"));
    } else if (outcome.JobUnconfirmed()) {
        messenger_.inform(QStringLiteral("Внимание"),
                          QStringLiteral("Программирование НЕ подтверждено!\n\nУОО получил все "
                                         "данные, но не ответил. Возможно, он уже "
                                         "запрограммирован: проверьте его кнопкой «Считать»."));
    } else if (outcome.JobStopped()) {
        messenger_.inform(
            QStringLiteral("Операция не завершена"),
            QStringLiteral(
                "Программирование ОСТАНОВЛЕНО! УОО R7 остался не запрограммированным.\n\n"
                "Проверьте, что перемычка программирования установлена,а 1-й вывод "
                "кабеля FTDI соответствует 1-му контакту на плате УОО R5. Передерните "
                "питание УОО и повторите попытку программирования."));
    }
    if (!stoppedByOperator) {
        SpeedButton1->setEnabled(true);
        BitBtn1->setEnabled(true);
        SetsGrid->setEnabled(true);
        ProgBtn->setText(QStringLiteral("Программировать"));
        Progress->hide();
        ProgrammingActive = false;
    }
}

void TForm1::ReadCompletion(CableJob& job) {
    const bool stoppedByOperator = !ReadingActive;
    if (!stoppedByOperator) {
        Timer1->stop();
        Progress->setValue(0);
    }
    const JobOutcome& outcome = job.outcome();
    TForm2::Request request = TForm2::Request::None;
    if (outcome.JobSucceeded() && readBack_) {
        readBack_->FillFromFrame(outcome.frame.data(), outcome.version);
        showReadBack(*readBack_);
        request = readBack_->request();
    } else if (outcome.JobFailed()) {
        messenger_.inform(QStringLiteral("Внимание"),
                          QStringLiteral("СЧИТЫВАНИЕ НЕ ПРОИЗВЕДЕНО\n\nПричина:\n") +
                              outcome.reason + QStringLiteral("\n\n"));
    } else if (outcome.JobStopped()) {
        messenger_.inform(QStringLiteral("Внимание"), QStringLiteral("Считывание ОСТАНОВЛЕНО!"));
    }
    if (!stoppedByOperator) {
        BitBtn1->setEnabled(true);
        SpeedButton1->setText(QStringLiteral("Считать"));
        Progress->hide();
        ProgBtn->setEnabled(true);
        SpeedButton1->setEnabled(true);
        EditMode = false;
        SetEditMode(false);
        ReadingActive = false;
    }
    // What the operator asked for in the read-back window comes after this
    // step, which has just left edit mode.
    // A change of the file that came meanwhile is taken first, so the card
    // is looked up again then.
    if (request != TForm2::Request::None) {
        const auto frame = readBack_->frame();
        QTimer::singleShot(0, this, [this, request, frame] {
            if (request == TForm2::Request::ShowCard)
                showCardOfDevice(frame.data());
            else
                createCardFromDevice(frame.data());
        });
    }
}

void TForm1::showCardOfDevice(const std::uint8_t* frame) {
    const DeviceMatch match = matchDevice(db_, frame);
    if (EditMode || ReadingActive || ProgrammingActive || match.slot < 0)
        return;
    selectSlot(match.slot);
}

void TForm1::createCardFromDevice(const std::uint8_t* frame) {
    const int slot = db_.firstFreeSlot();
    if (EditMode || ReadingActive || ProgrammingActive || slot < 0 || refusedAsViewer())
        return;
    selectSlot(slot);
    writeForm(::cardFromDevice(frame, std::as_const(db_).Template(), readForm(),
                               PageControl2->isVisibleTo(this)));
    BitBtn1Click();
    if (EditMode)
        tellWhatTheCardCannotTake(frame);
}

namespace {

// A value as a window shows it: a list's item by its position (or the
// position itself when the list has no such item), a number as the device
// takes it, a switch as marked or not, a text as typed.
QString shownIn(const QWidget* window, const CardField& field, const SettingsRecord& record) {
    switch (field.kind) {
    case FieldKind::Text:
    case FieldKind::Address:
        return record.text(field.text());
    case FieldKind::Switch:
        return fieldValue(record, field) ? QStringLiteral("отмечено")
                                         : QStringLiteral("не отмечено");
    case FieldKind::Choice: {
        const auto* list = window->findChild<QComboBox*>(QLatin1String(field.control));
        const auto value = static_cast<int>(fieldValue(record, field));
        if (list && value < list->count())
            return list->itemText(value);
        return QStringLiteral("значение %1").arg(value);
    }
    case FieldKind::Number:
        return QString::number(meantValue(record, field));
    }
    return {};
}

// What the main window calls a field: the caption a screen reader hears.
QString nameIn(const QWidget* window, const CardField& field) {
    const QLatin1String control(field.control);
    if (field.kind == FieldKind::Address) {
        // Each of the four boxes is named "caption, N".
        const auto* first = window->findChild<QWidget*>(control + QLatin1Char('1'));
        const QString name = first ? first->accessibleName() : QString();
        return name.left(name.lastIndexOf(QStringLiteral(", ")));
    }
    const auto* w = window->findChild<QWidget*>(control);
    if (!w)
        return QString::fromLatin1(field.control);
    if (!w->accessibleName().isEmpty())
        return w->accessibleName();
    if (const auto* button = qobject_cast<const QAbstractButton*>(w))
        return button->text();
    return QString::fromLatin1(field.control);
}

} // namespace

// The window's rules may not take some of a device's settings as they are
// (a pass-through loop without an entry loop, an index outside its list):
// the operator hears of each before the card is saved, so that a device
// programmed from it is not silently another.
void TForm1::tellWhatTheCardCannotTake(const std::uint8_t* frame) {
    SettingsRecord card = std::as_const(db_).Slot(CurrentSlot);
    SettingsRecord templ = std::as_const(db_).Template();
    EncodeForm(readForm(), card, templ, 1.0);
    const std::vector<const CardField*> changed = differingFields(card, frame);
    if (changed.empty())
        return;
    SettingsRecord device;
    std::memcpy(device.data(), frame, SettingsRecord::DeviceImageSize);
    const SettingsRecord sent = asSent(card);
    const QWidget* readBack = readBack_ ? static_cast<const QWidget*>(readBack_) : this;
    QString text = QStringLiteral("Настройки УОО перенесены в карточку, кроме этих значений, "
                                  "которые карточка не может принять как есть:\n");
    QStringList lines;
    for (const CardField* field : changed)
        lines << QStringLiteral("%1: в УОО «%2», в карточке «%3»")
                     .arg(nameIn(this, *field), shownIn(readBack, *field, device),
                          shownIn(this, *field, sent));
    messenger_.inform(QStringLiteral("Внимание"), text + lines.join(QLatin1Char('\n')));
}

void TForm1::FormDestroy() {
    // Stop through the controller and join; a job waiting to hand over its
    // outcome is released instead of being answered.
    for (CableJob* job : {static_cast<CableJob*>(ReadJob), static_cast<CableJob*>(ProgJob)}) {
        if (!job)
            continue;
        job->abandon();
        job->join();
        delete job;
    }
    ReadJob = nullptr;
    ProgJob = nullptr;
}
