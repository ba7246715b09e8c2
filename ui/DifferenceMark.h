#pragma once

#include <QColor>
#include <QPalette>
#include <QString>
#include <QWidget>

// Marks a control whose value differs from another's: an outline around it
// and its text in bold (a shape and a weight, not a colour alone, so it stands
// out on any palette), and a screen reader hears the other value as the
// control's description.
class DifferenceMark final : public QWidget {
    Q_OBJECT
public:
    // Marks `control`; the mark belongs to the control's parent and goes
    // with `Clear`.
    static void mark(QWidget* control, const QString& description);
    // Takes every mark off the controls under `window`.
    static void Clear(QWidget* window);
    // The outline's colour on a palette: an orange-red, lightened on a dark
    // one until it reads against the window.
    static QColor colour(const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    explicit DifferenceMark(QWidget* control);
};
