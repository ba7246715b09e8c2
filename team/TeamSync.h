#pragma once

#include "store/Merge.h"
#include "team/TeamMemory.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <optional>
#include <vector>

class ConnectionString;
class QTimer;
class SettingsDatabase;
class TeamLink;
struct Libpq;
struct TeamReply;
struct TeamSessionInfo;

// One version of a row, as the server's history keeps it.
struct TeamVersion {
    std::int64_t version = 0;
    QDateTime when;
    QString who;
    SettingsRecord record;
};

// A data folder's work with its team database, on the window's thread: what
// the server sent waits here until the window is idle and takes it through
// the store's merge; what this copy changed is sent, each row guarded by
// the version it was based on. Every libpq call is the network thread's.
class TeamSync final : public QObject {
    Q_OBJECT
public:
    enum class State {
        Connecting,
        Online,
        Offline,         // no connection; retried by itself
        Refused,         // no connection until the operator acts
        NotSynchronised, // connected, the cards not yet agreed
    };

    explicit TeamSync(SettingsDatabase& db, QObject* parent = nullptr);
    ~TeamSync() override;

    // Whether the data folder of `databaseFile` works with a team database.
    static bool connectedFolder(const QString& databaseFile);
    // Opens the folder's memory and starts connecting; `connection` (not
    // empty) replaces the remembered one. False with the reason: libpq
    // missing, the string refused, the memory unreadable, another copy at
    // work with this folder.
    bool open(const QString& connection, QString* problem);
    // open() failed because another copy works with the folder.
    bool heldByAnotherCopy() const { return heldElsewhere_; }
    // The folder leaves its team database: the working copy stays.
    void leave();
    // Ends the network thread, waiting at most 2 s.
    void close();

    // The window's side.
    // Whether the server brought anything the window has not yet taken.
    bool hasIncoming() const {
        return !incoming_.empty() || firstContact_ || wentBack_ || !foreign_.empty();
    }
    struct Take {
        bool changed = false; // memory changed: the window saves and redraws
        MergeResult merge;    // questions, when merge.needsAnswers()
        // First contact with a team database without cards, this copy
        // holding some: whether to send them (asked once).
        int offerToSend = 0;
        // Rows of the working copy that something else than this program
        // changed while it was closed, when there are several: whether to
        // send them (asked before anything is sent).
        int foreignChanges = 0;
        // The first merge with this team database: its questions are one
        // question where there are many, and the working copy's write that
        // follows keeps a backup.
        bool firstContact = false;
        // A device code that the first merge would put in two rows: one
        // card of this copy's, one of the team's. Asked with answerDuplicate.
        struct Duplicate {
            std::uint32_t code;
            int mineSlot, theirsSlot;
            QString mineName, theirsName;
        };
        std::vector<Duplicate> duplicates;
    };
    Take take(const MergeAnswers& answers);
    // True keeps this copy's card of that code, false the team's.
    void answerDuplicate(std::uint32_t code, bool keepMine);
    // The operator's answer to offerToSend.
    void answerFirstContact(bool send);
    // The answer to foreignChanges: false puts the team's versions back.
    void answerForeignChanges(bool send);
    // The working copy was written by this program (a save, a take): what
    // it now holds is this copy's own. What is remembered of the server is
    // written only after a take is in the working copy.
    void noteWorkingCopy();
    // The team database turned out to be another one than this folder's:
    // true makes it this folder's (a first contact).
    void answerOtherTeam(bool adopt);
    // Sends what this copy changed and the server does not have.
    void sendPending();
    void noteStamp(const ProgrammingStamp& stamp);
    // Asks the server for every version of a row, the newest first; the
    // answer comes as historyArrived. False when there is no connection.
    bool requestHistory(int slot);
    // A click on the status: connect now, or ask again what was left.
    void reconnect();
    void usePassword(const QString& password);
    // Writes the password for the place of the last failed attempt into
    // libpq's password file.
    bool rememberPassword(const QString& password, QString* problem) const;

    State state() const { return state_; }
    // Whether this copy may change cards (a viewer's may not).
    bool mayWrite() const { return mayWrite_; }
    // Rows of the working copy the server has not received.
    int unsent() const;
    // The status as words, for the tool strip and its accessible name.
    QString statusText() const;
    // The last failure's reason, for a click on the status.
    const QString& lastProblem() const { return problem_; }

signals:
    void statusChanged();
    // Something came in: the window takes when it is idle.
    void changesWaiting();
    // One box: caption "Внимание", the text.
    void attention(QString text);
    // A different team database: the window asks answerOtherTeam.
    void otherTeam(QString text);
    void passwordWanted(QString user, QString server);
    // `problem`: why there is none, where the server refused.
    void historyArrived(int slot, std::vector<TeamVersion> versions, QString problem);

private:
    bool openFolder(const QString& connection, QString* problem);
    void connectNow();
    void onConnected(const TeamSessionInfo& info);
    void onConnectFailed(const QString& reason, bool needsPassword, const TeamSessionInfo& attempt);
    void onLost(const QString& reason);
    void onDone(int id, const std::vector<TeamReply>& replies);
    void handshakeDone(const std::vector<TeamReply>& replies);
    void requestTake();
    void takeArrived(const std::vector<TeamReply>& replies);
    struct TeamQuery takeQuery() const;
    void sendDone(const std::vector<TeamReply>& replies);
    void goOffline(const QString& reason, bool retry);
    void setState(State s);
    bool remember();
    // Whether the working copy's row is the server's as last agreed.
    bool agreed(int slot) const;
    // Writes the memory a moment later, once for a burst of changes.
    void persistSoon();
    // A take of rows only the server changed, without the whole merge; no
    // value where the merge must decide, else whether memory changed.
    std::optional<bool> takeQuickly();
    QByteArray tableWithTemplate(const QByteArray& table) const;

    SettingsDatabase& db_;
    std::shared_ptr<const Libpq> pq_;
    std::unique_ptr<ConnectionString> where_;
    TeamLink* link_ = nullptr;
    QTimer* retry_ = nullptr;
    QTimer* persist_ = nullptr;
    bool workingCopyBehind_ = false; // a take not yet in the working copy
    int retryMs_ = 1000;
    TeamMemory memory_;
    QString memoryPath_;
    int lockFd_ = -1;
    bool heldElsewhere_ = false;
    State state_ = State::Connecting;
    QString problem_;
    QString server_, user_;
    bool encrypted_ = false;
    bool verified_ = false;
    QDateTime offlineSince_;
    QString password_;
    QString attemptHost_, attemptPort_, attemptDatabase_, attemptUser_;
    bool mayWrite_ = true;
    QString serverTeam_;
    bool firstContact_ = false;
    bool notSynchronised_ = false;
    bool wentBack_ = false;
    std::vector<int> foreign_; // rows changed outside the program, not yet answered
    std::map<std::uint32_t, bool> duplicateAnswers_;
    struct Resolved {
        std::uint32_t code;
        int mineSlot, theirsSlot;
        bool keepMine;
    };
    std::vector<Resolved> pendingDuplicates_;
    bool toldWentBack_ = false;
    // Taken from the server, not yet merged: slot -> version and record.
    std::map<int, std::pair<std::int64_t, SettingsRecord>> incoming_;
    std::int64_t incomingLast_ = 0;
    bool takeRunning_ = false;
    bool takeAgain_ = false;
    bool refetching_ = false;
    // The rows in flight: slot -> the bytes sent.
    std::map<int, SettingsRecord> sending_;
    int nextId_ = 1;
    int handshakeId_ = 0, takeId_ = 0, sendId_ = 0;
    std::map<int, int> historyIds_; // request -> slot
};
