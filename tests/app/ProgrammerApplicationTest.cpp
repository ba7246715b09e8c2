#include "app/ProgramMain.h"
#include "app/ProgrammerApplication.h"
#include "app/TForm1.h"
#include "readback/TForm2.h"
#include "store/SettingsDatabase.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QLocale>
#include <QTemporaryDir>
#include <QEvent>

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
    EXPECT_EQ(RunProgram(argc, argv, hooks), 0);
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
    EXPECT_EQ(RunProgram(argc, argv, hooks), 0);
    ASSERT_EQ(m.boxes.size(), 1u);
    EXPECT_TRUE(m.boxes[0].error);
    EXPECT_EQ(m.boxes[0].text, QStringLiteral("Сбой при запуске"));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
