#include "app/ProgramMain.h"

#include "app/BoxMessenger.h"
#include "app/CommandLine.h"
#include "app/ProgrammerApplication.h"
#include "app/TForm1.h"
#include "emulator/SimulatedDevice.h"
#include "link/Clock.h"
#include "link/FTDI_Controller.h"
#include "platform/Process.h"
#include "readback/TForm2.h"
#include "store/DateTime.h"
#include "store/SettingsDatabase.h"
#include "team/Schema.h"
#include "team/TeamSync.h"

#include <QDir>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QStringList>
#include <QTranslator>

#include <exception>
#include <memory>

int runProgram(int& argc, char** argv, const ProgramHooks& hooks) {
    platform::keepFreedMemoryForReuse();
    // The command line is answered before the window system is touched.
    const CommandLine line = parseCommandLine(platform::commandLineArguments(argc, argv));
    switch (line.action) {
    case CommandLine::Action::Help:
    case CommandLine::Action::Version:
        return platform::say(platform::Stream::Out, line.text) ? 0 : 1;
    case CommandLine::Action::Fail:
        platform::say(platform::Stream::Error, line.text);
        return CommandLineErrorExit;
    case CommandLine::Action::ServerSetup: {
        const TeamSchema::SetupResult done = TeamSchema::setUpFromCommandLine(line.server);
        platform::say(done.exitCode == 0 ? platform::Stream::Out : platform::Stream::Error,
                      done.text);
        return done.exitCode;
    }
    case CommandLine::Action::Run:
        break;
    }

    // The per-user folder is made before the window system is touched, so
    // that a failure is said even where no window can open.
    QString dataDir = line.dataDir;
    QString dataProblem;
    if (line.userData) {
        QCoreApplication::setApplicationName(QStringLiteral("uoo-programmer"));
        dataDir = prepareUserDataFolder(&dataProblem);
        if (dataDir.isEmpty())
            platform::say(platform::Stream::Error,
                          QStringLiteral("uoo-programmer: %1\n").arg(dataProblem));
    }

    // The 9000 slots exist, all free, before anything else.
    auto db = std::make_unique<SettingsDatabase>();
    BoxMessenger boxes;
    Messenger& messenger = hooks.messenger ? *hooks.messenger : boxes;
    try {
        ProgrammerApplication app(argc, argv);
        app.setMessenger(&messenger);
        QLocale::setDefault(operatorLocale());
        // The toolkit's own texts (a text box's context menu, the buttons of
        // its boxes) speak the program's language.
        QTranslator toolkitTexts;
        if (toolkitTexts.load(QStringLiteral("qtbase_ru"),
                              QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(&toolkitTexts);

        if (!dataProblem.isEmpty()) {
            // Started from the menu, the box is all the operator sees.
            messenger.error(app.applicationName(), dataProblem);
            return 1;
        }
        if (!dataDir.isEmpty())
            db->setFileName(
                QDir(dataDir).filePath(QLatin1String(SettingsDatabase::DefaultFileName)));

        std::shared_ptr<SimulatedDevice> simulated;
        if (line.simulatedDevice) {
            DeviceScript script;
            // Answers come about as slowly as through a real cable, where each
            // short keyword waits out the 200 ms read time-out.
            script.answerDelayMs = 120;
            simulated = std::make_shared<SimulatedDevice>(SteadyClock::instance(), script);
        }
        try {
            TForm1 form(*db, messenger);
            if (!dataDir.isEmpty())
                form.setLogPath(
                    QDir(dataDir).filePath(QLatin1String(FTDI_Controller::DefaultLogName)));
            if (simulated)
                form.setCableFactory([simulated] { return simulated; });
            TForm2 readBack(&form);
            form.setReadBackWindow(&readBack);
            // A data folder that works with a team database connects again;
            // --server makes it one, or replaces its server.
            if (!line.server.isEmpty() || TeamSync::connectedFolder(db->fileName())) {
                QString problem;
                if (form.openTeam(line.server, &problem) == TForm1::TeamOpen::HeldElsewhere) {
                    messenger.inform(QStringLiteral("Внимание"), problem);
                    return 1;
                }
            }
            boxes.setParent(&form);
            form.show();
            if (hooks.started)
                hooks.started(form, readBack);
            else
                app.exec();
            boxes.setParent(nullptr);
        } catch (const std::exception& e) {
            boxes.setParent(nullptr);
            app.showException(e.what());
        } catch (...) {
            boxes.setParent(nullptr);
            app.showException("");
        }
    } catch (...) {
        // Without an application object there is no box to show it in.
    }
    return 0;
}
