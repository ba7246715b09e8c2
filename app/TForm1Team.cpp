// The main window with a team database: its status in the tool strip, what
// the server brought taken in when the window is idle, what this copy
// changed sent, and the boxes only the operator can answer.
#include "app/TForm1.h"

#include "app/RecordsModel.h"
#include "store/Merge.h"
#include "store/SettingsDatabase.h"
#include "team/PasswordFile.h"
#include "team/TeamSync.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const QString kAttention = QStringLiteral("Внимание");

} // namespace

void TForm1::setTeam(TeamSync* team) {
    team_ = team;
    if (!TeamStatus) {
        // Right of "Удалить запись", left of "Выход": the free part of the
        // strip, where no described control stands.
        TeamStatus = new QToolButton(this);
        TeamStatus->setObjectName(QStringLiteral("TeamStatus"));
        TeamStatus->setGeometry(742, 4, 134, 25);
        TeamStatus->setAutoRaise(true);
        TeamStatus->setToolButtonStyle(Qt::ToolButtonTextOnly);
        connect(TeamStatus, &QToolButton::clicked, this, &TForm1::TeamStatusClick);
    }
    TeamStatus->setVisible(team_ != nullptr);
    if (!team_)
        return;
    connect(team_, &TeamSync::statusChanged, this, &TForm1::showTeamStatus);
    connect(team_, &TeamSync::changesWaiting, this, &TForm1::checkTeam);
    connect(team_, &TeamSync::attention, this, [this](const QString& text) {
        // Said once the window is free to say it.
        QTimer::singleShot(0, this, [this, text] { messenger_.inform(kAttention, text); });
    });
    connect(team_, &TeamSync::otherTeam, this, [this](const QString& text) {
        QTimer::singleShot(
            0, this, [this, text] { team_->answerOtherTeam(messenger_.ask(kAttention, text)); });
    });
    connect(team_, &TeamSync::passwordWanted, this,
            [this] { QTimer::singleShot(0, this, [this] { askTeamPassword(); }); });
    showTeamStatus();
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
    messenger_.inform(kAttention, QStringLiteral("Пользователь %1 базы команды может только "
                                                 "просматривать карточки и считывать УОО.")
                                      .arg(team_->statusText()));
    return true;
}

void TForm1::TeamStatusClick() {
    if (!team_)
        return;
    const TeamSync::State s = team_->state();
    if (s == TeamSync::State::Refused && !team_->lastProblem().isEmpty() &&
        !messenger_.ask(kAttention, QStringLiteral("Нет связи с базой команды:\n%1\n\nПодключиться "
                                                   "снова?")
                                        .arg(team_->lastProblem())))
        return;
    team_->reconnect();
}

void TForm1::askTeamPassword() {
    if (!team_)
        return;
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Пароль базы команды"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(
        new QLabel(QStringLiteral("Сервер просит пароль:\n%1").arg(team_->connection()), &dialog));
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

void TForm1::checkTeam() {
    if (!team_)
        return;
    if (EditMode || ProgJob || ReadJob || ProgrammingActive || ReadingActive || messenger_.open()) {
        teamPending_ = true;
        fileChangePending_ = true; // retried where the file's take is
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
        if (taken.merge.needsAnswers()) {
            askAbout(taken.merge, answers);
            continue;
        }
        if (taken.changed) {
            showChanges();
            // The working copy follows; the server keeps every version, so
            // this write keeps no backup.
            if (db_.saveTaken(messenger_).result == SettingsDatabase::Saved)
                showChanges();
        }
        break;
    }
    team_->sendPending();
    showTeamStatus();
}
