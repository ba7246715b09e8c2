#include "app/ProgramMain.h"

#include "app/BoxMessenger.h"
#include "app/ProgrammerApplication.h"
#include "app/TForm1.h"
#include "link/Clock.h"
#include "link/SimulatedDevice.h"
#include "readback/TForm2.h"
#include "store/DateTime.h"
#include "store/SettingsDatabase.h"

#include <QLocale>
#include <QStringList>

#include <exception>
#include <memory>

int RunProgram(int& argc, char** argv, const ProgramHooks& hooks) {
    // The 9000 slots exist, all free, before anything else.
    auto db = std::make_unique<SettingsDatabase>();
    BoxMessenger boxes;
    Messenger& messenger = hooks.messenger ? *hooks.messenger : boxes;
    try {
        ProgrammerApplication app(argc, argv);
        app.setMessenger(&messenger);
        QLocale::setDefault(OperatorLocale());
        std::shared_ptr<SimulatedDevice> simulated;
        if (app.arguments().contains(QStringLiteral("--simulated-device"))) {
            DeviceScript script;
            // Answers come about as slowly as through a real cable, where each
            // short keyword waits out the 200 ms read time-out.
            script.answerDelayMs = 120;
            simulated = std::make_shared<SimulatedDevice>(SteadyClock::instance(), script);
        }
        try {
            TForm1 form(*db, messenger);
            if (simulated)
                form.setCableFactory([simulated] { return simulated; });
            TForm2 readBack(&form);
            form.setReadBackWindow(&readBack);
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
