#include "team/TeamSync.h"

#include "platform/FileSystem.h"
#include "store/CardFields.h"
#include "store/SettingsDatabase.h"
#include "team/ConnectionString.h"
#include "team/Libpq.h"
#include "team/PasswordFile.h"
#include "team/Schema.h"
#include "team/TeamLink.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <optional>
#include <zlib.h>

namespace {

constexpr int B = SettingsRecord::Size;

SettingsRecord recordOf(const QByteArray& bytes) {
    SettingsRecord r;
    std::memcpy(r.data(), bytes.constData(), B);
    return r;
}

// An array parameter in PostgreSQL's binary form, of bytea elements.
QByteArray byteaArray(const std::vector<QByteArray>& items) {
    QByteArray out;
    const auto put = [&out](qint32 v) {
        const qint32 be = qToBigEndian(v);
        out.append(reinterpret_cast<const char*>(&be), 4);
    };
    put(1);  // dimensions
    put(0);  // no nulls
    put(17); // bytea
    put(static_cast<qint32>(items.size()));
    put(1); // lower bound
    for (const QByteArray& item : items) {
        put(static_cast<qint32>(item.size()));
        out.append(item);
    }
    return out;
}

QByteArray textArray(const std::vector<std::int64_t>& items) {
    QByteArray out = "{";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? "," : "") + QByteArray::number(static_cast<qlonglong>(items[i]));
    return out + "}";
}

std::uint32_t rowSum(const SettingsRecord& r) {
    return static_cast<std::uint32_t>(crc32(0, r.data(), B));
}

// What refuses a connection until the operator acts, in words.
std::optional<QString> refusal(const QString& reason) {
    const struct {
        const char* said;
        const char* words;
    } known[] = {
        {"password authentication failed", "Сервер не принял пароль."},
        {"certificate", "Сертификат сервера не прошёл проверку."},
        {"SSL error", "Защищённое соединение с сервером не установлено."},
        {"does not exist", "На сервере нет такой базы или пользователя."},
        {"permission denied", "У пользователя нет права работать с базой команды."},
        {"no pg_hba.conf entry", "Сервер не допускает это подключение."},
        {"no password supplied", "Сервер требует пароль."},
    };
    for (const auto& k : known)
        if (reason.contains(QLatin1String(k.said), Qt::CaseInsensitive))
            return QString::fromUtf8(k.words);
    return std::nullopt;
}

} // namespace

TeamSync::TeamSync(SettingsDatabase& db, QObject* parent) : QObject(parent), db_(db) {}

TeamSync::~TeamSync() {
    close();
    if (lockFd_ >= 0)
        platform::closeFile(lockFd_);
}

bool TeamSync::connectedFolder(const QString& databaseFile) {
    return QFileInfo::exists(TeamMemory::fileOf(databaseFile));
}

bool TeamSync::open(const QString& connection, QString* problem) {
    if (openFolder(connection, problem))
        return true;
    // The folder is left as it was found, for the next attempt.
    if (lockFd_ >= 0)
        platform::closeFile(lockFd_);
    lockFd_ = -1;
    return false;
}

bool TeamSync::openFolder(const QString& connection, QString* problem) {
    pq_ = Libpq::load(problem);
    if (!pq_) {
        *problem = QStringLiteral("Не удалось загрузить библиотеку PostgreSQL: %1").arg(*problem);
        return false;
    }
    memoryPath_ = TeamMemory::fileOf(QFileInfo(db_.fileName()).absoluteFilePath());
    // One copy at a time works with a connected folder.
    const QByteArray lockName = platform::encodeName(memoryPath_ + QStringLiteral(".lock"));
    lockFd_ = platform::openFile(lockName.constData(), platform::ReadWrite | platform::Create);
    if (lockFd_ < 0 || platform::lockRecord(lockFd_) != platform::RecordLock::Taken) {
        heldElsewhere_ = lockFd_ >= 0;
        *problem = QStringLiteral("С этим каталогом данных уже работает другая копия программы.");
        return false;
    }
    if (!memory_.load(memoryPath_, problem)) {
        // Kept aside, and started afresh: the cards are all in the working
        // copy, and a first contact agrees them with the server again.
        const QString aside = memoryPath_ + QStringLiteral(".damaged");
        QFile::remove(aside);
        QFile::rename(memoryPath_, aside);
        memory_ = TeamMemory();
        if (connection.isEmpty()) {
            *problem = QStringLiteral("Не удалось прочитать, что эта копия помнит о базе команды: "
                                      "%1. Он сохранён как %2.\n\nКарточки не пострадали. "
                                      "Подключите каталог к базе команды заново (кнопка «База "
                                      "команды…»): карточки будут сверены с ней.")
                           .arg(*problem, QFileInfo(aside).fileName());
            return false;
        }
    }
    const bool newConnection = !connection.isEmpty() && connection != memory_.connection;
    if (newConnection)
        memory_.connection = connection;
    auto where = ConnectionString::parse(*pq_, memory_.connection, problem);
    if (!where) {
        *problem = QStringLiteral("Строка подключения не принята: %1").arg(*problem);
        return false;
    }
    where_ = std::make_unique<ConnectionString>(*where);
    // Rows that neither the server nor this program put there.
    if (!memory_.written.empty()) {
        const QByteArray mine = db_.table();
        for (int slot = 0; slot < MergeTable::SlotCount; ++slot)
            if (!MergeTable::sameRow(mine, memory_.base, slot) &&
                rowSum(MergeTable::row(mine, slot)) != memory_.written[std::size_t(slot)])
                foreign_.push_back(slot);
        if (foreign_.size() < 2)
            foreign_.clear(); // one is simply sent
    }
    link_ = new TeamLink(pq_, this);
    connect(link_, &TeamLink::connected, this, &TeamSync::onConnected);
    connect(link_, &TeamLink::connectFailed, this, &TeamSync::onConnectFailed);
    connect(link_, &TeamLink::lost, this, &TeamSync::onLost);
    connect(link_, &TeamLink::done, this, &TeamSync::onDone);
    connect(link_, &TeamLink::notified, this, &TeamSync::requestTake);
    retry_ = new QTimer(this);
    retry_->setSingleShot(true);
    connect(retry_, &QTimer::timeout, this, &TeamSync::connectNow);
    connectNow();
    // Written at once only where there is something new to keep: the first
    // connection, or another server; meanwhile the network thread connects.
    if ((newConnection || !QFileInfo::exists(memoryPath_)) && !remember()) {
        close();
        *problem = problem_;
        return false;
    }
    return true;
}

void TeamSync::close() {
    if (persist_ && persist_->isActive())
        remember();
    if (link_) {
        link_->stop(2000);
        delete link_;
        link_ = nullptr;
    }
}

void TeamSync::leave() {
    close();
    QFile::remove(memoryPath_);
    state_ = State::Refused;
    emit statusChanged();
}

bool TeamSync::remember() {
    // Never ahead of the working copy: a memory that holds a take the file
    // lacks would make the file's older rows look like this copy's changes.
    if (workingCopyBehind_)
        return true;
    if (persist_)
        persist_->stop();
    QString problem;
    if (memory_.save(memoryPath_, &problem))
        return true;
    problem_ = problem;
    return false;
}

void TeamSync::connectNow() {
    if (!link_)
        return;
    retry_->stop();
    setState(State::Connecting);
    link_->connectTo(*where_, password_);
}

void TeamSync::reconnect() {
    if (notSynchronised_) {
        firstContact_ = true;
        notSynchronised_ = false;
        emit changesWaiting();
        return;
    }
    if (state_ == State::Offline || state_ == State::Refused) {
        retryMs_ = 1000;
        connectNow();
    }
}

void TeamSync::usePassword(const QString& password) {
    password_ = password;
    connectNow();
}

bool TeamSync::rememberPassword(const QString& password, QString* problem) const {
    return PasswordFile::remember(attemptHost_, attemptPort_, attemptDatabase_, attemptUser_,
                                  password, problem);
}

void TeamSync::setState(State s) {
    state_ = s;
    emit statusChanged();
}

void TeamSync::goOffline(const QString& reason, bool retry) {
    problem_ = reason;
    if (state_ == State::Online || state_ == State::NotSynchronised || !offlineSince_.isValid())
        offlineSince_ = QDateTime::currentDateTime();
    takeRunning_ = false;
    sending_.clear();
    handshakeId_ = takeId_ = sendId_ = 0;
    for (const auto& [id, slot] : historyIds_)
        emit historyArrived(slot, {}, reason);
    historyIds_.clear();
    setState(retry ? State::Offline : State::Refused);
    if (retry) {
        retry_->start(retryMs_);
        retryMs_ = std::min(retryMs_ * 2, 30000);
    }
}

void TeamSync::onConnectFailed(const QString& reason, bool needsPassword,
                               const TeamSessionInfo& attempt) {
    attemptHost_ = attempt.host;
    attemptPort_ = attempt.port;
    attemptDatabase_ = attempt.database;
    attemptUser_ = attempt.user;
    if (needsPassword && password_.isEmpty()) {
        goOffline(reason, false);
        emit passwordWanted(attempt.user, attempt.port.isEmpty()
                                              ? attempt.host
                                              : attempt.host + QStringLiteral(":") + attempt.port);
        return;
    }
    if (const auto words = refusal(reason)) {
        if (reason.contains(QLatin1String("password authentication failed")))
            password_.clear(); // asked again at the next attempt
        goOffline(reason, false);
        emit attention(*words + QStringLiteral("\n\n") + reason);
        return;
    }
    goOffline(reason, true);
}

void TeamSync::onLost(const QString& reason) {
    goOffline(reason, true);
}

void TeamSync::onConnected(const TeamSessionInfo& info) {
    retryMs_ = 1000;
    server_ = info.host + (info.port.isEmpty() ? QString() : QStringLiteral(":") + info.port);
    user_ = info.user;
    encrypted_ = info.encrypted;
    // Only a certificate checked against the host's name counts as checked.
    verified_ = info.sslmode == QLatin1String("verify-full");
    handshakeId_ = nextId_++;
    std::vector<TeamQuery> batch;
    batch.push_back({"SET search_path = pg_catalog", {}, {}, false});
    batch.push_back(
        {"SELECT (SELECT version FROM uoo.schema_version)::text, (SELECT id FROM uoo.team)::text, "
         "has_any_column_privilege('uoo.card', 'UPDATE')::text, "
         "COALESCE((SELECT max(version) FROM uoo.card), 0)::text",
         {},
         {},
         false});
    batch.push_back({QByteArray("LISTEN ") + TeamSchema::Channel, {}, {}, false});
    // What the server holds of the rows this copy agreed with it, to see
    // whether it went back; a copy that agreed none needs no look.
    const bool agreedAny = std::any_of(memory_.versions.begin(), memory_.versions.end(),
                                       [](std::int64_t v) { return v > 0; });
    batch.push_back({agreedAny ? "SELECT slot::text, version::text, sha256(record) FROM uoo.card"
                               : "SELECT NULL::text, NULL::text, NULL::bytea WHERE false",
                     {},
                     {},
                     true});
    link_->run(handshakeId_, std::move(batch));
}

void TeamSync::onDone(int id, const std::vector<TeamReply>& replies) {
    if (id == handshakeId_)
        handshakeDone(replies);
    else if (id == takeId_)
        takeArrived(replies);
    else if (id == sendId_)
        sendDone(replies);
    else if (const auto it = historyIds_.find(id); it != historyIds_.end()) {
        const int slot = it->second;
        historyIds_.erase(it);
        std::vector<TeamVersion> versions;
        const TeamReply& reply = replies.back();
        for (const auto& row : reply.rows) {
            if (row.size() != 4 || row[3].size() != B)
                continue; // refused, whatever sent it
            TeamVersion v;
            v.version = row[0].toLongLong();
            v.when =
                QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(row[1].toDouble() * 1000.0));
            v.who = QString::fromUtf8(row[2]);
            v.record = recordOf(row[3]);
            versions.push_back(v);
        }
        emit historyArrived(slot, versions, reply.ok ? QString() : reply.error);
    }
}

void TeamSync::handshakeDone(const std::vector<TeamReply>& replies) {
    handshakeId_ = 0;
    const TeamReply& last = replies.back();
    if (!last.ok) {
        QString words = QStringLiteral("На сервере нет базы команды (схемы uoo), или у "
                                       "пользователя нет прав на неё.");
        goOffline(last.error, false);
        link_->disconnectNow();
        emit attention(words + QStringLiteral("\n\n") + last.error);
        return;
    }
    const auto& facts = replies[1].rows.at(0);
    const int version = facts[0].toInt();
    if (version != TeamSchema::Version) {
        goOffline(QStringLiteral("версия схемы %1").arg(version), false);
        link_->disconnectNow();
        emit attention(QStringLiteral("Схема uoo на сервере версии %1, а эта программа работает с "
                                      "версией %2.")
                           .arg(version)
                           .arg(TeamSchema::Version));
        return;
    }
    serverTeam_ = QString::fromUtf8(facts[1]);
    mayWrite_ = facts[2] == "true";
    const std::int64_t serverLast = facts[3].toLongLong();
    // A server that lacks, or holds otherwise, a version this copy saw:
    // restored from an old backup, or a standby promoted before it had
    // everything. What this copy holds goes back to it.
    std::map<int, std::pair<std::int64_t, QByteArray>> there;
    for (const auto& row : replies[3].rows)
        there[row[0].toInt()] = {row[1].toLongLong(), row[2]};
    if (!memory_.teamId.isEmpty() && serverTeam_ != memory_.teamId) {
        setState(State::Refused);
        problem_ = QStringLiteral("другая база команды");
        emit otherTeam(QStringLiteral("Сервер %1 хранит другую базу команды, не ту, с которой "
                                      "работала эта копия программы.\n\nСделать её базой "
                                      "команды этого каталога? Карточки будут сверены заново.")
                           .arg(server_));
        return;
    }
    std::vector<int> refetch;
    for (int slot = 0; slot < MergeTable::SlotCount; ++slot) {
        const std::int64_t mine = memory_.versions[std::size_t(slot)];
        if (mine == 0)
            continue;
        const auto it = there.find(slot);
        const QByteArray hash =
            QCryptographicHash::hash(QByteArrayView(memory_.base.constData() + qint64(slot) * B, B),
                                     QCryptographicHash::Sha256);
        if (it == there.end()) {
            // The server has no row: the base is a free one, this copy's
            // card a new one to send.
            std::memset(memory_.base.data() + qint64(slot) * B, 0, B);
            memory_.versions[std::size_t(slot)] = 0;
            wentBack_ = true;
        } else if (it->second.first < mine ||
                   (it->second.first == mine && it->second.second != hash)) {
            refetch.push_back(slot);
            wentBack_ = true;
        }
    }
    if (serverLast < memory_.lastVersion) {
        memory_.lastVersion = serverLast;
        wentBack_ = true;
    }
    if (memory_.teamId.isEmpty())
        firstContact_ = true;
    setState(State::Online);
    offlineSince_ = {};
    takeId_ = nextId_++;
    takeRunning_ = true;
    takeAgain_ = false;
    std::vector<TeamQuery> batch;
    refetching_ = !refetch.empty();
    if (refetching_) {
        std::vector<std::int64_t> rows(refetch.begin(), refetch.end());
        batch.push_back({"SELECT slot::text, version::text, record FROM uoo.card WHERE slot = "
                         "ANY($1::int2[])",
                         {textArray(rows)},
                         {false},
                         true});
    }
    batch.push_back(takeQuery());
    link_->run(takeId_, std::move(batch));
}

TeamQuery TeamSync::takeQuery() const {
    return {
        // In no particular order: a reply comes whole or not at all, and a
        // sort of every record would cost the server more than the read.
        "SELECT slot::text, version::text, record FROM uoo.card WHERE version > $1",
        {QByteArray::number(static_cast<qlonglong>(std::max(memory_.lastVersion, incomingLast_)))},
        {false},
        true};
}

void TeamSync::requestTake() {
    if (state_ != State::Online || !link_)
        return;
    if (takeRunning_) {
        takeAgain_ = true; // a burst of notices is one more take
        return;
    }
    takeRunning_ = true;
    takeAgain_ = false;
    refetching_ = false;
    takeId_ = nextId_++;
    link_->run(takeId_, {takeQuery()});
}

void TeamSync::takeArrived(const std::vector<TeamReply>& replies) {
    takeRunning_ = false;
    takeId_ = 0;
    const TeamReply& reply = replies.back();
    if (!reply.ok) {
        problem_ = reply.error;
        return; // a lost connection says so itself; the next notice takes again
    }
    if (refetching_ && replies.size() == 2 && replies[0].ok) {
        // The server's versions of rows it had lost become the base: this
        // copy's rows differ from it and go back to the server, unasked.
        for (const auto& row : replies[0].rows) {
            const int slot = row[0].toInt();
            if (slot < 0 || slot >= MergeTable::SlotCount || row[2].size() != B)
                continue;
            std::memcpy(memory_.base.data() + qint64(slot) * B, row[2].constData(), B);
            memory_.versions[std::size_t(slot)] = row[1].toLongLong();
        }
    }
    refetching_ = false;
    for (const auto& row : reply.rows) {
        const int slot = row[0].toInt();
        const std::int64_t version = row[1].toLongLong();
        // A row of another length is refused, whatever sent it.
        if (slot < 0 || slot >= MergeTable::SlotCount || row[2].size() != B)
            continue;
        incomingLast_ = std::max(incomingLast_, version);
        if (version <= memory_.versions[std::size_t(slot)])
            continue;
        incoming_[slot] = {version, recordOf(row[2])};
    }
    if (takeAgain_)
        requestTake();
    if (hasIncoming())
        emit changesWaiting();
    else if (incomingLast_ > memory_.lastVersion) {
        memory_.lastVersion = incomingLast_;
        persistSoon();
    }
    if (!hasIncoming())
        sendPending();
}

QByteArray TeamSync::tableWithTemplate(const QByteArray& table) const {
    QByteArray t = table;
    const SettingsRecord& tpl = static_cast<const SettingsDatabase&>(db_).Template();
    std::memcpy(t.data() + qint64(MergeTable::TemplateRow) * B, tpl.data(), B);
    return t;
}

TeamSync::Take TeamSync::take(const MergeAnswers& answers) {
    Take result;
    if (notSynchronised_ || state_ == State::Refused)
        return result;
    if (!foreign_.empty()) {
        result.foreignChanges = int(foreign_.size());
        return result;
    }
    if (firstContact_) {
        const auto here = db_.allSlots();
        const int mine = int(std::count_if(here.begin(), here.end(),
                                           [](const SettingsRecord& r) { return r.IsUsed(); }));
        // Whether the team holds no card: what came in over what it held.
        bool noneThere = std::none_of(incoming_.begin(), incoming_.end(),
                                      [](const auto& in) { return in.second.second.IsUsed(); });
        for (int slot = 0; noneThere && slot < MergeTable::SlotCount; ++slot)
            noneThere = !MergeTable::usedAt(memory_.base, slot) || incoming_.count(slot) > 0;
        if (mayWrite_ && mine > 0 && noneThere) {
            result.offerToSend = mine;
            return result;
        }
        if (!mayWrite_) {
            // A viewer's own cards are kept as a backup by the save that
            // follows; it shows the team's.
            memory_.base = db_.table();
        }
    }
    // A first contact of a copy without cards simply takes the team's.
    const bool emptyHere = firstContact_ && mayWrite_ &&
                           std::all_of(db_.allSlots().begin(), db_.allSlots().end(),
                                       [](const SettingsRecord& r) { return !r.IsUsed(); });
    if ((!firstContact_ || emptyHere) && !wentBack_) {
        if (const auto quick = takeQuickly()) {
            if (firstContact_) {
                firstContact_ = false;
                memory_.teamId = serverTeam_;
            }
            result.changed = *quick;
            return result;
        }
    }
    QByteArray base = tableWithTemplate(memory_.base);
    QByteArray theirs = base;
    for (const auto& [slot, row] : incoming_)
        std::memcpy(theirs.data() + qint64(slot) * B, row.second.data(), B);
    MergeAnswers given = answers;
    if (firstContact_ && mayWrite_) {
        // Met for the first time, a row holding one card on both sides,
        // filled otherwise, is a question (not two cards): the answer makes
        // the version not kept the base, so the merge keeps the other.
        const QByteArray mine = db_.table();
        MergeResult asked;
        for (int slot = 0; slot < MergeTable::SlotCount; ++slot) {
            if (!MergeTable::usedAt(mine, slot) || !MergeTable::usedAt(theirs, slot) ||
                MergeTable::sameRow(mine, theirs, slot))
                continue;
            const SettingsRecord m = MergeTable::row(mine, slot);
            const SettingsRecord t = MergeTable::row(theirs, slot);
            if (MergeTable::differentCards(m, t))
                continue; // two cards: this copy's moves to a free row
            const auto it = answers.conflicts.find(slot);
            if (it == answers.conflicts.end() || !(it->second.fileVersion == t)) {
                asked.conflicts.push_back({slot, m.text(Field::NCardEdit), t});
                continue;
            }
            MergeTable::setRow(base, slot, it->second.keepMine ? t : m);
            given.conflicts.erase(slot);
        }
        if (!asked.conflicts.empty()) {
            result.merge = std::move(asked);
            result.firstContact = true;
            return result;
        }
        // A device code that would stand in two rows, one card of each side:
        // check 8 would refuse every later save of either. Asked, by code.
        const MergeResult preview = mergeTables(base, mine, theirs, memory_.stamps, -1, given);
        if (!preview.needsAnswers()) {
            std::map<std::uint32_t, int> mineAt, theirsAt;
            for (int slot = 0; slot < MergeTable::SlotCount; ++slot) {
                if (!MergeTable::usedAt(preview.table, slot))
                    continue;
                const SettingsRecord r = MergeTable::row(preview.table, slot);
                const bool fromMine = MergeTable::sameRow(preview.table, mine, slot) &&
                                      !MergeTable::sameRow(preview.table, theirs, slot);
                const bool fromTheirs = MergeTable::sameRow(preview.table, theirs, slot) &&
                                        !MergeTable::sameRow(preview.table, mine, slot);
                if (fromMine)
                    mineAt.emplace(r.CodeUoo(), slot);
                if (fromTheirs)
                    theirsAt.emplace(r.CodeUoo(), slot);
            }
            for (const auto& [code, slot] : mineAt) {
                const auto other = theirsAt.find(code);
                if (other == theirsAt.end() || duplicateAnswers_.count(code))
                    continue;
                result.duplicates.push_back(
                    {code, slot, other->second,
                     MergeTable::row(preview.table, slot).text(Field::NCardEdit),
                     MergeTable::row(preview.table, other->second).text(Field::NCardEdit)});
            }
            if (!result.duplicates.empty()) {
                result.firstContact = true;
                return result;
            }
            for (const auto& [code, slot] : mineAt)
                if (const auto other = theirsAt.find(code);
                    other != theirsAt.end() && duplicateAnswers_.count(code))
                    pendingDuplicates_.push_back(
                        {code, slot, other->second, duplicateAnswers_[code]});
        }
    }
    MergeResult merge = db_.mergeFromSource(base, theirs, memory_.stamps, given);
    if (!mayWrite_ && !merge.gone.empty()) {
        given.goneAsked = merge.gone;
        given.acceptGone = true;
        merge = db_.mergeFromSource(base, theirs, memory_.stamps, given);
    }
    if (merge.needsAnswers() || merge.noRoom()) {
        result.merge = std::move(merge);
        result.firstContact = firstContact_;
        return result;
    }
    std::vector<int> undecided = merge.undecided;
    for (auto it = incoming_.begin(); it != incoming_.end();) {
        if (std::find(undecided.begin(), undecided.end(), it->first) != undecided.end()) {
            ++it;
            continue;
        }
        std::memcpy(memory_.base.data() + qint64(it->first) * B, it->second.second.data(), B);
        memory_.versions[std::size_t(it->first)] = it->second.first;
        it = incoming_.erase(it);
    }
    if (incoming_.empty())
        memory_.lastVersion = std::max(memory_.lastVersion, incomingLast_);
    if (firstContact_) {
        // The card not kept: the team's goes (a deletion, in its history),
        // or this copy's (in the backup the first contact's save keeps).
        for (const auto& d : pendingDuplicates_) {
            if (d.keepMine)
                db_.Slot(d.theirsSlot).Clear();
            else
                db_.Slot(d.mineSlot) = MergeTable::row(theirs, d.mineSlot);
        }
        pendingDuplicates_.clear();
        duplicateAnswers_.clear();
        firstContact_ = false;
        memory_.teamId = serverTeam_;
        result.firstContact = true;
    }
    if (wentBack_ && !toldWentBack_) {
        toldWentBack_ = true;
        problem_ = QStringLiteral("сервер вернулся к более старому состоянию; недостающие "
                                  "изменения отправлены снова");
    }
    wentBack_ = false;
    persistSoon();
    result.changed = !db_.changedSlots().empty() || db_.templateChanged() || result.firstContact;
    workingCopyBehind_ = workingCopyBehind_ || result.changed;
    result.merge = std::move(merge);
    emit statusChanged();
    return result;
}

std::optional<bool> TeamSync::takeQuickly() {
    // Rows this copy left as the server last had them, none stamped here and
    // at most one card gone: the merge would simply take the server's. That
    // is nearly every take, and a row at a time costs nothing of the other
    // 9000.
    std::vector<std::pair<int, SettingsRecord>> rows;
    rows.reserve(incoming_.size());
    int gone = 0;
    for (const auto& [slot, row] : incoming_) {
        const SettingsRecord& base =
            *reinterpret_cast<const SettingsRecord*>(memory_.base.constData() + qint64(slot) * B);
        const SettingsRecord& mine = std::as_const(db_).Slot(slot);
        const bool stamped =
            std::any_of(memory_.stamps.begin(), memory_.stamps.end(),
                        [slot = slot](const ProgrammingStamp& s) { return s.slot == slot; });
        if (stamped || !(std::memcmp(mine.data(), base.data(), B) == 0 ||
                         std::memcmp(mine.data(), row.second.data(), B) == 0))
            return std::nullopt;
        if (base.IsUsed() && (!row.second.IsUsed() || MergeTable::differentCards(base, row.second)))
            ++gone;
        rows.emplace_back(slot, row.second);
    }
    if (gone >= 2)
        return std::nullopt; // several cards gone at once: the merge asks
    db_.takeRowsFromSource(rows);
    workingCopyBehind_ = workingCopyBehind_ || !db_.changedSlots().empty();
    for (const auto& [slot, row] : incoming_) {
        std::memcpy(memory_.base.data() + qint64(slot) * B, row.second.data(), B);
        memory_.versions[std::size_t(slot)] = row.first;
    }
    incoming_.clear();
    memory_.lastVersion = std::max(memory_.lastVersion, incomingLast_);
    persistSoon();
    emit statusChanged();
    return !db_.changedSlots().empty();
}

void TeamSync::persistSoon() {
    // Coalesced: what is lost to a crash meanwhile is taken again, or found
    // the copy's own at the next take.
    if (!persist_) {
        persist_ = new QTimer(this);
        persist_->setSingleShot(true);
        connect(persist_, &QTimer::timeout, this, [this] { remember(); });
    }
    if (!persist_->isActive())
        persist_->start(1000);
}

void TeamSync::answerForeignChanges(bool send) {
    if (!send)
        for (int slot : foreign_)
            db_.Slot(slot) = recordOf(memory_.base.mid(qint64(slot) * B, B));
    foreign_.clear();
    emit changesWaiting(); // then taken, written and sent as usual
}

void TeamSync::noteWorkingCopy() {
    workingCopyBehind_ = false;
    memory_.written.resize(std::size_t(MergeTable::SlotCount));
    for (int slot = 0; slot < MergeTable::SlotCount; ++slot)
        memory_.written[std::size_t(slot)] = rowSum(std::as_const(db_).Slot(slot));
    persistSoon();
}

void TeamSync::answerDuplicate(std::uint32_t code, bool keepMine) {
    duplicateAnswers_[code] = keepMine;
}

void TeamSync::answerFirstContact(bool send) {
    if (!send) {
        notSynchronised_ = true;
        firstContact_ = false;
        setState(State::NotSynchronised);
        return;
    }
    firstContact_ = false;
    memory_.teamId = serverTeam_;
    remember();
    sendPending();
}

void TeamSync::answerOtherTeam(bool adopt) {
    if (!adopt)
        return;
    const QString connection = memory_.connection;
    memory_.forgetTable();
    memory_.connection = connection;
    remember();
    connectNow();
}

bool TeamSync::agreed(int slot) const {
    return std::memcmp(std::as_const(db_).Slot(slot).data(),
                       memory_.base.constData() + qint64(slot) * B, B) == 0;
}

int TeamSync::unsent() const {
    int n = 0;
    for (int slot = 0; slot < MergeTable::SlotCount; ++slot)
        n += agreed(slot) ? 0 : 1;
    return n;
}

void TeamSync::noteStamp(const ProgrammingStamp& stamp) {
    memory_.stamps.push_back(stamp);
    remember();
}

bool TeamSync::requestHistory(int slot) {
    if (state_ != State::Online && state_ != State::NotSynchronised)
        return false;
    const int id = nextId_++;
    historyIds_[id] = slot;
    link_->run(id, {{"SELECT version::text, extract(epoch FROM changed_at)::text, "
                     "changed_by::text, record FROM uoo.card_history WHERE slot = $1 ORDER BY "
                     "version DESC",
                     {QByteArray::number(slot)},
                     {false},
                     true}});
    return true;
}

void TeamSync::sendPending() {
    if (state_ != State::Online || !mayWrite_ || notSynchronised_ || firstContact_ ||
        !foreign_.empty() || !sending_.empty() || takeRunning_ || !incoming_.empty() || !link_)
        return;
    std::vector<std::int64_t> rows, bases;
    std::vector<QByteArray> records;
    for (int slot = 0; slot < MergeTable::SlotCount; ++slot) {
        if (agreed(slot))
            continue;
        const SettingsRecord& mine = std::as_const(db_).Slot(slot);
        rows.push_back(slot);
        bases.push_back(memory_.versions[std::size_t(slot)]);
        records.emplace_back(reinterpret_cast<const char*>(mine.data()), B);
        sending_[slot] = mine;
    }
    if (rows.empty())
        return;
    // One statement, one transaction: a row changes only where its version
    // is still the one this copy based its change on.
    TeamQuery q;
    q.sql = "WITH i AS (SELECT * FROM unnest($1::int2[], $2::bytea[], $3::int8[]) AS t(slot, "
            "record, base)), u AS (UPDATE uoo.card c SET record = i.record FROM i WHERE i.base > 0 "
            "AND c.slot = i.slot AND c.version = i.base RETURNING c.slot, c.version), n AS "
            "(INSERT INTO uoo.card (slot, record) SELECT slot, record FROM i WHERE base = 0 ON "
            "CONFLICT (slot) DO NOTHING RETURNING slot, version) SELECT slot::text, "
            "version::text FROM u UNION ALL SELECT slot::text, version::text FROM n";
    q.params = {textArray(rows), byteaArray(records), textArray(bases)};
    q.binary = {false, true, false};
    q.name = "uoo_send";
    sendId_ = nextId_++;
    link_->run(sendId_, {q});
    emit statusChanged();
}

void TeamSync::sendDone(const std::vector<TeamReply>& replies) {
    sendId_ = 0;
    const TeamReply& reply = replies.back();
    std::map<int, SettingsRecord> sent;
    sent.swap(sending_);
    if (!reply.ok) {
        problem_ = reply.error;
        if (!reply.state.isEmpty())
            emit attention(QStringLiteral("Сервер не принял изменения карточек.\n\n") +
                           reply.error);
        emit statusChanged();
        return;
    }
    bool refused = false;
    std::map<int, std::int64_t> applied;
    for (const auto& row : reply.rows)
        applied[row[0].toInt()] = row[1].toLongLong();
    for (const auto& [slot, record] : sent) {
        const auto it = applied.find(slot);
        if (it == applied.end()) {
            refused = true; // another copy got there first
            continue;
        }
        std::memcpy(memory_.base.data() + qint64(slot) * B, record.data(), B);
        memory_.versions[std::size_t(slot)] = it->second;
        // A stamp the server now holds is done with.
        memory_.stamps.erase(
            std::remove_if(memory_.stamps.begin(), memory_.stamps.end(),
                           [&](const ProgrammingStamp& s) { return s.slot == slot; }),
            memory_.stamps.end());
    }
    persistSoon();
    emit statusChanged();
    if (refused)
        requestTake(); // then merged, asked where it must, and sent again
    else
        sendPending(); // what changed meanwhile
}

QString TeamSync::statusText() const {
    QString text;
    switch (state_) {
    case State::Connecting:
        text = QStringLiteral("База команды: подключение…");
        break;
    case State::Online:
        text = QStringLiteral("База команды: %1, %2").arg(server_, user_);
        if (!mayWrite_)
            text += QStringLiteral(", только чтение");
        if (!encrypted_)
            text += QStringLiteral(", без шифрования");
        else if (!verified_)
            text += QStringLiteral(", без проверки сертификата");
        break;
    case State::Offline:
    case State::Refused: {
        const int n = unsent();
        text = offlineSince_.isValid()
                   ? QStringLiteral("База команды: нет связи с %1")
                         .arg(offlineSince_.time().toString(QStringLiteral("HH:mm")))
                   : QStringLiteral("База команды: нет связи");
        if (n > 0)
            text += QStringLiteral(", не отправлено: %1").arg(n);
        break;
    }
    case State::NotSynchronised:
        text = QStringLiteral("База команды: не синхронизировано");
        break;
    }
    return text;
}
