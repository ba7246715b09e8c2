#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Windows-1251, the code page of every stored and transmitted text. The one
// unassigned byte (0x98) maps to U+0098 so that any stored bytes survive a
// display and an unchanged save.
namespace Cp1251 {
QString decode(QByteArrayView bytes);
// Characters the code page cannot hold become '?'.
QByteArray encode(QStringView text);
// Whether every character of the text has a place in the code page.
bool canEncode(QStringView text);
bool canHold(char16_t c);
} // namespace Cp1251
