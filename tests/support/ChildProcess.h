#pragma once

// Tests that need several processes start this very test executable again,
// as "<test> --child ROLE ARGS...", rather than forking it: so they run the
// same wherever the program runs. A role is a function registered under its
// name; the test's main() hands such a start to it.

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

using ChildRole = std::function<int(const QStringList& args)>;

// Registers `role` under `name`; for a static initialiser.
bool RegisterChildRole(const char* name, ChildRole role);
#define UOO_CHILD_ROLE(name, ...)                                                                  \
    static const bool childRole_##name = RegisterChildRole(#name, __VA_ARGS__)

// The exit code of the role the command line asks for; -1 when it asks for
// none (the tests run).
int RunChildRole(int argc, char** argv);

// Starts a role in a new process; the caller waits for it.
class Child {
public:
    // `through`: a command that starts the role, ending in the role's own
    // command line (for example a new namespace for a second machine).
    Child(const char* role, const QStringList& args, const QStringList& through = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // The role's exit code once it has ended; -1 when it could not start,
    // crashed or did not end within `ms`.
    int wait(int ms = 30000);
    // Ends it at once, as a crash or the task manager would, and waits.
    void kill();
    long long pid() const { return process_.processId(); }

private:
    QProcess process_;
};
