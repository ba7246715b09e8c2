#pragma once

#include <QRect>
#include <QString>
#include <QStringList>

class QCheckBox;
class QComboBox;
class QLabel;
class QWidget;

// Small builders shared by both windows, which place their controls at fixed
// positions as the layout gives them.
namespace FormKit {

// A caption beside a control; it names the control for screen readers.
QLabel* AddLabel(QWidget* parent, const QString& text, QRect geometry, QWidget* buddy = nullptr,
                 bool wrap = false);
QComboBox* AddCombo(QWidget* parent, const char* name, QRect geometry, const QStringList& items);
// `wrapped` lets a long caption run over several lines.
QCheckBox* AddCheck(QWidget* parent, const char* name, const QString& text, QRect geometry,
                    bool wrapped = false);

} // namespace FormKit
