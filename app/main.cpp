// Process entry of the programming utility.
#include "app/BoxMessenger.h"
#include "app/ProgrammerApplication.h"
#include "app/TForm1.h"
#include "store/DateTime.h"
#include "store/SettingsDatabase.h"

#include <QLocale>

#include <exception>
#include <memory>

int main(int argc, char** argv) {
    // The 9000 slots exist, all free, before anything else.
    auto db = std::make_unique<SettingsDatabase>();
    BoxMessenger messenger;
    try {
        ProgrammerApplication app(argc, argv);
        app.setMessenger(&messenger);
        QLocale::setDefault(OperatorLocale());
        try {
            TForm1 form(*db, messenger);
            messenger.setParent(&form);
            form.show();
            app.exec();
            messenger.setParent(nullptr);
        } catch (const std::exception& e) {
            app.showException(e.what());
        } catch (...) {
            app.showException("");
        }
    } catch (...) {
        // Without an application object there is no box to show it in.
    }
    return 0;
}
