#pragma once

#include <QHeaderView>

// A grid header of a fixed size. The toolkit's own header works its size out
// from the texts of up to 200 of its sections each time the grid's geometry
// changes (for the 9000 row numbers, a fifth of the start-up); the grid's
// headers have fixed sizes anyway.
class FixedSizeHeader final : public QHeaderView {
public:
    // `thickness`: the row numbers' width or the titles' height; `section`:
    // each section's size along the header.
    FixedSizeHeader(Qt::Orientation orientation, int thickness, int section, QWidget* parent)
        : QHeaderView(orientation, parent),
          hint_(orientation == Qt::Vertical ? QSize(thickness, section)
                                            : QSize(section, thickness)) {
        if (orientation == Qt::Vertical)
            setFixedWidth(thickness);
        else
            setFixedHeight(thickness);
        setSectionResizeMode(QHeaderView::Fixed);
        setDefaultSectionSize(section);
        setMinimumSectionSize(orientation == Qt::Vertical ? section : 20);
        setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
    QSize sizeHint() const override { return hint_; }

private:
    QSize hint_;
};
