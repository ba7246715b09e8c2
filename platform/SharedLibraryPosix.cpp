#include "platform/SharedLibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <dlfcn.h>

namespace platform {

std::shared_ptr<SharedLibrary> SharedLibrary::open(const QString& name, bool besideProgram,
                                                   QString* whyNot) {
    QByteArray path = QFile::encodeName(name);
    if (besideProgram && QCoreApplication::instance()) {
        const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(name);
        if (QFile::exists(beside))
            path = QFile::encodeName(beside);
    }
    // Its symbols stay its own: nothing else of the program links to it.
    void* handle = dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* said = dlerror();
        *whyNot = said ? QString::fromLocal8Bit(said) : name;
        return nullptr;
    }
    return std::shared_ptr<SharedLibrary>(new SharedLibrary(handle));
}

std::shared_ptr<SharedLibrary> SharedLibrary::openFromSystemFolder(const QString& name,
                                                                   QString* whyNot) {
    return open(name, false, whyNot);
}

SharedLibrary::~SharedLibrary() {
    dlclose(handle_);
}

void* SharedLibrary::symbol(const char* name) const {
    return dlsym(handle_, name);
}

} // namespace platform
