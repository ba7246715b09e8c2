#include "team/Libpq.h"

#include "platform/SharedLibrary.h"

#include <mutex>

std::shared_ptr<const Libpq> Libpq::load(QString* whyNot) {
    static std::mutex guard;
    // Loaded once and never unloaded: libpq and the TLS library under it
    // keep state of their own for the life of the process.
    static std::shared_ptr<const Libpq> loaded;
    const std::lock_guard<std::mutex> lock(guard);
    if (loaded)
        return loaded;
    const QString name = QStringLiteral(UOO_LIBPQ_NAME);
    auto pq = std::make_shared<Libpq>();
    pq->library = platform::SharedLibrary::open(name, true, whyNot);
    if (!pq->library)
        return nullptr;
#define UOO_LIBPQ_RESOLVE(fn)                                                                      \
    if (!pq->library->resolve(#fn, &pq->fn)) {                                                     \
        *whyNot = QStringLiteral("%1: нет функции %2").arg(name, QLatin1String(#fn));              \
        return nullptr;                                                                            \
    }
    UOO_LIBPQ_CALLS(UOO_LIBPQ_RESOLVE)
#undef UOO_LIBPQ_RESOLVE
    loaded = pq;
    return pq;
}
