#pragma once

// Odd files as each system has them, for the tests that put one where a
// file should be.

#include <QString>

// A FIFO under `path`. Windows has none in a folder: a folder stands in, the
// other thing there that is not a regular file.
bool MakeFifo(const QString& path);
// A second name `to` of the file `from`.
bool MakeHardLink(const QString& from, const QString& to);
