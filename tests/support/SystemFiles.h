#pragma once

// Odd files as each system has them, for the tests that put one where a
// file should be, and the privacy of a file as each system keeps it.

#include <QString>

// A FIFO under `path`. Windows has none in a folder: a folder stands in, the
// other thing there that is not a regular file.
bool MakeFifo(const QString& path);
// A symbolic link at `to` naming `from` (on Windows a real one, not the
// shortcut file QFile::link makes there).
bool MakeSymbolicLink(const QString& from, const QString& to);
// Whether this system lets the tests make one: Windows only in developer
// mode or for an administrator, and Wine not at all.
bool SymbolicLinksCanBeMade();
// A second name `to` of the file `from`.
bool MakeHardLink(const QString& from, const QString& to);
// Lets everyone read and write the file (Linux: mode 0666; Windows: an
// access list granting Everyone).
bool LetEveryoneIn(const QString& path);
// Whether only the running user (and, on Windows, the system itself) may
// open the file or folder: Linux's mode without group and other bits, or an
// access list that grants no one else.
bool OnlyTheOwnerMayOpen(const QString& path);
