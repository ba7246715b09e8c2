#include "team/ConnectionString.h"

#include "team/Libpq.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <map>

namespace {

// The program's defaults, in the order they are given. sslmode depends on
// the host and is added apart.
const std::pair<const char*, const char*> kDefaults[] = {
    {"gssencmode", "disable"},   {"connect_timeout", "10"},     {"keepalives", "1"},
    {"keepalives_idle", "30"},   {"keepalives_interval", "10"}, {"keepalives_count", "3"},
    {"client_encoding", "UTF8"},
};

bool loopbackHost(const QString& host) {
    if (host.isEmpty() || host.startsWith(QLatin1Char('/')) || host.startsWith(QLatin1Char('@')))
        return true; // a Unix socket
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    // 127.0.0.0/8 and ::1, as libpq reads an address.
    static const QRegularExpression v4(QStringLiteral("^127(\\.[0-9]{1,3}){3}$"));
    static const QRegularExpression v6(QStringLiteral("^(0{0,4}:){2,7}0{0,3}1$"));
    return v4.match(host).hasMatch() || v6.match(host).hasMatch();
}

QString serviceFileOfUser() {
    const QByteArray named = qgetenv("PGSERVICEFILE");
    if (!named.isEmpty())
        return QFile::decodeName(named);
    return QDir::home().filePath(QStringLiteral(".pg_service.conf"));
}

QString serviceFileOfSystem() {
    const QByteArray dir = qgetenv("PGSYSCONFDIR");
    if (!dir.isEmpty())
        return QDir(QFile::decodeName(dir)).filePath(QStringLiteral("pg_service.conf"));
    return QStringLiteral("/etc/postgresql-common/pg_service.conf");
}

bool readService(const QString& path, const QByteArray& service,
                 std::vector<std::pair<QByteArray, QByteArray>>* into) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool inside = false, found = false;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            if (inside)
                break;
            inside = line == '[' + service + ']';
            found = found || inside;
            continue;
        }
        const auto eq = line.indexOf('=');
        if (inside && eq > 0)
            into->emplace_back(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return found;
}

} // namespace

std::vector<std::pair<QByteArray, QByteArray>> serviceSettings(const QByteArray& service) {
    std::vector<std::pair<QByteArray, QByteArray>> settings;
    if (!service.isEmpty() && !readService(serviceFileOfUser(), service, &settings))
        readService(serviceFileOfSystem(), service, &settings);
    return settings;
}

std::optional<ConnectionString> ConnectionString::parse(const Libpq& pq, const QString& text,
                                                        QString* problem) {
    char* error = nullptr;
    const QByteArray utf8 = text.toUtf8();
    PQconninfoOption* options = pq.PQconninfoParse(utf8.constData(), &error);
    if (!options) {
        *problem = error ? QString::fromUtf8(error).trimmed()
                         : QStringLiteral("строку подключения прочитать не удалось");
        if (error)
            pq.PQfreemem(error);
        return std::nullopt;
    }
    std::map<QByteArray, QByteArray> given;
    for (PQconninfoOption* o = options; o->keyword; ++o)
        if (o->val && *o->val)
            given[o->keyword] = o->val;
    pq.PQconninfoFree(options);
    if (given.count("password")) {
        *problem = QStringLiteral("пароль в строке подключения не принимается: он остался бы в "
                                  "файлах программы и в списке процессов. Пароль спросит "
                                  "программа, или его возьмут из файла паролей (~/.pgpass, "
                                  "PGPASSFILE)");
        return std::nullopt;
    }
    // What the service and libpq's environment say count as said.
    QByteArray service = given.count("service") ? given["service"] : qgetenv("PGSERVICE");
    for (const auto& [key, value] : serviceSettings(service))
        given.try_emplace(key, value);
    PQconninfoOption* known = pq.PQconndefaults();
    std::map<QByteArray, QByteArray> environment;
    for (PQconninfoOption* o = known; known && o->keyword; ++o)
        if (o->envvar && qEnvironmentVariableIsSet(o->envvar))
            environment[o->keyword] = qgetenv(o->envvar);
    if (known)
        pq.PQconninfoFree(known);
    for (const auto& [key, value] : environment)
        given.try_emplace(key, value);

    ConnectionString result;
    result.text_ = text;
    // The name is what a certificate is checked against: a name of another
    // machine counts as such even where its address is given as loopback.
    const QString hosts =
        QString::fromUtf8(given.count("host") ? given["host"] : given["hostaddr"]);
    // Every host it names this machine: a Unix socket or a loopback address.
    bool local = true;
    for (const QString& host : hosts.split(QLatin1Char(',')))
        local = local && loopbackHost(host.trimmed());
    if (!local && !given.count("sslmode") && !given.count("requiressl"))
        result.defaults_.emplace_back("sslmode", "verify-full");
    for (const auto& [key, value] : kDefaults)
        if (!given.count(key))
            result.defaults_.emplace_back(key, value);
    return result;
}

ConnectionString::Params ConnectionString::params(const QString& password) const {
    Params p;
    for (const auto& [key, value] : defaults_) {
        p.keys.push_back(key);
        p.values.push_back(value);
    }
    // Expanded in place: what the string says overrides the defaults above.
    p.keys.push_back("dbname");
    p.values.push_back(text_.toUtf8());
    if (!password.isEmpty()) {
        p.keys.push_back("password");
        p.values.push_back(password.toUtf8());
    }
    for (std::size_t i = 0; i < p.keys.size(); ++i) {
        p.keyPointers.push_back(p.keys[i].constData());
        p.valuePointers.push_back(p.values[i].constData());
    }
    p.keyPointers.push_back(nullptr);
    p.valuePointers.push_back(nullptr);
    return p;
}
