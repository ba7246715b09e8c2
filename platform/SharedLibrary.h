#pragma once

#include <QString>

#include <memory>

namespace platform {

// A library of the system's loaded at run time, for what only some runs
// need: the program starts without it and says why when it is missing.
class SharedLibrary {
public:
    // `name`: the file name ("libpq.so.5", "libpq.dll"). `besideProgram`:
    // looked for only in the program's own folder and the system's (never in
    // the working directory or the search path, where anyone may put a file
    // of that name); otherwise as the system finds its libraries. Null with
    // the reason in `whyNot`.
    static std::shared_ptr<SharedLibrary> open(const QString& name, bool besideProgram,
                                               QString* whyNot);
    // Loaded with the system's own folder alone (a driver's library).
    static std::shared_ptr<SharedLibrary> openFromSystemFolder(const QString& name,
                                                               QString* whyNot);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // The address of an exported function, or null.
    void* symbol(const char* name) const;
    // The same, typed; false where it is missing.
    template <typename F> bool resolve(const char* name, F* to) const {
        *to = reinterpret_cast<F>(symbol(name));
        return *to != nullptr;
    }

private:
    explicit SharedLibrary(void* handle) : handle_(handle) {}
    void* handle_;
};

} // namespace platform
