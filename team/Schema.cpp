#include "team/Schema.h"

#include "platform/Process.h"
#include "store/CardFields.h"
#include "store/Cp1251.h"
#include "team/BlockingSession.h"
#include "team/ConnectionString.h"

#include <QStringList>

namespace {

QString columnOf(const CardField& f) {
    QString name = QString::fromLatin1(f.control).toLower();
    while (name.endsWith(QLatin1Char('_')))
        name.chop(1);
    return name;
}

// The program's own code page as an array of code points, byte 0 first.
QString codePageArray() {
    QStringList points;
    for (int b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        points << QString::number(Cp1251::decode(QByteArrayView(&byte, 1)).at(0).unicode());
    }
    return QStringLiteral("ARRAY[%1]").arg(points.join(QLatin1Char(',')));
}

QString unsignedAt(int offset, int width) {
    QStringList parts;
    for (int i = 0; i < width; ++i)
        parts << QStringLiteral("(pg_catalog.get_byte(record, %1)::bigint << %2)")
                     .arg(offset + i)
                     .arg(8 * i);
    return parts.join(QLatin1String(" | "));
}

QString columnSql(const CardField& f) {
    switch (f.kind) {
    case FieldKind::Text:
    case FieldKind::Address:
        return QStringLiteral("uoo.text_at(record, %1, %2)").arg(f.offset).arg(f.width);
    case FieldKind::Number:
        return f.width == 4 ? QStringLiteral("(%1)").arg(unsignedAt(f.offset, f.width))
                            : QStringLiteral("(%1)::integer").arg(unsignedAt(f.offset, f.width));
    case FieldKind::Choice:
        return QStringLiteral("pg_catalog.get_byte(record, %1)").arg(f.offset);
    case FieldKind::Switch:
        return f.bit ? QStringLiteral("(pg_catalog.get_byte(record, %1) & %2) <> 0")
                           .arg(f.offset)
                           .arg(f.bit)
                     : QStringLiteral("pg_catalog.get_byte(record, %1) <> 0").arg(f.offset);
    }
    return {};
}

struct Step {
    const char* what; // said once done; null: said by the step before
    QByteArray sql;
};

const char* const kFunctions =
    R"SQL(
CREATE FUNCTION uoo.float8_at(record bytea, o integer) RETURNS double precision
LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE SET search_path = pg_catalog, pg_temp AS $f$
  SELECT CASE
    WHEN e = 2047 AND m = 0 THEN CASE WHEN s THEN '-Infinity'::float8 ELSE 'Infinity'::float8 END
    WHEN e = 2047 THEN 'NaN'::float8
    WHEN e = 0 THEN 0::float8
    ELSE (CASE WHEN s THEN -1::float8 ELSE 1::float8 END)
         * (1::float8 + m::float8 / 4503599627370496::float8) * 2::float8 ^ (e - 1023) END
  FROM (SELECT (pg_catalog.get_byte(record, o + 7) & 128) <> 0 AS s,
               ((pg_catalog.get_byte(record, o + 7) & 127) << 4)
                 | (pg_catalog.get_byte(record, o + 6) >> 4) AS e,
               ((pg_catalog.get_byte(record, o + 6) & 15)::bigint << 48)
                 | (pg_catalog.get_byte(record, o + 5)::bigint << 40)
                 | (pg_catalog.get_byte(record, o + 4)::bigint << 32)
                 | (pg_catalog.get_byte(record, o + 3)::bigint << 24)
                 | (pg_catalog.get_byte(record, o + 2)::bigint << 16)
                 | (pg_catalog.get_byte(record, o + 1)::bigint << 8)
                 | pg_catalog.get_byte(record, o)::bigint AS m) AS bits
$f$;
CREATE FUNCTION uoo.date_of(days double precision) RETURNS timestamp
LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE SET search_path = pg_catalog, pg_temp AS $f$
  SELECT CASE WHEN days <> 'NaN'::float8 AND days >= 0 AND days < 2958466
    THEN '1899-12-30'::timestamp + pg_catalog.make_interval(secs => days * 86400) END
$f$;
CREATE FUNCTION uoo.card_stamp() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $f$
BEGIN
  IF TG_OP = 'UPDATE' AND NEW.slot IS DISTINCT FROM OLD.slot THEN
    RAISE EXCEPTION 'a card keeps its row: slot % cannot become %', OLD.slot, NEW.slot
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  -- Every writer waits here for the one before it to end, so versions
  -- become visible in the order of their numbers.
  PERFORM 1 FROM uoo.team FOR UPDATE;
  NEW.version := pg_catalog.nextval('uoo.card_version');
  NEW.changed_at := pg_catalog.clock_timestamp();
  NEW.changed_by := SESSION_USER;
  RETURN NEW;
END
$f$;
CREATE FUNCTION uoo.card_keep() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $f$
BEGIN
  INSERT INTO uoo.card_history (version, slot, record, changed_at, changed_by)
    VALUES (NEW.version, NEW.slot, NEW.record, NEW.changed_at, NEW.changed_by);
  PERFORM pg_catalog.pg_notify('uoo_card', '');
  RETURN NULL;
END
$f$;
CREATE FUNCTION uoo.refuse() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $f$
BEGIN
  RAISE EXCEPTION '% on %.% is not allowed: every version is kept', TG_OP, TG_TABLE_SCHEMA,
    TG_TABLE_NAME USING ERRCODE = 'insufficient_privilege';
END
$f$;
CREATE FUNCTION uoo.history_by_trigger() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $f$
BEGIN
  IF pg_catalog.pg_trigger_depth() < 2 THEN
    RAISE EXCEPTION 'uoo.card_history is written by the server alone'
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  RETURN NEW;
END
$f$;
)SQL";

const char* const kTables = R"SQL(
CREATE TABLE uoo.schema_version (version integer NOT NULL);
CREATE UNIQUE INDEX schema_version_one_row ON uoo.schema_version ((true));
CREATE TABLE uoo.team (id uuid NOT NULL DEFAULT pg_catalog.gen_random_uuid());
CREATE UNIQUE INDEX team_one_row ON uoo.team ((true));
INSERT INTO uoo.team DEFAULT VALUES;
CREATE SEQUENCE uoo.card_version;
CREATE TABLE uoo.card (
  slot smallint PRIMARY KEY CHECK (slot BETWEEN 0 AND 8999),
  record bytea NOT NULL CHECK (pg_catalog.octet_length(record) = 695),
  version bigint NOT NULL,
  changed_at timestamptz NOT NULL,
  changed_by name NOT NULL);
CREATE INDEX card_by_version ON uoo.card (version);
CREATE TABLE uoo.card_history (
  version bigint PRIMARY KEY,
  slot smallint NOT NULL,
  record bytea NOT NULL,
  changed_at timestamptz NOT NULL,
  changed_by name NOT NULL);
CREATE INDEX card_history_by_slot ON uoo.card_history (slot, version);
)SQL";

const char* const kTriggers = R"SQL(
CREATE TRIGGER card_stamp BEFORE INSERT OR UPDATE ON uoo.card
  FOR EACH ROW EXECUTE FUNCTION uoo.card_stamp();
CREATE TRIGGER card_keep AFTER INSERT OR UPDATE ON uoo.card
  FOR EACH ROW EXECUTE FUNCTION uoo.card_keep();
CREATE TRIGGER card_no_delete BEFORE DELETE ON uoo.card
  FOR EACH ROW EXECUTE FUNCTION uoo.refuse();
CREATE TRIGGER card_no_truncate BEFORE TRUNCATE ON uoo.card
  FOR EACH STATEMENT EXECUTE FUNCTION uoo.refuse();
CREATE TRIGGER history_insert BEFORE INSERT ON uoo.card_history
  FOR EACH ROW EXECUTE FUNCTION uoo.history_by_trigger();
CREATE TRIGGER history_no_change BEFORE UPDATE OR DELETE ON uoo.card_history
  FOR EACH ROW EXECUTE FUNCTION uoo.refuse();
CREATE TRIGGER history_no_truncate BEFORE TRUNCATE ON uoo.card_history
  FOR EACH STATEMENT EXECUTE FUNCTION uoo.refuse();
CREATE TRIGGER team_fixed BEFORE UPDATE OR DELETE ON uoo.team
  FOR EACH ROW EXECUTE FUNCTION uoo.refuse();
)SQL";

// Made where missing: roles belong to the whole server, and another setup
// (of this database or another) may be making them at this very moment.
const char* const kRoles = R"SQL(
DO $d$
DECLARE r text;
BEGIN
  FOREACH r IN ARRAY ARRAY['uoo_installer', 'uoo_viewer'] LOOP
    IF NOT EXISTS (SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = r) THEN
      BEGIN
        EXECUTE pg_catalog.format('CREATE ROLE %I NOLOGIN', r);
      EXCEPTION WHEN duplicate_object OR unique_violation THEN
        NULL;
      END;
    END IF;
  END LOOP;
END
$d$;
)SQL";

const char* const kGrants = R"SQL(
REVOKE ALL ON SCHEMA uoo FROM PUBLIC;
REVOKE ALL ON ALL TABLES IN SCHEMA uoo FROM PUBLIC;
REVOKE ALL ON ALL SEQUENCES IN SCHEMA uoo FROM PUBLIC;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA uoo FROM PUBLIC;
GRANT USAGE ON SCHEMA uoo TO uoo_installer, uoo_viewer;
GRANT SELECT ON uoo.schema_version, uoo.team, uoo.card, uoo.card_history, uoo.cards
  TO uoo_installer, uoo_viewer;
GRANT INSERT (slot, record), UPDATE (record) ON uoo.card TO uoo_installer;
GRANT EXECUTE ON FUNCTION uoo.text_at(bytea, integer, integer), uoo.float8_at(bytea, integer),
  uoo.date_of(double precision) TO uoo_installer, uoo_viewer;
)SQL";

QByteArray textFunctionSql() {
    return QStringLiteral(
               "CREATE FUNCTION uoo.text_at(record bytea, o integer, width integer) RETURNS text\n"
               "LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE SET search_path = pg_catalog, "
               "pg_temp AS $f$\n"
               "  SELECT COALESCE(pg_catalog.string_agg(pg_catalog.chr((%1)[\n"
               "    pg_catalog.get_byte(record, o + i) + 1]), '' ORDER BY i), '')\n"
               "  FROM pg_catalog.generate_series(0, width - 1) AS i\n"
               "  WHERE i < COALESCE((SELECT pg_catalog.min(j) FROM\n"
               "    pg_catalog.generate_series(0, width - 1) AS j\n"
               "    WHERE pg_catalog.get_byte(record, o + j) = 0), width)\n"
               "$f$;\n")
        .arg(codePageArray())
        .toUtf8();
}

} // namespace

namespace TeamSchema {

QStringList cardsViewColumns() {
    QStringList columns{QStringLiteral("slot"), QStringLiteral("version"),
                        QStringLiteral("changed_at"), QStringLiteral("changed_by")};
    for (const CardField& f : CardFields)
        if (!secretField(f))
            columns << columnOf(f);
    columns << QStringLiteral("changedate") << QStringLiteral("progdate")
            << QStringLiteral("progid1") << QStringLiteral("progid2");
    return columns;
}

QString cardsViewSql() {
    QStringList select{QStringLiteral("slot"), QStringLiteral("version"),
                       QStringLiteral("changed_at"), QStringLiteral("changed_by")};
    for (const CardField& f : CardFields)
        if (!secretField(f))
            select << QStringLiteral("%1 AS %2").arg(columnSql(f), columnOf(f));
    select << QStringLiteral("uoo.date_of(uoo.float8_at(record, %1)) AS changedate")
                  .arg(Offset::ChangeDate)
           << QStringLiteral("uoo.date_of(uoo.float8_at(record, %1)) AS progdate")
                  .arg(Offset::ProgDate)
           << QStringLiteral("(%1)::integer AS progid1").arg(unsignedAt(Offset::ProgID1, 2))
           << QStringLiteral("(%1)::integer AS progid2").arg(unsignedAt(Offset::ProgID2, 2));
    // In use as the program tests it: a ChangeDate of at least 0.001, and
    // not NaN, which the server orders above every number.
    return QStringLiteral("CREATE VIEW uoo.cards AS SELECT\n  %1\nFROM uoo.card\n"
                          "WHERE uoo.float8_at(record, %2) >= %3\n"
                          "  AND uoo.float8_at(record, %2) <> 'NaN'::float8;\n")
        .arg(select.join(QLatin1String(",\n  ")))
        .arg(Offset::ChangeDate)
        .arg(SettingsRecord::UsedThreshold);
}

SetupResult setUp(const Libpq& pq, const ConnectionString& where,
                  const std::function<bool(const QString&, QString*)>& askPassword) {
    SetupResult result;
    QString error;
    const auto fail = [&](const QString& what) {
        result.exitCode = 1;
        result.text = what + QLatin1Char('\n');
        return result;
    };
    auto session = BlockingSession::open(pq, where, askPassword, &error);
    if (!session)
        return fail(QStringLiteral("Не удалось подключиться к серверу: %1").arg(error));
    const auto failed = [&](const QString& what) {
        QString ignored;
        (void)session->run("ROLLBACK", &ignored);
        return fail(QStringLiteral("%1: %2\nНичего не изменено.").arg(what, error));
    };
    if (!session->run("BEGIN", &error) ||
        !session->run("SELECT pg_catalog.pg_advisory_xact_lock(1431261953)", &error))
        return failed(QStringLiteral("Не удалось начать настройку"));
    PgResult found = session->query("SELECT pg_catalog.to_regclass('uoo.schema_version') IS NOT "
                                    "NULL, pg_catalog.current_database(), SESSION_USER",
                                    {}, &error);
    if (!found)
        return failed(QStringLiteral("Не удалось прочитать схему"));
    const bool exists = *pq.PQgetvalue(found.get(), 0, 0) == 't';
    const QByteArray database = pq.PQgetvalue(found.get(), 0, 1);
    const QByteArray owner = pq.PQgetvalue(found.get(), 0, 2);
    if (exists) {
        PgResult version = session->query("SELECT version FROM uoo.schema_version", {}, &error);
        if (!version)
            return failed(QStringLiteral("Не удалось прочитать версию схемы"));
        const int have = pq.PQntuples(version.get()) == 1
                             ? QByteArray(pq.PQgetvalue(version.get(), 0, 0)).toInt()
                             : 0;
        QString ignored;
        (void)session->run("ROLLBACK", &ignored);
        if (have > Version)
            return fail(QStringLiteral("Схема uoo в базе %1 версии %2 новее, чем знает эта "
                                       "программа (версия %3). Обновите программу. Ничего не "
                                       "изменено.")
                            .arg(QString::fromUtf8(database))
                            .arg(have)
                            .arg(Version));
        if (have == Version) {
            result.exitCode = 0;
            result.text = QStringLiteral("Схема uoo в базе %1 уже в актуальном состоянии (версия "
                                         "%2). Ничего не изменено.\n")
                              .arg(QString::fromUtf8(database))
                              .arg(Version);
            return result;
        }
        return fail(QStringLiteral("Схема uoo в базе %1 повреждена (версия %2). Ничего не "
                                   "изменено.")
                        .arg(QString::fromUtf8(database))
                        .arg(have));
    }

    const QByteArray db = session->identifier(database);
    const std::vector<Step> steps = {
        {"Создана схема uoo", "CREATE SCHEMA uoo AUTHORIZATION " + session->identifier(owner)},
        {nullptr, "REVOKE CONNECT ON DATABASE " + db + " FROM PUBLIC"},
        {"Созданы таблицы uoo.schema_version, uoo.team, uoo.card, uoo.card_history",
         QByteArray(kTables)},
        {nullptr, textFunctionSql()},
        {"Созданы функции и триггеры: версии, время и автор изменений ставит сервер, удалять "
         "строки нельзя",
         QByteArray(kFunctions)},
        {nullptr, QByteArray(kTriggers)},
        {"Создано представление uoo.cards", cardsViewSql().toUtf8()},
        {"Роли uoo_installer и uoo_viewer есть на сервере", QByteArray(kRoles)},
        {"Права выданы: uoo_installer читает и пишет карточки, uoo_viewer только читает; "
         "остальным подключение к базе закрыто",
         QByteArray(kGrants) + "GRANT CONNECT ON DATABASE " + db + " TO uoo_installer, uoo_viewer"},
        {nullptr, "INSERT INTO uoo.schema_version VALUES (" + QByteArray::number(Version) + ")"},
    };
    QStringList said;
    for (const Step& step : steps) {
        if (!session->run(step.sql, &error))
            return failed(QStringLiteral("Настройка не удалась"));
        if (step.what)
            said << QString::fromUtf8(step.what) + QLatin1Char('.');
    }
    if (!session->run("COMMIT", &error))
        return failed(QStringLiteral("Настройка не сохранена"));
    PgResult team = session->query("SELECT id FROM uoo.team", {}, &error);
    result.exitCode = 0;
    result.text = QStringLiteral("База %1 настроена для работы команды (схема uoo, версия %2).\n")
                      .arg(QString::fromUtf8(database))
                      .arg(Version) +
                  said.join(QLatin1Char('\n')) + QLatin1Char('\n') +
                  (team ? QStringLiteral("Идентификатор базы команды: %1.\n")
                              .arg(QString::fromUtf8(pq.PQgetvalue(team.get(), 0, 0)))
                        : QString());
    return result;
}

SetupResult setUpFromCommandLine(const QString& connection) {
    QString problem;
    const auto pq = Libpq::load(&problem);
    if (!pq)
        return {1, QStringLiteral("Не удалось загрузить библиотеку PostgreSQL: %1\n").arg(problem)};
    const auto where = ConnectionString::parse(*pq, connection, &problem);
    if (!where)
        return {1, QStringLiteral("Строка подключения не принята: %1\n").arg(problem)};
    return setUp(*pq, *where, platform::askHidden);
}

} // namespace TeamSchema
