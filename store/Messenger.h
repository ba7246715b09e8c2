#pragma once

#include <QString>

// Every modal message box of the program goes through this interface: the
// window uses message boxes, tests use a recorder that answers from a script.
// It sits in the store because the store reports its own write failure.
class Messenger {
public:
    virtual ~Messenger() = default;
    // A box with the text, the caption and a single OK button.
    virtual void inform(const QString& caption, const QString& text) = 0;
    // A box with Yes and No; true for Yes.
    virtual bool ask(const QString& caption, const QString& text) = 0;
    // A box with the error icon and OK, for a failure nothing else caught.
    virtual void error(const QString& caption, const QString& text) { inform(caption, text); }
};
