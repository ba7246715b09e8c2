#pragma once

#include <QStringView>

#include <cstdint>

// The one parser for numbers typed as text: leading blanks skipped, an
// optional sign, decimal digits, or hexadecimal digits after "$", "x" or
// "0x" (either case). Empty text, any other character or a value beyond
// 32 bits gives the field's default. Hexadecimal takes up to 32 bits as a
// two's-complement value ("$FFFFFFFF" is -1); decimal must fit a signed
// 32-bit integer. Callers cut the result to their field's width.
std::int32_t parseNumber(QStringView text, std::int32_t fallback);
