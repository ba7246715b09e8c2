// Both windows as a person sees them: every named control's place, size,
// visibility and state, against the record in tests/app/snapshots/. The
// record is kept by hand: a change of the look is a change of the record in
// the same commit. Where they differ, the controls as they are now are written
// beside the test program (NAME.actual), for comparing.
#include "app/TForm1.h"
#include "link/ConfigFrame.h"
#include "readback/TForm2.h"
#include "store/CardFields.h"
#include "tests/support/MainWindowSupport.h"

#include <QApplication>
#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

QStringList describe(QWidget& window) {
    QStringList lines;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")))
            continue; // the toolkit's own parts
        const QPoint at = w->mapTo(&window, QPoint(0, 0));
        lines << QStringLiteral("%1 %2 %3,%4 %5x%6%7%8")
                     .arg(name, QLatin1String(w->metaObject()->className()))
                     .arg(at.x())
                     .arg(at.y())
                     .arg(w->width())
                     .arg(w->height())
                     .arg(w->isVisibleTo(&window) ? QString() : QStringLiteral(" hidden"),
                          w->isEnabled() ? QString() : QStringLiteral(" disabled"));
    }
    lines.sort();
    return lines;
}

void expectRecorded(QWidget& window, const char* name) {
    QApplication::processEvents();
    const QStringList actual = describe(window);
    QFile file(QStringLiteral(UOO_SNAPSHOTS "/%1.txt").arg(QLatin1String(name)));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    const QStringList recorded =
        QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (actual == recorded)
        return;
    QFile out(QStringLiteral("%1.actual").arg(QLatin1String(name)));
    if (out.open(QIODevice::WriteOnly))
        out.write((actual.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    int told = 0;
    for (const QString& line : recorded)
        if (!actual.contains(line) && told++ < 10)
            ADD_FAILURE() << name << ": recorded, not seen: " << line.toStdString();
    for (const QString& line : actual)
        if (!recorded.contains(line) && told++ < 20)
            ADD_FAILURE() << name << ": seen, not recorded: " << line.toStdString();
    EXPECT_EQ(actual.size(), recorded.size()) << name;
}

class Snapshot : public MainWindowFixture {};

TEST_F(Snapshot, TheMainWindowAfterStartUp) {
    SettingsRecord& r = db->Slot(0);
    r.setCodeUoo(4711);
    r.setText(Field::NCardEdit, QStringLiteral("Склад №2"));
    r.setChangeDate(46000.5);
    openSaved();
    expectRecorded(*form, "main-window");
}

TEST_F(Snapshot, TheReadBackWindowShownAndFilled) {
    SettingsRecord& r = db->Slot(3);
    r.setCodeUoo(700);
    r.setText(Field::NCardEdit, QStringLiteral("Склад"));
    r.setText(Field::Pin1Edit, QStringLiteral("1234"));
    r.setText(Field::APN1Edit, QStringLiteral("internet"));
    r.setCord(1, 1);
    r.setChangeDate(46000.5);
    ConfigFrame frame{};
    std::uint16_t crc = 0;
    QRandomGenerator random(1);
    ASSERT_EQ(BuildConfigFrame(&r, frame.data(), &crc, 0, random), 264);
    r.StampProgrammed(crc, 46001.25);
    // Changed since: the window marks what differs.
    r.setText(Field::APN1Edit, QStringLiteral("internet.mts.ru"));
    TForm2 w;
    w.setDatabase(db.get());
    w.show();
    expectRecorded(w, "read-back");
    w.FillFromFrame(frame.data(), 0);
    expectRecorded(w, "read-back-filled");
}

} // namespace
