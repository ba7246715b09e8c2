// One copy of the program without its window, for the team database's
// benchmarks: it works with its team database as the window would when
// idle, and says on standard output, for every row that came in, the
// row, the card's code and the steady clock's time in nanoseconds.
//   team_copy DATA-DIR CONNINFO
#include "store/Messenger.h"
#include "store/SettingsDatabase.h"
#include "team/TeamSync.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

#include <chrono>
#include <cstdio>

namespace {

struct Quiet final : Messenger {
    void inform(const QString&, const QString&) override {}
    bool ask(const QString&, const QString&) override { return true; }
    void error(const QString&, const QString&) override {}
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: team_copy DATA-DIR CONNINFO\n");
        return 2;
    }
    SettingsDatabase db;
    db.setFileName(QDir(QString::fromLocal8Bit(argv[1])).filePath("ProgInfo_10.MGA"));
    (void)db.Load();
    Quiet quiet;
    TeamSync team(db);
    QString problem;
    if (!team.open(QString::fromLocal8Bit(argv[2]), &problem)) {
        std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
        return 1;
    }
    QObject::connect(&team, &TeamSync::statusChanged, [&team] {
        if (team.state() == TeamSync::State::Online) {
            std::printf("online\n");
            std::fflush(stdout);
        }
    });
    // The working copy follows a second after a burst of takes, within ten,
    // as the window writes it.
    QElapsedTimer since;
    QTimer write;
    write.setSingleShot(true);
    QObject::connect(&write, &QTimer::timeout, [&] {
        if (db.saveTaken(quiet).result == SettingsDatabase::Saved)
            team.noteWorkingCopy();
    });
    QObject::connect(&team, &TeamSync::changesWaiting, [&] {
        MergeAnswers answers;
        TeamSync::Take t = team.take(answers);
        if (t.offerToSend)
            team.answerFirstContact(true);
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int slot : db.changedSlots())
            std::printf("%d %u %lld\n", slot, std::as_const(db).Slot(slot).CodeUoo(),
                        static_cast<long long>(now));
        std::fflush(stdout);
        if (t.changed) {
            if (!write.isActive())
                since.start();
            write.start(int(std::clamp<qint64>(10000 - since.elapsed(), 0, 1000)));
        }
    });
    return app.exec();
}
