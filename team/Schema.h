#pragma once

#include <QString>

#include <functional>

class ConnectionString;
struct Libpq;

// The team database's objects on the server, as the program makes them and
// other tools of a company may rely on: schema uoo with its tables, view,
// triggers and the roles uoo_installer and uoo_viewer.
namespace TeamSchema {

// The schema's version this program makes and works with.
inline constexpr int Version = 1;
inline constexpr const char* Channel = "uoo_card";

// The SQL of the view uoo.cards, generated from the card's field table.
QString cardsViewSql();
// The columns of uoo.cards, in order, for the README and the tests.
QStringList cardsViewColumns();

struct SetupResult {
    int exitCode = 1;
    QString text; // what was done, or why not; ends with a newline
};
// Creates, or brings up to date, everything in one transaction under an
// advisory lock. `askPassword` is asked when the server wants a password
// that libpq's own sources did not give; false: none.
SetupResult setUp(const Libpq& pq, const ConnectionString& where,
                  const std::function<bool(const QString& prompt, QString* password)>& askPassword);

// --server-setup: libpq loaded, the string read, a password asked on the
// terminal when the server wants one and libpq's own sources have none.
SetupResult setUpFromCommandLine(const QString& connection);

} // namespace TeamSchema
