#include "app/CommandLine.h"

#include "Version.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>

namespace {

const QString kProgram = QStringLiteral("uoo-programmer");

// Options the application object reads itself; they are accepted here and
// removed from the arguments by Qt.
const char* const kQtValueOptions[] = {
    "platform",        "platformpluginpath",
    "platformtheme",   "plugin",
    "qwindowgeometry", "geometry",
    "qwindowtitle",    "title",
    "qwindowicon",     "icon",
    "display",         "name",
    "visual",          "session",
    "style",           "stylesheet",
};
const char* const kQtFlagOptions[] = {
    "reverse", "widgetcount", "sync", "nograb", "dograb", "testability",
};

QString helpText() {
    return QStringLiteral(
               "Использование: %1 [ПАРАМЕТРЫ]\n"
               "Утилита программирования УОО: база карточек настроек, запись карточки\n"
               "в устройство через кабель USB и считывание устройства.\n"
               "\n"
               "Параметры:\n"
               "  -h, --help            показать эту справку и выйти\n"
               "  -v, --version         показать версию и выйти\n"
               "      --simulated-device\n"
               "                        работать с устройством, имитируемым программой,\n"
               "                        вместо кабеля\n"
               "      --data-dir КАТАЛОГ\n"
               "                        хранить базу ProgInfo_10.MGA, журнал ProgLog.log\n"
               "                        и резервные копии в КАТАЛОГЕ (он должен\n"
               "                        существовать); по умолчанию - текущий каталог\n"
               "      --user-data       хранить их в личном каталоге пользователя\n"
               "                        (%2)\n"
               "      --server СТРОКА   работать с базой команды на сервере PostgreSQL\n"
               "                        (строка подключения libpq или URI, без пароля);\n"
               "                        каталог данных запоминает её\n"
               "      --server-setup СТРОКА\n"
               "                        создать или обновить базу команды на сервере\n"
               "                        (выполняет администратор, владелец базы) и выйти\n"
               "\n"
               "Принимаются и параметры Qt: -platform, -style, -display и другие.\n"
               "Код возврата: 0 - работа завершена, 1 - не удалось создать личный каталог\n"
               "или настроить базу команды, 2 - ошибка в параметрах.\n")
        .arg(kProgram, platform::userDataFolderShown());
}

CommandLine failure(const QString& reason) {
    CommandLine result;
    result.action = CommandLine::Action::Fail;
    result.text = QStringLiteral("%1: %2\nСправка: %1 --help\n").arg(kProgram, reason);
    return result;
}

// An option word as typed: the dashes and the name, without a value after "=".
QString typedOption(const QString& argument) {
    const auto equals = argument.indexOf(QLatin1Char('='));
    return equals < 0 ? argument : argument.left(equals);
}

// The name of an option word: without its dashes and its "=value".
QString optionName(const QString& argument) {
    QString name = typedOption(argument);
    while (name.startsWith(QLatin1Char('-')))
        name.remove(0, 1);
    return name;
}

// The option Qt's parser complains about, from its (untranslated) message
// "... after '--name'.".
QString quotedName(const QString& qtMessage) {
    const auto first = qtMessage.indexOf(QLatin1Char('\''));
    const auto last = qtMessage.lastIndexOf(QLatin1Char('\''));
    return first >= 0 && last > first ? qtMessage.mid(first + 1, last - first - 1) : QString();
}

} // namespace

CommandLine parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    // Qt's own options are words after a single dash.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption simulated(QStringLiteral("simulated-device"));
    const QCommandLineOption dataDir(QStringLiteral("data-dir"), QString(), QStringLiteral("dir"));
    const QCommandLineOption userData(QStringLiteral("user-data"));
    const QCommandLineOption server(QStringLiteral("server"), QString(),
                                    QStringLiteral("conninfo"));
    const QCommandLineOption serverSetup(QStringLiteral("server-setup"), QString(),
                                         QStringLiteral("conninfo"));
    parser.addOptions({help, version, simulated, dataDir, userData, server, serverSetup});
    for (const char* name : kQtValueOptions)
        parser.addOption(
            QCommandLineOption(QLatin1String(name), QString(), QStringLiteral("value")));
    for (const char* name : kQtFlagOptions)
        parser.addOption(QCommandLineOption(QLatin1String(name)));

    // The application object reads a value given with "=" only for the
    // style options; any other would be taken here and then ignored by Qt.
    for (const QString& argument : arguments.mid(1)) {
        if (argument == QLatin1String("--"))
            break;
        const QString name = optionName(argument);
        if (!argument.startsWith(QLatin1Char('-')) || !argument.contains(QLatin1Char('=')) ||
            name == QLatin1String("style") || name == QLatin1String("stylesheet"))
            continue;
        for (const char* qtOption : kQtValueOptions)
            if (name == QLatin1String(qtOption))
                return failure(QStringLiteral("значение параметра «%1» пишется через пробел, "
                                              "а не через «=»")
                                   .arg(typedOption(argument)));
    }

    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            // Named as typed, dashes and all.
            QString typed = unknown.first();
            for (const QString& argument : arguments.mid(1))
                if (argument.startsWith(QLatin1Char('-')) && optionName(argument) == typed) {
                    typed = typedOption(argument);
                    break;
                }
            return failure(QStringLiteral("неизвестный параметр «%1»").arg(typed));
        }
        const QString message = parser.errorText();
        const QString name = quotedName(message);
        if (message.startsWith(QLatin1String("Missing value")))
            return failure(QStringLiteral("после «%1» нужно значение").arg(name));
        if (message.startsWith(QLatin1String("Unexpected value")))
            return failure(QStringLiteral("у параметра «%1» не бывает значения").arg(name));
        return failure(message);
    }

    CommandLine result;
    if (parser.isSet(help)) {
        result.action = CommandLine::Action::Help;
        result.text = helpText();
        return result;
    }
    if (parser.isSet(version)) {
        result.action = CommandLine::Action::Version;
        result.text = QStringLiteral("%1 %2\n").arg(kProgram, QLatin1String(UOO_PROGRAM_VERSION));
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return failure(
            QStringLiteral("лишний аргумент «%1»").arg(parser.positionalArguments().first()));
    if (parser.isSet(dataDir) && parser.isSet(userData))
        return failure(QStringLiteral("--data-dir и --user-data нельзя указать вместе"));
    if (parser.values(dataDir).size() > 1)
        return failure(QStringLiteral("--data-dir указан больше одного раза"));

    for (const QCommandLineOption* o : {&server, &serverSetup}) {
        const QString name = QStringLiteral("--") + o->names().first();
        if (parser.values(*o).size() > 1)
            return failure(QStringLiteral("%1 указан больше одного раза").arg(name));
        if (parser.isSet(*o) && parser.value(*o).trimmed().isEmpty())
            return failure(QStringLiteral("после «%1» нужна строка подключения").arg(name));
    }
    if (parser.isSet(serverSetup)) {
        if (parser.isSet(server))
            return failure(QStringLiteral("--server и --server-setup нельзя указать вместе"));
        result.action = CommandLine::Action::ServerSetup;
        result.server = parser.value(serverSetup);
        return result;
    }
    result.server = parser.value(server);
    result.simulatedDevice = parser.isSet(simulated);
    result.userData = parser.isSet(userData);
    if (parser.isSet(dataDir)) {
        const QString dir = parser.value(dataDir);
        if (dir.isEmpty())
            return failure(QStringLiteral("после «--data-dir» нужно имя каталога"));
        const QFileInfo info(dir);
        if (!info.exists())
            return failure(QStringLiteral("каталог «%1» не существует").arg(dir));
        if (!info.isDir())
            return failure(QStringLiteral("«%1» - не каталог").arg(dir));
        result.dataDir = info.absoluteFilePath();
    }
    return result;
}

QString prepareUserDataFolder(QString* problem) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (folder.isEmpty()) {
        *problem = QStringLiteral("не удалось определить личный каталог пользователя");
        return {};
    }
    const QFileInfo info(folder);
    if (!info.exists()) {
        QDir().mkpath(info.absolutePath());
        // It will hold PINs and passwords: its owner's only.
        if (platform::makeFolder(platform::encodeName(folder).constData(), 0700) != 0 &&
            errno != EEXIST) {
            *problem = QStringLiteral("%1: %2").arg(folder, platform::errorText(errno));
            return {};
        }
    }
    if (!QFileInfo(folder).isDir()) {
        *problem = QStringLiteral("«%1» - не каталог").arg(folder);
        return {};
    }
    return folder;
}
