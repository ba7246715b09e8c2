#include "app/ProgrammerApplication.h"
#include "app/CommandLine.h"
#include "app/ProgramMain.h"
#include "app/TForm1.h"
#include "readback/TForm2.h"
#include "store/SettingsDatabase.h"
#include "tests/support/SystemFiles.h"
#include "tests/support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

class Throwing final : public QObject {
public:
    bool foreign = false;
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) {
            if (foreign)
                throw 42;
            throw std::runtime_error("Сбой обработчика");
        }
        return QObject::event(e);
    }
};

TEST(ProgrammerApplication, ExceptionInAHandlerIsShownAndTheProgramGoesOn) {
    int argc = 1;
    char name[] = "uoo-programmer";
    char* argv[] = {name, nullptr};
    auto app = std::make_unique<ProgrammerApplication>(argc, argv);
    ScriptedMessenger m;
    app->setMessenger(&m);
    Throwing target;
    QEvent e(QEvent::User);
    QCoreApplication::sendEvent(&target, &e);
    target.foreign = true;
    QCoreApplication::sendEvent(&target, &e);
    app->setMessenger(nullptr);
    ASSERT_EQ(m.boxes.size(), 2u);
    EXPECT_EQ(m.boxes[0].text, QStringLiteral("Сбой обработчика"));
    EXPECT_EQ(m.boxes[1].text, QString());
    for (const auto& box : m.boxes) {
        EXPECT_TRUE(box.error);
        EXPECT_EQ(box.caption, QStringLiteral("uoo-programmer"));
    }
}

TEST(ProgramEntry, StartsOverTheWorkingDirectoryWithTheReadBackWindowHidden) {
    QTemporaryDir dir;
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    {
        // A card in the file the program finds by its plain name.
        SettingsDatabase db;
        db.Slot(0).setCodeUoo(4242);
        db.Slot(0).setChangeDate(46000.5);
        ScriptedMessenger m;
        ASSERT_TRUE(db.Save(m));
    }
    ScriptedMessenger m;
    ProgramHooks hooks;
    hooks.messenger = &m;
    bool ran = false;
    hooks.started = [&](TForm1& form, TForm2& readBack) {
        ran = true;
        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(form.CodeUoo->text(), QStringLiteral("4242"));
        EXPECT_FALSE(readBack.isVisible());
        EXPECT_EQ(readBack.parentWidget(), &form);
        // The tests run in the C locale: the program speaks Russian anyway.
        EXPECT_EQ(QLocale().language(), QLocale::Russian);
    };
    int argc = 1;
    char name[] = "uoo-programmer";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(runProgram(argc, argv, hooks), 0);
    QDir::setCurrent(before);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(m.boxes.empty());
}

TEST(ProgramEntry, AnExceptionAtStartUpIsShownAndTheProgramEndsWithZero) {
    ScriptedMessenger m;
    ProgramHooks hooks;
    hooks.messenger = &m;
    hooks.started = [](TForm1&, TForm2&) { throw std::runtime_error("Сбой при запуске"); };
    int argc = 1;
    char name[] = "uoo-programmer";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(runProgram(argc, argv, hooks), 0);
    ASSERT_EQ(m.boxes.size(), 1u);
    EXPECT_TRUE(m.boxes[0].error);
    EXPECT_EQ(m.boxes[0].text, QStringLiteral("Сбой при запуске"));
}

TEST(CommandLine, AnswersOrRefusesAsEveryLinuxProgramDoes) {
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("file")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    using A = CommandLine::Action;
    const struct {
        QStringList arguments;
        A action;
        const char* text; // a part of what is printed
    } cases[] = {
        {{}, A::Run, ""},
        {{"--simulated-device"}, A::Run, ""},
        // Qt's own options, in each of their spellings, stay Qt's.
        {{"-platform", "offscreen", "-style=fusion", "--reverse", "-display", ":0"}, A::Run, ""},
        {{"-h"}, A::Help, "Использование: uoo-programmer [ПАРАМЕТРЫ]"},
        {{"--simulated-device", "--help"}, A::Help, "--data-dir КАТАЛОГ"},
        {{"-v"}, A::Version, "uoo-programmer 1.08\n"},
        {{"--version"}, A::Version, "uoo-programmer 1.08\n"},
        {{"--simulated"},
         A::Fail,
         "uoo-programmer: неизвестный параметр «--simulated»\n"
         "Справка: uoo-programmer --help\n"},
        {{"-x"}, A::Fail, "неизвестный параметр «-x»"},
        {{"--x=1"}, A::Fail, "неизвестный параметр «--x»"},
        {{"-hv"}, A::Fail, "неизвестный параметр «-hv»"},
        // Qt reads a value after "=" only for the style options.
        {{"-platform=offscreen"}, A::Fail, "«-platform» пишется через пробел"},
        {{"--display=:0", "--help"}, A::Fail, "«--display» пишется через пробел"},
        {{"--stylesheet=a.qss"}, A::Run, ""},
        {{"--data-dir"}, A::Fail, "после «--data-dir» нужно значение"},
        {{"--data-dir="}, A::Fail, "после «--data-dir» нужно имя каталога"},
        {{"--data-dir", dir.filePath("none")}, A::Fail, "не существует"},
        {{"--data-dir", file.fileName()}, A::Fail, "не каталог"},
        {{"--data-dir", dir.path(), "--user-data"},
         A::Fail,
         "--data-dir и --user-data нельзя указать вместе"},
        {{"--user-data=yes"}, A::Fail, "у параметра «--user-data» не бывает значения"},
        {{"ProgInfo_10.MGA"}, A::Fail, "лишний аргумент «ProgInfo_10.MGA»"},
    };
    for (const auto& c : cases) {
        const CommandLine line = parseCommandLine(QStringList{"uoo-programmer"} + c.arguments);
        const std::string what = c.arguments.join(' ').toStdString();
        EXPECT_EQ(line.action, c.action) << what;
        EXPECT_TRUE(line.text.contains(QString::fromUtf8(c.text)))
            << what << ": " << line.text.toStdString();
        if (c.action == A::Fail) {
            EXPECT_EQ(line.text.count('\n'), 2) << what;
        }
    }
    const CommandLine chosen =
        parseCommandLine({"uoo-programmer", "--simulated-device", "--data-dir",
                          QDir(dir.path()).relativeFilePath(dir.path())});
    EXPECT_TRUE(chosen.simulatedDevice);
    EXPECT_TRUE(QFileInfo(chosen.dataDir).isAbsolute());
}

// Starts the program with the arguments; `started` runs in its window.
int runWith(QStringList arguments, ScriptedMessenger& m, std::function<void(TForm1&)> started) {
    arguments.prepend(QStringLiteral("uoo-programmer"));
    std::vector<QByteArray> bytes;
    for (const QString& a : arguments)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(bytes.size());
    ProgramHooks hooks;
    hooks.messenger = &m;
    hooks.started = [&](TForm1& form, TForm2&) { started(form); };
    return runProgram(argc, argv.data(), hooks);
}

TEST(ProgramEntry, KeepsItsFilesInTheChosenDataFolder) {
    QTemporaryDir dir;
    const QString shared = dir.filePath(QStringLiteral("shared"));
    ASSERT_TRUE(QDir().mkpath(shared));
    // The per-user folder of the tests' own, on each system.
    QStandardPaths::setTestModeEnabled(true);
    const QString personal =
        QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
            .filePath(QStringLiteral("uoo-programmer"));
    QDir(personal).removeRecursively();
    QFile::remove(personal);
    const struct {
        QStringList arguments;
        QString folder;
    } cases[] = {
        {{"--data-dir", shared}, shared},
        {{"--user-data"}, personal},
    };
    for (const auto& c : cases) {
        ScriptedMessenger m;
        QString database;
        QString log;
        EXPECT_EQ(runWith(c.arguments, m,
                          [&](TForm1& form) {
                              database = form.database().fileName();
                              log = form.logPath();
                          }),
                  0);
        EXPECT_EQ(database, c.folder + QStringLiteral("/ProgInfo_10.MGA"));
        EXPECT_EQ(log, c.folder + QStringLiteral("/ProgLog.log"));
        EXPECT_TRUE(m.boxes.empty());
    }
    // The personal folder was made for its owner alone.
    EXPECT_TRUE(OnlyTheOwnerMayOpen(personal));
    // A folder that cannot be made is said, and nothing opens.
    ASSERT_TRUE(QDir(personal).removeRecursively());
    QFile blocker(personal);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(personal).path()));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ScriptedMessenger m;
    bool opened = false;
    EXPECT_EQ(runWith({"--user-data"}, m, [&](TForm1&) { opened = true; }), 1);
    EXPECT_FALSE(opened);
    ASSERT_EQ(m.boxes.size(), 1u);
    EXPECT_TRUE(m.boxes[0].error);
    QFile::remove(personal);
    QStandardPaths::setTestModeEnabled(false);
}

#ifdef Q_OS_WIN
constexpr bool kIconFromQt = false; // the windows take the icon built into the program's file
#else
constexpr bool kIconFromQt = true;
#endif

TEST(ProgramEntry, TheToolkitSpeaksRussianAndTheWindowHasItsIcon) {
    ScriptedMessenger m;
    QTemporaryDir dir;
    EXPECT_EQ(runWith({"--data-dir", dir.path()}, m,
                      [&](TForm1& form) {
                          std::unique_ptr<QMenu> menu(form.SearchEdit->createStandardContextMenu());
                          ASSERT_FALSE(menu->actions().isEmpty());
                          EXPECT_TRUE(menu->actions().first()->text().startsWith(
                              QStringLiteral("&Отменить действие")));
                          if (kIconFromQt) {
                              EXPECT_FALSE(form.windowIcon().isNull());
                              EXPECT_FALSE(QApplication::windowIcon().pixmap(32, 32).isNull());
                          }
                          EXPECT_EQ(QGuiApplication::desktopFileName(),
                                    QStringLiteral("ru.uoo.Programmer"));
                      }),
              0);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
