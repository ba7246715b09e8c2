#pragma once

#include <QString>

#include <memory>

struct D2xxLibrary;
class ComPortApi;

// What the cable drivers of Windows take from the system.

// The Win32 communications calls and the system's list of serial ports.
std::shared_ptr<ComPortApi> newWin32ComPortApi();
// FTDI's driver library from the system folder, never from the program's
// folder or the working directory, where anyone could put a library of that
// name; null, with the reason in English, when it is missing or lacks one of
// the calls the cable needs.
std::shared_ptr<const D2xxLibrary> loadD2xxLibrary(QString* whyNot);
