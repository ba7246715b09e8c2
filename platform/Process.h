#pragma once

// What the process gets from its system: its arguments and where its words
// to the person who started it go. One file per system.

#include <QString>
#include <QStringList>

namespace platform {

// The arguments as the system holds them, in Unicode (a folder named in
// Cyrillic on any system locale).
QStringList commandLineArguments(int argc, char** argv);

enum class Stream { Out, Error };
// Writes `text` where the person who started the program reads it: the
// standard stream when there is one (a terminal, a pipe, a file). A
// windowed Windows program has none of its own, so there it is the console
// it was started from, else a message box. False when the text could not be
// written whole (a full disk, a closed pipe).
bool say(Stream stream, const QString& text);

// Asks for a secret on the terminal the program was started from, without
// echo. False where there is no terminal, or when nothing could be read.
bool askHidden(const QString& prompt, QString* answer);

// The per-user folder of --user-data as the help names it.
QString userDataFolderShown();

// Lets the allocator keep what the program frees for its next use. A save
// works with several 6 MB tables at once; handed back to the system after
// each save, their memory would come back page by page at the next one, at
// the cost of a page fault each. Called once, first thing.
void keepFreedMemoryForReuse();

} // namespace platform
