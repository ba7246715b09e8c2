#include "link/Jobs.h"

#include "link/Crc.h"

#include <QRandomGenerator>

#include <cstring>

const QString BadDataReason = QStringLiteral("Получены неверные данные от УОО.");
const QString NoFrameReason =
    QStringLiteral("Карточка составлена для версии УО, которую программа не поддерживает.");

QString openFailureReason(OpenResult openResult, const CableDriver::OpenProblem& problem) {
    using Advice = CableDriver::OpenProblem::Advice;
    QString reason;
    switch (openResult) {
    case OpenResult::NoCable:
        reason = QStringLiteral("Кабель FTDI не найден.");
        break;
    case OpenResult::ManyCables:
        reason = QStringLiteral("Подключено более одного кабеля FTDI\n\nПрограммирование возможно "
                                "только через один подключенный кабель");
        break;
    default:
        // Restarting does not free a port another program holds: that
        // advice gives way to the one that helps.
        reason = problem.advice == Advice::CloseOtherProgram
                     ? QStringLiteral("Драйвер FTDI не отвечает.")
                     : QStringLiteral("Драйвер FTDI не отвечает.\nПроверьте наличие драйвера и "
                                      "перезапустите программу.");
        break;
    }
    if (problem.path.isEmpty())
        return reason;
    reason += QLatin1Char('\n') + problem.path + QStringLiteral(": ") + problem.reason;
    if (problem.advice == Advice::JoinDialoutGroup)
        reason += QStringLiteral("\nДобавьте пользователя в группу dialout и войдите в систему "
                                 "заново или переподключите кабель.");
    if (problem.advice == Advice::CloseOtherProgram)
        reason += QStringLiteral("\nПорт занят другой программой. Закройте её и повторите.");
    return reason;
}

QString exchangeFailureReason(ExchangeResult exchangeResult, bool reading) {
    if (exchangeResult == ExchangeResult::CableError)
        return QStringLiteral("Ошибка при обращении к устройству FTDI.");
    return reading ? QStringLiteral("УОО вернул ошибку при считывании")
                   : QStringLiteral("УОО вернул ошибку при программировании");
}

CableJob::CableJob(std::shared_ptr<CableDriver> driver, Clock& clock, const QString& logPath,
                   bool reading)
    : driver_(std::move(driver)), reading_(reading) {
    if (reading)
        controller_ = std::make_unique<FTDI_ReadCtrl>(*driver_, clock, logPath);
    else
        controller_ = std::make_unique<FTDI_Controller>(*driver_, clock, logPath);
}

CableJob::~CableJob() {
    abandon();
    join();
}

void CableJob::join() {
    wait();
    // The lock pairs with the one the thread takes last, so that what it
    // wrote happens before whatever the caller does next.
    std::lock_guard lock(mutex_);
}

void CableJob::setCompletion(QObject* context, Completion completion) {
    context_ = context;
    completion_ = std::move(completion);
}

void CableJob::abandon() {
    {
        std::lock_guard lock(mutex_);
        abandoned_.store(true);
    }
    handedOver_.notify_all();
    controller_->Stop();
}

void CableJob::run() {
    execute();
    // The cable and the log are let go before the window hears the outcome.
    controller_->Close();
    handOver();
    std::lock_guard lock(mutex_);
    ran_ = true;
}

// The outcome is published under the job's lock and picked up under it on
// the window's thread; the queued call only wakes that thread and carries no
// data of its own.
void CableJob::handOver() {
    {
        std::lock_guard lock(mutex_);
        if (!completion_ || abandoned_.load())
            return;
        posted_ = true;
    }
    QMetaObject::invokeMethod(this, "deliverCompletion", Qt::QueuedConnection);
    std::unique_lock lock(mutex_);
    handedOver_.wait(lock, [this] { return completed_ || abandoned_.load(); });
}

void CableJob::deliverCompletion() {
    Completion completion;
    {
        std::lock_guard lock(mutex_);
        if (!posted_ || abandoned_.load() || !context_)
            completion = nullptr;
        else
            completion = completion_;
    }
    if (completion)
        completion(*this);
    {
        std::lock_guard lock(mutex_);
        completed_ = true;
    }
    handedOver_.notify_all();
}

TProgThread::TProgThread(std::shared_ptr<CableDriver> driver, Clock& clock, const QString& logPath,
                         const SettingsRecord& card, quint32 seed)
    : CableJob(std::move(driver), clock, logPath, false), card_(card), seed_(seed) {}

bool CableJob::stoppedHere() {
    if (controller_->isRunning())
        return false;
    outcome_.result = JobOutcome::Result::Stopped;
    return true;
}

void TProgThread::execute() {
    outcome_ = JobOutcome{};
    if (stoppedHere())
        return;
    QRandomGenerator random(seed_);
    ConfigFrame frame{};
    std::uint16_t crc = 0;
    if (BuildConfigFrame(&card_, frame.data(), &crc, card_.VersionCombo(), random) !=
        ConfigFrameSize) {
        // Never program a device with anything but a frame.
        outcome_.result = JobOutcome::Result::Failed;
        outcome_.reason = NoFrameReason;
        return;
    }
    outcome_.frameCrc = crc;
    const OpenResult opened = controller_->Open(frame.data(), ConfigFrameSize);
    if (stoppedHere())
        return;
    if (opened != OpenResult::Opened) {
        outcome_.result = JobOutcome::Result::Failed;
        outcome_.reason = openFailureReason(opened, driver_->lastOpenProblem());
        return;
    }
    const ExchangeResult result = controller_->Start();
    // A device that has confirmed the whole frame holds it, whenever the
    // stop came; one that had it all is judged by what it then said.
    if (result == ExchangeResult::Completed) {
        outcome_.result = JobOutcome::Result::Done;
    } else if (controller_->allSent && result == ExchangeResult::Stopped) {
        outcome_.result = JobOutcome::Result::Unconfirmed;
    } else if (controller_->allSent || !stoppedHere()) {
        outcome_.result = JobOutcome::Result::Failed;
        outcome_.reason = exchangeFailureReason(result, false);
    }
}

TReadThread::TReadThread(std::shared_ptr<CableDriver> driver, Clock& clock, const QString& logPath)
    : CableJob(std::move(driver), clock, logPath, true) {}

void TReadThread::execute() {
    outcome_ = JobOutcome{};
    if (stoppedHere())
        return;
    const OpenResult opened = controller_->Open(nullptr, 0);
    if (stoppedHere())
        return;
    if (opened != OpenResult::Opened) {
        outcome_.result = JobOutcome::Result::Failed;
        outcome_.reason = openFailureReason(opened, driver_->lastOpenProblem());
        return;
    }
    const ExchangeResult result = controller_->Start();
    // A reading the operator stopped shows nothing, even one that was done.
    if (stoppedHere())
        return;
    if (result == ExchangeResult::Completed) {
        const std::uint8_t* data = controller_->dataBuffer.data();
        const int length = controller_->dataLength;
        if (Crc16(data, static_cast<std::size_t>(length)) == 0 &&
            AcceptConfigFrame(data, length, outcome_.frame.data(), &outcome_.version)) {
            outcome_.result = JobOutcome::Result::Done;
        } else {
            outcome_.result = JobOutcome::Result::Failed;
            outcome_.reason = BadDataReason;
        }
    } else {
        outcome_.result = JobOutcome::Result::Failed;
        outcome_.reason = exchangeFailureReason(result, true);
    }
}
