#include "link/Jobs.h"
#include "app/RecordsModel.h"
#include "app/TForm1.h"
#include "emulator/SimulatedDevice.h"
#include "link/ConfigFrame.h"
#include "link/Crc.h"
#include "readback/TForm2.h"
#include "store/Backup.h"
#include "tests/support/CardSupport.h"
#include "tests/support/LinkSupport.h"
#include "tests/support/MainWindowSupport.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTableView>
#include <QTimer>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>

namespace {

// Time moves only with the job's sleeps, so exchanges finish at once; each
// sleep yields so a silent device does not hog the core.
class QuickClock final : public Clock {
public:
    std::uint32_t TickCount() override { return now_.load(); }
    void Sleep(std::uint32_t ms) override {
        now_ += ms;
        std::this_thread::yield();
    }

private:
    std::atomic<std::uint32_t> now_{1};
};

class Jobs : public MainWindowFixture {
protected:
    SettingsRecord& card(int slot) {
        SettingsRecord& r = db->Slot(slot);
        r.setCodeUoo(100 + static_cast<std::uint32_t>(slot));
        r.setText(Field::NCardEdit, QStringLiteral("card"));
        r.setText(Field::Pin1Edit, QStringLiteral("1234"));
        r.setChangeDate(46000.5);
        r.setProgID1(0x1111);
        return r;
    }
    TForm1& open(DeviceScript script = {}, CableScript cable = {}) {
        device = std::make_shared<SimulatedDevice>(clock, script, cable);
        MainWindowFixture::open();
        form->setClock(clock);
        form->setLogPath(dir.filePath(QStringLiteral("ProgLog.log")));
        auto dev = device;
        form->setCableFactory([dev] { return dev; });
        readBack = std::make_unique<TForm2>();
        form->setReadBackWindow(readBack.get());
        form->showReadBack = [this](TForm2&) { ++readBacksShown; };
        return *form;
    }
    // Lets the job run and its completion and end come through.
    bool waitIdle(int ms = 10000) {
        QElapsedTimer t;
        t.start();
        while (form->ProgJob || form->ReadJob) {
            if (t.elapsed() > ms)
                return false;
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        QApplication::processEvents();
        return true;
    }
    void spin(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QStringList texts() const {
        QStringList out;
        for (const auto& b : messenger.boxes)
            out << b.text;
        return out;
    }

    QuickClock clock;
    std::shared_ptr<SimulatedDevice> device;
    std::unique_ptr<TForm2> readBack;
    int readBacksShown = 0;
};

const QString kProgFailed = QStringLiteral("Программирование НЕ проведено!\n\nПричина:\n");
const QString kReadFailed = QStringLiteral("СЧИТЫВАНИЕ НЕ ПРОИЗВЕДЕНО\n\nПричина:\n");

TEST_F(Jobs, FreeSlotHasNothingToProgram) {
    TForm1& f = open();
    f.ProgBtn->click();
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Внимание"));
    EXPECT_EQ(messenger.boxes[0].text,
              QStringLiteral("Текущая запись НЕ СОДЕРЖИТ ДАННЫХ!\nВыберите запись с данными или "
                             "создайте новую"));
    EXPECT_EQ(f.ProgJob, nullptr);
    EXPECT_EQ(f.ProgBtn->text(), QStringLiteral("Программировать"));
    EXPECT_EQ(device->opens(), 0);
}

TEST_F(Jobs, CableProblemsAreReportedUnderEachHeading) {
    const struct {
        CableScript cable;
        QString reason;
    } cases[] = {
        {{0, false, -1}, QStringLiteral("Кабель FTDI не найден.")},
        {{2, false, -1},
         QStringLiteral("Подключено более одного кабеля FTDI\n\nПрограммирование возможно только "
                        "через один подключенный кабель")},
        {{1, true, -1},
         QStringLiteral("Драйвер FTDI не отвечает.\nПроверьте наличие драйвера и перезапустите "
                        "программу.")},
        {{1, false, 12}, QStringLiteral("Ошибка при обращении к устройству FTDI.")},
    };
    for (const auto& c : cases) {
        card(0);
        messenger.boxes.clear();
        TForm1& f = open({}, c.cable);
        f.ProgBtn->click();
        ASSERT_TRUE(waitIdle());
        f.SpeedButton1->click();
        ASSERT_TRUE(waitIdle());
        ASSERT_EQ(messenger.boxes.size(), 2u) << c.reason.toStdString();
        EXPECT_EQ(messenger.boxes[0].text, kProgFailed + c.reason + QStringLiteral("\n\n"));
        EXPECT_EQ(messenger.boxes[1].text, kReadFailed + c.reason + QStringLiteral("\n\n"));
        EXPECT_EQ(messenger.boxes[1].caption, QStringLiteral("Внимание"));
        EXPECT_EQ(db->Slot(0).ProgID1(), 0x1111);
        EXPECT_EQ(db->Slot(0).ProgDate(), 0.0);
        EXPECT_FALSE(QFileInfo::exists(path));
    }
}

TEST_F(Jobs, DeviceErrorsHaveTheirOwnReasons) {
    card(0);
    DeviceScript script;
    script.errorAtAnswer = 1;
    TForm1& f = open(script);
    f.ProgBtn->click();
    ASSERT_TRUE(waitIdle());
    // The device counts its answers on: READY was the third, its first
    // packet would be the fourth.
    script.errorAtAnswer = 3;
    device->setScript(script);
    f.SpeedButton1->click();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(
        texts(),
        (QStringList{kProgFailed + QStringLiteral("УОО вернул ошибку при программировании\n\n"),
                     kReadFailed + QStringLiteral("УОО вернул ошибку при считывании\n\n")}));
}

TEST_F(Jobs, SuccessfulProgrammingStampsTheCardAndSavesAfterTheMessage) {
    card(0);
    TForm1& f = open();
    messenger.boxes.clear();
    f.ProgBtn->click();
    EXPECT_EQ(f.ProgBtn->text(), QStringLiteral("Остановить"));
    EXPECT_FALSE(f.SpeedButton1->isEnabled());
    EXPECT_FALSE(f.SetsGrid->isEnabled());
    EXPECT_TRUE(f.Progress->isVisibleTo(&f));
    ASSERT_TRUE(waitIdle());
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Операция завершена"));
    EXPECT_EQ(messenger.boxes[0].text,
              QStringLiteral("Программирование произведено успешно!\n\nВыключите УОО и снимите "
                             "перемычку программирования.\nНа ПЦН удалите и снова поставьте УОО "
                             "на обслуживание!"));
    const ConfigFrame sent = device->storedFrame();
    const std::uint16_t crc = static_cast<std::uint16_t>(sent[262] | (sent[263] << 8));
    EXPECT_EQ(db->Slot(0).ProgID1(), crc);
    EXPECT_EQ(db->Slot(0).ProgID2(), 0x1111);
    EXPECT_GT(db->Slot(0).ProgDate(), 46000.0);
    EXPECT_EQ(f.ProgID1->text(), QStringLiteral("%1").arg(crc, 4, 16, QLatin1Char('0')).toUpper());
    EXPECT_EQ(f.ProgID2->text(), QStringLiteral("1111"));
    EXPECT_FALSE(f.recordsModel().cellText(0, 4).isEmpty());
    SettingsDatabase reread;
    reread.setFileName(path);
    ASSERT_TRUE(reread.Load());
    EXPECT_EQ(reread.Slot(0).ProgID1(), crc);
    EXPECT_EQ(f.ProgBtn->text(), QStringLiteral("Программировать"));
    EXPECT_TRUE(f.SetsGrid->isEnabled());
    EXPECT_FALSE(f.Progress->isVisibleTo(&f));
    EXPECT_EQ(f.Progress->value(), 0);

    // A second programming sends a frame with other random bytes.
    f.ProgBtn->click();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(db->Slot(0).ProgID2(), crc);
    EXPECT_NE(db->Slot(0).ProgID1(), crc);
    EXPECT_EQ(device->framesStored(), 2) << texts().join(QLatin1Char('|')).toStdString();
}

TEST_F(Jobs, TheFileIsWrittenOnlyAfterTheSuccessMessageIsClosed) {
    card(0);
    struct FileWatcher final : public Messenger {
        QString path;
        bool fileExistedAtMessage = true;
        void inform(const QString&, const QString& text) override {
            if (text.startsWith(QStringLiteral("Программирование произведено")))
                fileExistedAtMessage = QFileInfo::exists(path);
        }
        bool ask(const QString&, const QString&) override { return false; }
    } watcher;
    watcher.path = path;
    device = std::make_shared<SimulatedDevice>(clock);
    auto dev = device;
    form = std::make_unique<TForm1>(*db, watcher);
    form->setClock(clock);
    form->setLogPath(dir.filePath(QStringLiteral("ProgLog.log")));
    form->setCableFactory([dev] { return dev; });
    form->ProgBtn->click();
    ASSERT_TRUE(waitIdle());
    EXPECT_FALSE(watcher.fileExistedAtMessage);
    EXPECT_TRUE(QFileInfo::exists(path));
}

TEST_F(Jobs, StopShowsOnlyTheStopMessage) {
    card(0);
    DeviceScript silent;
    silent.silent = true;
    TForm1& f = open(silent);
    f.ProgBtn->click();
    spin(30);
    f.ProgBtn->click();
    EXPECT_EQ(f.ProgBtn->text(), QStringLiteral("Программировать"));
    EXPECT_TRUE(f.SetsGrid->isEnabled());
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(f.SpeedButton1->isEnabled());
    ASSERT_EQ(messenger.boxes.size(), 1u);
    EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Операция не завершена"));
    EXPECT_TRUE(messenger.boxes[0].text.startsWith(
        QStringLiteral("Программирование ОСТАНОВЛЕНО! УОО R7 остался не запрограммированным.")));
    EXPECT_EQ(db->Slot(0).ProgID1(), 0x1111);
    EXPECT_FALSE(device->isOpen());

    messenger.boxes.clear();
    f.SpeedButton1->click();
    spin(30);
    f.SpeedButton1->click();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(texts(), QStringList{QStringLiteral("Считывание ОСТАНОВЛЕНО!")});
    EXPECT_EQ(f.SpeedButton1->text(), QStringLiteral("Считать"));
    EXPECT_FALSE(f.ReadingActive);
}

// A cable that holds the job thread at one chosen moment until the test lets
// it go, so that the operator's stop lands exactly there.
class GatedCable final : public CableDriver {
public:
    enum class Gate { None, Open, AfterWrite, AfterOk };
    GatedCable(std::shared_ptr<SimulatedDevice> device, Gate gate, int afterWrites = 1)
        : device_(std::move(device)), gate_(gate), afterWrites_(afterWrites) {}

    bool paused() const { return paused_.load(); }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        wake_.notify_all();
    }

    int CreateDeviceInfoList(std::uint32_t* n) override { return device_->CreateDeviceInfoList(n); }
    int GetDeviceInfoList(std::uint8_t* l, std::size_t c, std::uint32_t* n) override {
        return device_->GetDeviceInfoList(l, c, n);
    }
    int OpenEx(const std::uint8_t* s, int by, Handle* h) override {
        if (gate_ == Gate::Open)
            hold();
        return device_->OpenEx(s, by, h);
    }
    int SetBaudRate(Handle h, std::uint32_t b) override { return device_->SetBaudRate(h, b); }
    int SetDataCharacteristics(Handle h, std::uint8_t w, std::uint8_t s, std::uint8_t p) override {
        return device_->SetDataCharacteristics(h, w, s, p);
    }
    int SetFlowControl(Handle h, std::uint16_t f, std::uint8_t on, std::uint8_t off) override {
        return device_->SetFlowControl(h, f, on, off);
    }
    int SetLatencyTimer(Handle h, std::uint8_t ms) override {
        return device_->SetLatencyTimer(h, ms);
    }
    int SetTimeouts(Handle h, std::uint32_t r, std::uint32_t w) override {
        return device_->SetTimeouts(h, r, w);
    }
    int GetStatus(Handle h, std::uint32_t* rx, std::uint32_t* tx, std::uint32_t* ev) override {
        return device_->GetStatus(h, rx, tx, ev);
    }
    int Read(Handle h, std::uint8_t* b, std::uint32_t n, std::uint32_t* got) override {
        const int status = device_->Read(h, b, n, got);
        if (gate_ == Gate::AfterOk && *got == 2 && std::memcmp(b, "OK", 2) == 0)
            hold();
        return status;
    }
    int Write(Handle h, const std::uint8_t* d, std::uint32_t n, std::uint32_t* done) override {
        const int status = device_->Write(h, d, n, done);
        if (gate_ == Gate::AfterWrite && --afterWrites_ == 0)
            hold();
        return status;
    }
    int Close(Handle h) override { return device_->Close(h); }

private:
    void hold() {
        std::unique_lock lock(mutex_);
        paused_.store(true);
        wake_.wait(lock, [this] { return released_; });
    }
    std::shared_ptr<SimulatedDevice> device_;
    Gate gate_;
    int afterWrites_;
    std::atomic<bool> paused_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool released_ = false;
};

const QString kProgStopped =
    QStringLiteral("Программирование ОСТАНОВЛЕНО! УОО R7 остался не запрограммированным.\n\n"
                   "Проверьте, что перемычка программирования установлена,а 1-й вывод кабеля FTDI "
                   "соответствует 1-му контакту на плате УОО R5. Передерните питание УОО и "
                   "повторите попытку программирования.");
const QString kProgDone =
    QStringLiteral("Программирование произведено успешно!\n\nВыключите УОО и снимите перемычку "
                   "программирования.\nНа ПЦН удалите и снова поставьте УОО на обслуживание!");

TEST_F(Jobs, AStampGoesOnlyOntoTheCardTheDeviceReceived) {
    const QString question = QStringLiteral(
        "Карточка «card» (строка 1) изменена или удалена в другой копии программы, пока шло "
        "программирование.\n\nСохранить в базе вариант, записанный в УОО?");
    const struct {
        const char* name;
        std::function<void(SettingsRecord&)> there; // what another copy does meanwhile
        std::deque<bool> answers;
        bool asked;
        bool stamped; // the file's card carries this programming
        QString apn;  // and this access point
    } cases[] = {
        {"a remark changed there",
         [](SettingsRecord& r) { r.setText(Field::RemarkEdit, "B"); },
         {},
         false,
         true,
         QString()},
        {"the access point changed there, 'Да'",
         [](SettingsRecord& r) { r.setText(Field::APN1Edit, "b.apn"); },
         {true},
         true,
         true,
         QString()},
        {"the access point changed there, 'Нет'",
         [](SettingsRecord& r) { r.setText(Field::APN1Edit, "b.apn"); },
         {false},
         true,
         false,
         QStringLiteral("b.apn")},
        {"deleted there, 'Нет'",
         [](SettingsRecord& r) { r.Clear(); },
         {false},
         true,
         false,
         QString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form.reset();
        QFile::remove(path);
        db = std::make_unique<SettingsDatabase>();
        db->setFileName(path);
        card(0);
        ScriptedMessenger quiet;
        ASSERT_TRUE(db->Save(quiet));
        TForm1& f = open();
        messenger.boxes.clear();
        messenger.answers = c.answers;
        messenger.whileOpen = [&](const ScriptedMessenger::Box& box) {
            if (box.text != kProgDone)
                return;
            SettingsDatabase other;
            other.setFileName(path);
            (void)other.Load();
            c.there(other.Slot(0));
            ASSERT_TRUE(other.Save(quiet));
        };
        f.ProgBtn->click();
        ASSERT_TRUE(waitIdle());
        messenger.whileOpen = {};
        ASSERT_EQ(messenger.boxes.size(), c.asked ? 2u : 1u);
        if (c.asked) {
            EXPECT_EQ(messenger.boxes[1].caption, QStringLiteral("Внимание"));
            EXPECT_EQ(messenger.boxes[1].text, question);
        }
        const ConfigFrame sent = device->storedFrame();
        const std::uint16_t crc = static_cast<std::uint16_t>(sent[262] | (sent[263] << 8));
        SettingsDatabase now;
        now.setFileName(path);
        (void)now.Load();
        EXPECT_EQ(now.Slot(0).ProgID1() == crc, c.stamped);
        EXPECT_EQ(now.Slot(0).text(Field::APN1Edit), c.apn);
        EXPECT_EQ(now.Slot(0), db->Slot(0));
        if (!now.Slot(0).IsUsed()) {
            EXPECT_EQ(now.Slot(0), SettingsRecord()); // a free row stays all zeros
        }
        EXPECT_EQ(
            f.ProgID1->text(),
            QStringLiteral("%1").arg(db->Slot(0).ProgID1(), 4, 16, QLatin1Char('0')).toUpper());
    }
}

TEST_F(Jobs, StopInEveryPhaseEndsTheJobAndIsToldOnceItHasEnded) {
    using Gate = GatedCable::Gate;
    const struct {
        const char* name;
        bool reading;
        Gate gate;
        int afterWrites;
        bool programmed; // the device had confirmed the whole frame
        int verdict = 0; // programming, the 11th write being the end packet: 1 ERROR, 2 silence
    } cases[] = {
        {"programming, during Open", false, Gate::Open, 0, false},
        {"programming, during the handshake", false, Gate::AfterWrite, 1, false},
        {"programming, during the transfer", false, Gate::AfterWrite, 4, false},
        {"programming, after the end packet", false, Gate::AfterWrite, 11, true},
        {"programming, after the end packet, ERROR", false, Gate::AfterWrite, 11, false, 1},
        {"programming, after the end packet, silence", false, Gate::AfterWrite, 11, false, 2},
        {"programming, after the device's OK", false, Gate::AfterOk, 0, true},
        {"reading, during Open", true, Gate::Open, 0, false},
        {"reading, during the collection", true, Gate::AfterWrite, 4, false},
    };
    for (const auto& c : cases) {
        card(0);
        messenger.boxes.clear();
        DeviceScript script;
        (c.verdict == 1 ? script.errorAtAnswer : script.silentFromAnswer) = c.verdict ? 11 : -1;
        TForm1& f = open(script);
        std::shared_ptr<GatedCable> gated;
        auto dev = device;
        f.setCableFactory([&gated, dev, &c] {
            gated = std::make_shared<GatedCable>(dev, c.gate, c.afterWrites);
            return gated;
        });
        QPushButton* command = c.reading ? f.SpeedButton1 : f.ProgBtn;
        command->click();
        QElapsedTimer t;
        t.start();
        while (!gated->paused() && t.elapsed() < 5000)
            spin(1);
        ASSERT_TRUE(gated->paused()) << c.name;
        command->click(); // "Остановить"
        const QByteArray sentBeforeStop = device->received();
        // Idle at once; neither command until the job has ended; no word yet.
        EXPECT_EQ(command->text(),
                  c.reading ? QStringLiteral("Считать") : QStringLiteral("Программировать"))
            << c.name;
        EXPECT_FALSE(f.ProgBtn->isEnabled()) << c.name;
        EXPECT_FALSE(f.SpeedButton1->isEnabled()) << c.name;
        EXPECT_TRUE(f.SetsGrid->isEnabled()) << c.name;
        EXPECT_TRUE(messenger.boxes.empty()) << c.name;
        gated->release();
        ASSERT_TRUE(waitIdle()) << c.name;
        EXPECT_EQ(device->received(), sentBeforeStop) << c.name;
        const QString expected =
            c.reading      ? QStringLiteral("Считывание ОСТАНОВЛЕНО!")
            : c.programmed ? kProgDone
            : c.verdict == 1 ? kProgFailed + "УОО вернул ошибку при программировании\n\n"
            : c.verdict == 2 ? QStringLiteral("Программирование НЕ подтверждено!\n\nУОО получил "
                                              "все данные, но не ответил. Возможно, он уже "
                                              "запрограммирован: проверьте его кнопкой «Считать».")
                             : kProgStopped;
        EXPECT_EQ(texts(), QStringList{expected}) << c.name;
        EXPECT_EQ(db->Slot(0).ProgID1() != 0x1111, c.programmed) << c.name;
        EXPECT_EQ(QFileInfo::exists(path), c.programmed) << c.name;
        EXPECT_EQ(readBacksShown, 0) << c.name;
        EXPECT_TRUE(f.ProgBtn->isEnabled() && f.SpeedButton1->isEnabled()) << c.name;
        EXPECT_FALSE(device->isOpen()) << c.name;
        // Afresh, with nothing to restore from.
        QFile::remove(path);
        db->backups().wait();
        QDir(BackupKeeper::folderOf(path)).removeRecursively();
    }
}

TEST_F(Jobs, StopBeforeTheJobRunsOpensNothing) {
    for (bool reading : {false, true}) {
        auto dev = std::make_shared<SimulatedDevice>(clock);
        std::unique_ptr<CableJob> job;
        if (reading)
            job = std::make_unique<TReadThread>(dev, clock, dir.filePath(QStringLiteral("log")));
        else
            job = std::make_unique<TProgThread>(dev, clock, dir.filePath(QStringLiteral("log")),
                                                card(0), 1);
        job->stop();
        job->start();
        job->join();
        EXPECT_TRUE(job->outcome().JobStopped()) << reading;
        EXPECT_EQ(dev->opens(), 0) << reading;
    }
}

TEST_F(Jobs, EditModeEnteredWhileAStoppedJobEndsKeepsTheCommandsOff) {
    card(0);
    TForm1& f = open();
    std::shared_ptr<GatedCable> gated;
    auto dev = device;
    f.setCableFactory([&gated, dev] {
        gated = std::make_shared<GatedCable>(dev, GatedCable::Gate::AfterWrite, 1);
        return gated;
    });
    f.ProgBtn->click();
    while (!gated->paused())
        spin(1);
    f.ProgBtn->click();
    messenger.answers = {true};
    f.BitBtn1->click(); // edit mode on, then cancelled
    f.BitBtn1->click();
    ASSERT_FALSE(f.EditMode);
    EXPECT_FALSE(f.ProgBtn->isEnabled());
    EXPECT_FALSE(f.SpeedButton1->isEnabled());
    f.BitBtn1->click(); // and on once more
    gated->release();
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(f.EditMode);
    EXPECT_FALSE(f.ProgBtn->isEnabled());
    EXPECT_FALSE(f.SpeedButton1->isEnabled());
}

TEST_F(Jobs, ReadFillsTheReadBackWindow) {
    TForm1& f = open();
    SettingsRecord r;
    r.setCodeUoo(31999);
    r.setText(Field::APN1Edit, QStringLiteral("internet"));
    ConfigFrame frame{};
    std::copy(r.data(), r.data() + 260, frame.begin());
    const std::uint16_t crc = Crc16(frame.data(), 262);
    frame[262] = static_cast<std::uint8_t>(crc & 0xFF);
    frame[263] = static_cast<std::uint8_t>(crc >> 8);
    device->setStoredFrame(frame);
    f.SpeedButton1->click();
    EXPECT_EQ(f.SpeedButton1->text(), QStringLiteral("Остановить"));
    EXPECT_FALSE(f.ProgBtn->isEnabled());
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(readBacksShown, 1);
    EXPECT_TRUE(messenger.boxes.empty());
    EXPECT_EQ(readBack->CodeUoo->text(), QStringLiteral("31999"));
    EXPECT_EQ(readBack->APN1Edit->text(), QStringLiteral("internet"));
    EXPECT_FALSE(f.EditMode);
    EXPECT_TRUE(f.SetsGrid->isEnabled());
    EXPECT_TRUE(f.ProgBtn->isEnabled());
}

TEST_F(Jobs, DataThatIsNotAFrameIsRejected) {
    QByteArray badCrc(264, 'x');
    for (const QByteArray& data : {badCrc, QByteArray("")}) {
        DeviceScript script;
        script.readData = data;
        messenger.boxes.clear();
        TForm1& f = open(script);
        f.SpeedButton1->click();
        ASSERT_TRUE(waitIdle());
        EXPECT_EQ(texts(), QStringList{kReadFailed +
                                       QStringLiteral("Получены неверные данные от УОО.\n\n")});
        EXPECT_EQ(readBacksShown, 0);
        EXPECT_FALSE(f.EditMode);
        EXPECT_TRUE(f.SetsGrid->isEnabled());
    }
}

TEST_F(Jobs, CardOfAnotherVersionIsNeverSent) {
    card(0).setVersionCombo(2);
    TForm1& f = open();
    f.ProgBtn->click();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(texts(), QStringList{kProgFailed + NoFrameReason + QStringLiteral("\n\n")});
    EXPECT_TRUE(device->received().isEmpty());
    EXPECT_EQ(device->opens(), 0);
}

TEST_F(Jobs, LogThatCannotBeCreatedStartsNothing) {
    card(0);
    TForm1& f = open();
    // A FIFO under the log's name: opening it must neither block the window
    // nor pass for a log.
    const QString fifo = dir.filePath(QStringLiteral("ProgLog.log"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    f.setLogPath(fifo);
    f.ProgBtn->click();
    f.setLogPath(dir.filePath(QStringLiteral("missing/ProgLog.log")));
    f.SpeedButton1->click();
    ASSERT_EQ(messenger.boxes.size(), 2u);
    EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Внимание"));
    EXPECT_EQ(messenger.boxes[0].text,
              QStringLiteral("Не удалось создать файл журнала обмена %1.\nЭто не обычный файл.\n\n"
                             "Операция не начата. Проверьте, что папка данных доступна для "
                             "записи.")
                  .arg(fifo));
    EXPECT_TRUE(messenger.boxes[1].text.contains(QStringLiteral("No such file or directory")));
    EXPECT_EQ(f.ProgJob, nullptr);
    EXPECT_EQ(f.ReadJob, nullptr);
    EXPECT_EQ(f.ProgBtn->text(), QStringLiteral("Программировать"));
    EXPECT_EQ(f.SpeedButton1->text(), QStringLiteral("Считать"));
    EXPECT_TRUE(f.SetsGrid->isEnabled());
    EXPECT_TRUE(f.BitBtn1->isEnabled());
}

TEST_F(Jobs, ProgressCyclesAndIsHiddenAfterwards) {
    card(0);
    TForm1& f = open();
    f.Progress->setValue(0);
    std::vector<int> seen;
    for (int i = 0; i < 12; ++i) {
        f.Timer1Timer();
        seen.push_back(f.Progress->value());
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2}));
    EXPECT_EQ(f.Timer1->interval(), 100);
    f.ProgBtn->click();
    EXPECT_TRUE(f.Timer1->isActive());
    ASSERT_TRUE(waitIdle());
    EXPECT_FALSE(f.Timer1->isActive());
    EXPECT_FALSE(f.Progress->isVisibleTo(&f));
    EXPECT_EQ(f.Progress->value(), 0);
}

TEST_F(Jobs, QuickStartsAndStopsNeverRunTwoJobs) {
    card(0);
    DeviceScript slow;
    slow.answerDelayMs = 30;
    TForm1& f = open(slow);
    for (int i = 0; i < 150; ++i) {
        QPushButton* button = i % 2 ? f.SpeedButton1 : f.ProgBtn;
        button->click();
        QApplication::processEvents();
        button->click(); // stop, or ignored while the stopped job ends
        QApplication::processEvents();
        if (i % 10 == 0) {
            ASSERT_TRUE(waitIdle());
        }
    }
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(device->doubleOpens(), 0);
    EXPECT_FALSE(device->isOpen());
    EXPECT_FALSE(f.ProgrammingActive);
    EXPECT_FALSE(f.ReadingActive);
    EXPECT_EQ(f.ProgBtn->text(), QStringLiteral("Программировать"));
    EXPECT_EQ(f.SpeedButton1->text(), QStringLiteral("Считать"));
    EXPECT_TRUE(f.ProgBtn->isEnabled());
    EXPECT_TRUE(f.SpeedButton1->isEnabled());
    EXPECT_TRUE(f.SetsGrid->isEnabled());
}

TEST_F(Jobs, ThousandQuickStartsAndStopsLoseNoCompletion) {
    card(0);
    DeviceScript slow;
    slow.answerDelayMs = 15;
    TForm1& f = open(slow);
    for (int i = 0; i < 1000; ++i) {
        QPushButton* button = (i / 3) % 2 ? f.SpeedButton1 : f.ProgBtn;
        QPushButton* other = button == f.ProgBtn ? f.SpeedButton1 : f.ProgBtn;
        button->click();
        if (i % 3 != 2)
            QApplication::processEvents(); // sometimes stop at once, sometimes later
        button->click();
        // Presses while the stopped job still ends start nothing.
        other->click();
        if (f.ProgrammingActive || f.ReadingActive)
            (f.ProgrammingActive ? f.ProgBtn : f.SpeedButton1)->click();
        ASSERT_TRUE(waitIdle()) << i;
        ASSERT_EQ(device->doubleOpens(), 0) << i;
    }
    ASSERT_TRUE(waitIdle());
    EXPECT_GE(f.jobsStarted, 1000);
    EXPECT_EQ(f.completionsRun, f.jobsStarted);
    // Each job told its end once; a success only where the device had
    // confirmed the frame before the stop took effect.
    EXPECT_EQ(static_cast<int>(messenger.boxes.size()) + readBacksShown, f.jobsStarted);
    EXPECT_LE(static_cast<int>(texts().count(kProgDone)), device->framesStored());
    EXPECT_EQ(device->doubleOpens(), 0);
    EXPECT_FALSE(device->isOpen());
    EXPECT_FALSE(f.ProgrammingActive || f.ReadingActive);
    EXPECT_TRUE(f.ProgBtn->isEnabled() && f.SpeedButton1->isEnabled() && f.SetsGrid->isEnabled());
}

TEST_F(Jobs, QuickStopsOfASilentDeviceNeverStampOrSucceed) {
    card(0);
    DeviceScript silent;
    silent.silent = true;
    TForm1& f = open(silent);
    for (int i = 0; i < 300; ++i) {
        QPushButton* button = i % 2 ? f.SpeedButton1 : f.ProgBtn;
        button->click();
        if (i % 3 == 0)
            QApplication::processEvents();
        button->click();
        ASSERT_TRUE(waitIdle()) << i;
    }
    EXPECT_EQ(f.jobsStarted, 300);
    EXPECT_EQ(texts().count(kProgStopped), 150);
    EXPECT_EQ(texts().count(QStringLiteral("Считывание ОСТАНОВЛЕНО!")), 150);
    EXPECT_EQ(messenger.boxes.size(), 300u);
    EXPECT_EQ(db->Slot(0).ProgID1(), 0x1111);
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(Jobs, ClosingWithAJobRunningStopsItAndLetsGoOfTheCable) {
    card(0);
    DeviceScript silent;
    silent.silent = true;
    TForm1& f = open(silent);
    f.ProgBtn->click();
    for (int i = 0; i < 200 && !device->isOpen(); ++i)
        spin(10);
    ASSERT_TRUE(device->isOpen());
    QElapsedTimer t;
    t.start();
    form.reset();
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_FALSE(device->isOpen());
}

TEST_F(Jobs, ClosingWhileAJobWaitsToHandOverDoesNotDeadlock) {
    card(0);
    TForm1& f = open();
    f.ProgBtn->click();
    // Let the job finish and block on its hand-over without running events.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    QElapsedTimer t;
    t.start();
    form.reset();
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_FALSE(device->isOpen());
}

} // namespace

#include "emulator/PtyDevice.h"
#include "link/TtyCableDriver.h"
#include "store/CardFields.h"

namespace {

TEST_F(Jobs, ProgramsAndReadsBackThroughATerminalWithTheEmulator) {
    SettingsRecord& c = card(0);
    c.setText(Field::APN1Edit, QStringLiteral("internet.mts.ru"));
    c.setText(Field::Ip1Gsm, QStringLiteral("192.168.1.10"));
    c.setbalEnable(true);
    c.setText(Field::balCodeSim1, QStringLiteral("*100#"));
    // Answers handed over as a USB chip at the kernel's default latency does.
    PtyDevice pty({}, 16);
    ASSERT_TRUE(pty.open()) << pty.error().toStdString();
    pty.startThread();
    form = std::make_unique<TForm1>(*db, messenger);
    form->setLogPath(dir.filePath(QStringLiteral("ProgLog.log")));
    TtyCableDriver::Paths paths;
    paths.cableOverride = pty.path();
    form->setCableFactory([paths] { return std::make_shared<TtyCableDriver>(paths); });
    readBack = std::make_unique<TForm2>();
    form->setReadBackWindow(readBack.get());
    form->showReadBack = [&](TForm2&) { ++readBacksShown; };

    form->ProgBtn->click();
    ASSERT_TRUE(waitIdle(20000));
    ASSERT_EQ(pty.framesStored(), 1) << texts().join(QLatin1Char('|')).toStdString();
    const ConfigFrame written = pty.storedFrame();
    EXPECT_EQ(db->Slot(0).ProgID1(), written[262] | (written[263] << 8));

    form->SpeedButton1->click();
    ASSERT_TRUE(waitIdle(20000));
    ASSERT_EQ(readBacksShown, 1) << texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(readBack->APN1Edit->text(), QStringLiteral("internet.mts.ru"));
    EXPECT_EQ(readBack->Ip1GsmEdit[3]->text(), QStringLiteral("10"));
    EXPECT_EQ(readBack->balCodeSim1->text(), QStringLiteral("*100#"));
    EXPECT_EQ(readBack->CodeUoo->text(), QStringLiteral("100"));
    // The closing "OK" reaches the emulator on its own time.
    for (int i = 0; i < 200 && pty.readsCompleted() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(pty.readsCompleted(), 1);
}

} // namespace

namespace {

TEST_F(Jobs, AReadSaysWhichCardTheDeviceHoldsAndLeadsToIt) {
    card(2).setText(Field::APN1Edit, QStringLiteral("internet"));
    TForm1& f = open();
    QString said;
    bool showCard = false;
    f.showReadBack = [&](TForm2& w) {
        said = w.MatchLabel->text();
        if (showCard)
            w.ShowCardBtn->click();
    };
    f.selectSlot(2);
    f.ProgBtn->click();
    ASSERT_TRUE(waitIdle());
    f.SpeedButton1->click();
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(said.startsWith(QStringLiteral("Совпадает с карточкой «card» (строка 3), "
                                               "запрограммированной ")))
        << said.toStdString();
    // The card edited since: the next read says so and marks the field.
    db->Slot(2).setText(Field::APN1Edit, QStringLiteral("m2m"));
    f.selectSlot(0);
    showCard = true;
    f.SpeedButton1->click();
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(said.endsWith(QStringLiteral("; с тех пор в базе изменено полей: 1.")))
        << said.toStdString();
    EXPECT_EQ(readBack->APN1Edit->accessibleDescription(), QStringLiteral("В базе: m2m"));
    // "Показать в базе" selects the card's row once the reading is done.
    EXPECT_EQ(f.CurrentSlot, 2);
    EXPECT_FALSE(f.EditMode);
}

TEST_F(Jobs, ACardIsRebuiltFromADeviceTheDatabaseDoesNotKnow) {
    card(0);
    card(1);
    SettingsRecord stranger = ValidRecord(32777);
    stranger.setText(Field::balCodeSim1, QStringLiteral("*100#"));
    stranger.setbalEnable(true);
    stranger.setModeFlags(ModeBit::UseEthPriority);
    stranger.settimeGsmEdit(30);
    ConfigFrame frame{};
    std::uint16_t crc = 0;
    QRandomGenerator random(5);
    ASSERT_EQ(BuildConfigFrame(&stranger, frame.data(), &crc, 0, random), 264);
    TForm1& f = open();
    device->setStoredFrame(frame);
    QString said;
    f.showReadBack = [&](TForm2& w) {
        said = w.MatchLabel->text();
        w.CreateCardBtn->click();
    };
    f.SpeedButton1->click();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(said, QStringLiteral("Этого УОО нет в базе."));
    // The first free row, in edit mode, the device's settings in the editor.
    EXPECT_EQ(f.CurrentSlot, 2);
    ASSERT_TRUE(f.EditMode);
    EXPECT_EQ(f.CodeUoo->text(), QStringLiteral("32777"));
    EXPECT_TRUE(f.balEnable->isChecked());
    EXPECT_TRUE(f.NCardEdit->text().isEmpty()); // the device does not hold it
    f.NCardEdit->setText(QStringLiteral("32777"));
    f.BitBtn2->click();
    ASSERT_FALSE(f.EditMode) << (messenger.boxes.empty()
                                     ? ""
                                     : messenger.boxes.back().text.toStdString());
    // Saved through the checks, the card carries what the device held.
    const auto image = db->Slot(2).DeviceImage();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), frame.begin()));
    EXPECT_EQ(db->Slot(2).text(Field::NCardEdit), QStringLiteral("32777"));
}

TEST_F(Jobs, ARebuiltCardNamesEachSettingItCannotTakeAsItIs) {
    const QString head = QStringLiteral("Настройки УОО перенесены в карточку, кроме этих "
                                        "значений, которые карточка не может принять как есть:\n");
    const struct {
        const char* name;
        std::function<void(SettingsRecord&)> device;
        QStringList lines; // none: no box
    } cases[] = {
        {"every value fits: two control loops, a low port and a zero critical balance stay",
         [](SettingsRecord& r) {
             r.setCord(2, 4);
             r.setCord(3, 4);
             r.setText(Field::Port1GsmEdit, QStringLiteral("4000"));
             r.setbalCritical(0);
         },
         {}},
        {"what the window's rules change",
         [](SettingsRecord& r) {
             r.setCord(1, 1);
             r.setCord(2, 6);
             r.setCord(3, 5);
             r.setCord(4, 9);
             r.setRelayComboBox(1, 20);
             r.settimeGsmEdit(0);
         },
         {QStringLiteral("Шлейф 2: в УОО «Проходной охранный шлейф», в карточке «Отключен»"),
          QStringLiteral("Шлейф 3: в УОО «---------------------------», в карточке «Отключен»"),
          QStringLiteral("Шлейф 4: в УОО «значение 9», в карточке «значение 255»"),
          QStringLiteral("Профиль Out1: в УОО «значение 20», в карточке «значение 255»"),
          QStringLiteral("Переходить на 1-ю Sim карту через (минут): в УОО «0», в карточке «60»")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsRecord stranger = ValidRecord(32777);
        c.device(stranger);
        ConfigFrame frame{};
        std::uint16_t crc = 0;
        QRandomGenerator random(5);
        ASSERT_EQ(BuildConfigFrame(&stranger, frame.data(), &crc, 0, random), 264);
        messenger.boxes.clear();
        TForm1& f = open();
        device->setStoredFrame(frame);
        f.showReadBack = [&](TForm2& w) { w.CreateCardBtn->click(); };
        f.SpeedButton1->click();
        ASSERT_TRUE(waitIdle());
        ASSERT_TRUE(f.EditMode);
        if (c.lines.isEmpty()) {
            EXPECT_TRUE(messenger.boxes.empty());
            continue;
        }
        ASSERT_EQ(messenger.boxes.size(), 1u);
        EXPECT_EQ(messenger.boxes[0].caption, QStringLiteral("Внимание"));
        EXPECT_EQ(messenger.boxes[0].text, head + c.lines.join(QLatin1Char('\n')));
    }
}

} // namespace
