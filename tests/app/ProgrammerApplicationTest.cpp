#include "app/ProgrammerApplication.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QEvent>

#include <gtest/gtest.h>

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
    auto* app = qobject_cast<ProgrammerApplication*>(QCoreApplication::instance());
    ASSERT_NE(app, nullptr);
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

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    ProgrammerApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
