// The main window with a team database: its status in the tool strip, what
// the server brought taken in when the window is idle, what this copy
// changed sent, and the boxes only the operator can answer.
#include "app/TForm1.h"

#include "app/CardHistoryWindow.h"
#include "app/RecordsModel.h"
#include "editor/Rules.h"
#include "readback/TForm2.h"
#include "store/CardFields.h"
#include "store/Merge.h"
#include "store/SettingsDatabase.h"
#include "team/PasswordFile.h"
#include "team/TeamSync.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {

const QString kAttention = QStringLiteral("Внимание");

} // namespace

TForm1::TeamOpen TForm1::openTeam(const QString& connection, QString* problem) {
    auto* team = new TeamSync(db_, this);
    if (!team->open(connection, problem)) {
        const bool elsewhere = team->heldByAnotherCopy();
        delete team;
        if (elsewhere)
            return TeamOpen::HeldElsewhere;
        messenger_.inform(kAttention, *problem);
        return TeamOpen::Failed;
    }
    setTeam(team);
    return TeamOpen::Opened;
}

void TForm1::setTeam(TeamSync* team) {
    team_ = team;
    for (QAction* a : TeamStatus->actions()) {
        TeamStatus->removeAction(a);
        a->deleteLater();
    }
    if (!team_) {
        TeamStatus->setText(QStringLiteral("База команды…"));
        TeamStatus->setToolTip(QStringLiteral("Подключить этот каталог данных к базе команды на "
                                              "сервере PostgreSQL"));
        TeamStatus->setAccessibleName(QStringLiteral("База команды: не подключена"));
        for (QPushButton* b : {BitBtn1, ProgBtn})
            b->setEnabled(!EditMode && !ProgrammingActive && !ReadingActive);
        if (readBack_)
            readBack_->setCreateRefusal({});
        return;
    }
    auto* history = new QAction(QStringLiteral("История карточки…"), TeamStatus);
    history->setShortcut(QKeySequence(QStringLiteral("Ctrl+H")));
    history->setShortcutContext(Qt::WindowShortcut);
    connect(history, &QAction::triggered, this, &TForm1::showHistory);
    TeamStatus->addAction(history);
    addAction(history);
    auto* leave = new QAction(QStringLiteral("Отключить каталог от базы команды"), TeamStatus);
    connect(leave, &QAction::triggered, this, &TForm1::leaveTeam);
    TeamStatus->addAction(leave);
    connect(team_, &TeamSync::statusChanged, this, &TForm1::showTeamStatus);
    connect(team_, &TeamSync::changesWaiting, this, &TForm1::checkTeam);
    connect(team_, &TeamSync::attention, this, [this](const QString& text) {
        // Said once the window is free to say it.
        QTimer::singleShot(0, this, [this, text] { messenger_.inform(kAttention, text); });
    });
    connect(team_, &TeamSync::otherTeam, this, [this](const QString& text) {
        QTimer::singleShot(0, this, [this, text] {
            if (team_)
                team_->answerOtherTeam(messenger_.ask(kAttention, text));
        });
    });
    connect(team_, &TeamSync::historyArrived, this,
            [this](int slot, const std::vector<TeamVersion>& versions, const QString& problem) {
                QTimer::singleShot(0, this, [this, slot, versions, problem] {
                    showVersions(slot, versions, problem);
                });
            });
    connect(
        team_, &TeamSync::passwordWanted, this, [this](const QString& user, const QString& server) {
            QTimer::singleShot(0, this, [this, user, server] { askTeamPassword(user, server); });
        });
    showTeamStatus();
}

void TForm1::showHistory() {
    if (!team_ || CurrentSlot < 0)
        return;
    if (!team_->requestHistory(CurrentSlot))
        messenger_.inform(kAttention, QStringLiteral("Нет связи с базой команды: история "
                                                     "карточки хранится на сервере."));
}

void TForm1::showVersions(int slot, const std::vector<TeamVersion>& versions,
                          const QString& problem) {
    if (!problem.isEmpty() && versions.empty()) {
        messenger_.inform(kAttention, QStringLiteral("История не получена:\n%1").arg(problem));
        return;
    }
    CardHistoryWindow::Words words{
        [this](const CardField& f) {
            // The name the checks use, else the one a screen reader hears.
            if (f.hint)
                return QString::fromUtf8(f.hint);
            const auto* w = findChild<QWidget*>(QLatin1String(f.control));
            return w && !w->accessibleName().isEmpty() ? w->accessibleName()
                                                       : QString::fromLatin1(f.control);
        },
        [this](const CardField& f, const SettingsRecord& r) {
            switch (f.kind) {
            case FieldKind::Text:
            case FieldKind::Address: {
                const QString t = r.text(f.text());
                return t.isEmpty() ? QStringLiteral("(пусто)") : t;
            }
            case FieldKind::Switch:
                return fieldValue(r, f) ? QStringLiteral("отмечено")
                                        : QStringLiteral("не отмечено");
            case FieldKind::Choice: {
                const auto* list = findChild<QComboBox*>(QLatin1String(f.control));
                const int v = int(fieldValue(r, f));
                return list && v < list->count() ? list->itemText(v) : QString::number(v);
            }
            case FieldKind::Number:
                break;
            }
            return QString::number(meantValue(r, f));
        }};
    CardHistoryWindow window(slot, versions, words, team_ && team_->mayWrite(), this);
    connect(&window, &CardHistoryWindow::restore, this,
            [this, slot](const SettingsRecord& r) { restoreVersion(slot, r); });
    if (showHistoryWindow)
        showHistoryWindow(window);
    else
        window.exec();
}

void TForm1::restoreVersion(int slot, const SettingsRecord& version) {
    if (EditMode || ProgrammingActive || ReadingActive || refusedAsViewer())
        return;
    selectSlot(slot);
    // The row's own programming date and identifiers stay: the save keeps
    // them, as it keeps them for any edit.
    writeForm(::ShowRecord(version, std::as_const(db_).Template(), readForm(),
                           PageControl2->isVisibleTo(this)));
    BitBtn1Click();
}

void TForm1::leaveTeam() {
    if (!team_ || !messenger_.ask(kAttention, QStringLiteral("Отключить этот каталог данных от "
                                                             "базы команды?\n\nКарточки "
                                                             "останутся в этой копии программы.")))
        return;
    team_->leave();
    team_->deleteLater();
    setTeam(nullptr);
}

namespace {

// A value of a connection string, quoted as libpq reads it.
QString quotedValue(const QString& value) {
    QString out = value;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

} // namespace

void TForm1::connectTeamDialog() {
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Подключение к базе команды"));
    auto* form = new QFormLayout(&dialog);
    const auto field = [&](const char* name, const QString& caption, const QString& value) {
        auto* edit = new QLineEdit(value, &dialog);
        edit->setObjectName(QLatin1String(name));
        edit->setAccessibleName(caption);
        form->addRow(caption, edit);
        return edit;
    };
    QLineEdit* host = field("TeamHost", QStringLiteral("Сервер"), QString());
    QLineEdit* port = field("TeamPort", QStringLiteral("Порт"), QStringLiteral("5432"));
    QLineEdit* database =
        field("TeamDatabase", QStringLiteral("База данных"), QStringLiteral("uoo"));
    QLineEdit* user = field("TeamUser", QStringLiteral("Пользователь"), QString());
    QLineEdit* ca = field("TeamCa", QStringLiteral("Сертификат ЦС"), QString());
    auto* pick = new QPushButton(QStringLiteral("Выбрать…"), &dialog);
    connect(pick, &QPushButton::clicked, &dialog, [&dialog, ca] {
        const QString file = QFileDialog::getOpenFileName(
            &dialog, QStringLiteral("Сертификат ЦС"), QString(),
            QStringLiteral("Сертификаты (*.crt *.pem *.cer);;Все файлы (*)"));
        if (!file.isEmpty())
            ca->setText(QDir::toNativeSeparators(file));
    });
    form->addRow(QString(), pick);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (showConnectDialog ? !showConnectDialog(dialog) : dialog.exec() != QDialog::Accepted)
        return;
    QStringList words;
    const auto add = [&words](const char* key, const QString& value) {
        if (!value.trimmed().isEmpty())
            words << QLatin1String(key) + QLatin1Char('=') + quotedValue(value.trimmed());
    };
    add("host", host->text());
    add("port", port->text());
    add("dbname", database->text());
    add("user", user->text());
    add("sslrootcert", ca->text());
    QString problem;
    if (openTeam(words.join(QLatin1Char(' ')), &problem) == TeamOpen::HeldElsewhere)
        messenger_.inform(kAttention, problem);
}

void TForm1::showTeamStatus() {
    if (!team_ || !TeamStatus)
        return;
    const QString text = team_->statusText();
    // The strip has room for what follows "База команды: ".
    const QString prefix = QStringLiteral("База команды: ");
    const QString shown = text.startsWith(prefix) ? text.mid(prefix.size()) : text;
    TeamStatus->setText(QFontMetrics(TeamStatus->font()).elidedText(shown, Qt::ElideRight, 126));
    QString hint = text;
    if (!team_->lastProblem().isEmpty() && team_->state() != TeamSync::State::Online)
        hint += QStringLiteral("\n") + team_->lastProblem();
    TeamStatus->setToolTip(hint);
    TeamStatus->setAccessibleName(text);
    // A viewer's copy changes nothing; the hint says why.
    const QString viewer = QStringLiteral("Только чтение: пользователь базы команды не может "
                                          "изменять карточки");
    const bool may = team_->mayWrite();
    if (readBack_)
        readBack_->setCreateRefusal(may ? QString() : viewer);
    for (QPushButton* b : {BitBtn1, BitBtn3, ProgBtn}) {
        if (!may) {
            b->setEnabled(false);
            b->setToolTip(viewer);
        }
    }
}

bool TForm1::refusedAsViewer() {
    if (!team_ || team_->mayWrite())
        return false;
    messenger_.inform(kAttention, QStringLiteral("Этот пользователь базы команды может только "
                                                 "просматривать карточки и считывать УОО."));
    return true;
}

void TForm1::TeamStatusClick() {
    if (!team_) {
        connectTeamDialog();
        return;
    }
    const TeamSync::State s = team_->state();
    if (s == TeamSync::State::Refused && !team_->lastProblem().isEmpty() &&
        !messenger_.ask(kAttention, QStringLiteral("Нет связи с базой команды:\n%1\n\nПодключиться "
                                                   "снова?")
                                        .arg(team_->lastProblem())))
        return;
    team_->reconnect();
}

void TForm1::askTeamPassword(const QString& user, const QString& server) {
    if (!team_)
        return;
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Пароль базы команды"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(
        QStringLiteral("Пароль пользователя %1 на сервере %2:").arg(user, server), &dialog));
    auto* edit = new QLineEdit(&dialog);
    edit->setObjectName(QStringLiteral("TeamPassword"));
    edit->setEchoMode(QLineEdit::Password);
    edit->setAccessibleName(QStringLiteral("Пароль"));
    layout->addWidget(edit);
    auto* keep = new QCheckBox(QStringLiteral("Запомнить пароль"), &dialog);
    layout->addWidget(keep);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (showPasswordDialog ? !showPasswordDialog(dialog) : dialog.exec() != QDialog::Accepted)
        return;
    if (keep->isChecked()) {
        QString problem;
        if (!team_->rememberPassword(edit->text(), &problem))
            messenger_.inform(kAttention, QStringLiteral("Пароль не запомнен: %1").arg(problem));
    }
    team_->usePassword(edit->text());
}

void TForm1::writeTakenSoon() {
    // The working copy follows a second after the last take of a burst, and
    // within ten however long the burst, since each write is the whole file;
    // the server keeps every version, so it keeps no backup. Until it is
    // written, nothing of the server's is remembered as agreed.
    if (!takenWrite_) {
        takenWrite_ = new QTimer(this);
        takenWrite_->setSingleShot(true);
        connect(takenWrite_, &QTimer::timeout, this, [this] {
            if (team_ && db_.saveTaken(messenger_).result == SettingsDatabase::Saved) {
                team_->noteWorkingCopy();
                showChanges();
            }
        });
    }
    if (!takenWrite_->isActive())
        takenSince_.start();
    takenWrite_->start(int(std::clamp<qint64>(10000 - takenSince_.elapsed(), 0, 1000)));
}

void TForm1::checkTeam() {
    if (!team_)
        return;
    if (EditMode || ProgJob || ReadJob || ProgrammingActive || ReadingActive || messenger_.open()) {
        // Looked at again shortly: a look at this window's own state.
        if (!teamPending_)
            QTimer::singleShot(300, this, [this] {
                teamPending_ = false;
                checkTeam();
            });
        teamPending_ = true;
        return;
    }
    teamPending_ = false;
    MergeAnswers answers;
    for (int round = 0; round < 20; ++round) {
        TeamSync::Take taken = team_->take(answers);
        if (taken.offerToSend > 0) {
            team_->answerFirstContact(messenger_.ask(
                kAttention, QStringLiteral("В базе команды ещё нет карточек. Отправить в неё "
                                           "карточки этой копии программы (%1)?")
                                .arg(taken.offerToSend)));
            return;
        }
        if (taken.foreignChanges > 0) {
            team_->answerForeignChanges(messenger_.ask(
                kAttention,
                QStringLiteral("В файле базы %1 изменены карточки (%2), но не этой программой: "
                               "файл был заменён или изменён, пока она была закрыта.\n\n"
                               "Отправить эти изменения в базу команды? «Нет» вернёт "
                               "карточкам их вид в базе команды.")
                    .arg(QFileInfo(db_.fileName()).fileName())
                    .arg(taken.foreignChanges)));
            return;
        }
        if (!taken.duplicates.empty()) {
            for (const auto& d : taken.duplicates)
                team_->answerDuplicate(
                    d.code, messenger_.ask(kAttention,
                                           QStringLiteral("Код УО %1 стоит у двух карточек: «%2» "
                                                          "(строка %3, эта копия программы) и «%4» "
                                                          "(строка %5, база команды).\n\nОставить "
                                                          "карточку этой копии? «Нет» оставит "
                                                          "карточку базы команды.")
                                               .arg(d.code)
                                               .arg(d.mineName)
                                               .arg(d.mineSlot + 1)
                                               .arg(d.theirsName)
                                               .arg(d.theirsSlot + 1)));
            continue;
        }
        if (taken.merge.needsAnswers()) {
            const auto& conflicts = taken.merge.conflicts;
            if (taken.firstContact && conflicts.size() > 3 && taken.merge.stamps.empty()) {
                // Met for the first time: one answer for every card both hold
                // otherwise. The version not kept stays in the team's history
                // or in this copy's backups.
                QStringList names;
                for (std::size_t i = 0; i < conflicts.size() && i < 3; ++i)
                    names << QStringLiteral("«%1» (строка %2)")
                                 .arg(conflicts[i].name)
                                 .arg(conflicts[i].slot + 1);
                const bool mine = messenger_.ask(
                    kAttention,
                    QStringLiteral("В этой копии программы и в базе команды по-разному "
                                   "заполнены карточки (%1), например %2.\n\nОставить варианты "
                                   "этой копии? «Нет» оставит варианты базы команды.")
                        .arg(conflicts.size())
                        .arg(names.join(QStringLiteral(", "))));
                for (const auto& q : conflicts)
                    answers.conflicts[q.slot] = {q.fileVersion, mine};
                if (!taken.merge.gone.empty()) {
                    answers.goneAsked = taken.merge.gone;
                    answers.acceptGone =
                        askToAcceptGone(taken.merge.gone, taken.merge.firstGoneName);
                }
                continue;
            }
            askAbout(taken.merge, answers);
            continue;
        }
        if (taken.changed && taken.firstContact) {
            // The first merge keeps a backup of what the working copy was.
            showChanges();
            saveDatabase();
        } else if (taken.changed) {
            showChanges();
            writeTakenSoon();
        }
        break;
    }
    team_->sendPending();
    showTeamStatus();
}
