#pragma once

#include "link/ConfigFrame.h"
#include "link/FTDI_Controller.h"
#include "store/SettingsRecord.h"

#include <QPointer>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class Clock;

// What one job found out. Its thread writes it before the completion step;
// the window's thread reads it only inside that step, while the job waits.
struct JobOutcome {
    enum class Result {
        Done,
        Failed,
        // The operator's stop ended the job before it was done.
        Stopped,
        // Programming stopped after the device had received the whole frame,
        // and the device did not say whether it took it.
        Unconfirmed,
    };
    // A job that ends without a word has failed.
    Result result = Result::Failed;
    bool JobSucceeded() const { return result == Result::Done; }
    bool JobFailed() const { return result == Result::Failed; }
    bool JobStopped() const { return result == Result::Stopped; }
    bool JobUnconfirmed() const { return result == Result::Unconfirmed; }

    QString reason;
    std::uint16_t frameCrc = 0; // the frame sent by a programming job
    ConfigFrame frame{};        // the frame accepted by a reading job
    int version = 0;
};

// The reason lines of the failure messages; what the cable's driver knows of
// a failed search or open follows the reason.
QString openFailureReason(OpenResult openResult, const CableDriver::OpenProblem& problem = {});
QString exchangeFailureReason(ExchangeResult exchangeResult, bool reading);
extern const QString BadDataReason;
extern const QString NoFrameReason;

// A job: a thread that owns one controller, runs one exchange, then hands its
// outcome to the window's thread and waits for that completion step.
class CableJob : public QThread {
    Q_OBJECT
public:
    using Completion = std::function<void(CableJob&)>;

    ~CableJob() override;

    // False when the exchange log could not be created: the job must not
    // start.
    bool logReady() const { return controller_->logReady(); }
    QString logError() const { return controller_->logError(); }

    // The completion runs on `context`'s thread.
    void setCompletion(QObject* context, Completion completion);
    // The operator's stop: the exchange ends with 2 at its next test.
    void stop() { controller_->Stop(); }
    // Shutting down: stop, and never hand over, so that joining the thread
    // cannot deadlock on a completion the window will not run.
    void abandon();

    const JobOutcome& outcome() const { return outcome_; }
    bool reading() const { return reading_; }
    // Waits for the thread to end; afterwards everything it wrote is safe to
    // read and the job may be deleted.
    void join();

protected:
    CableJob(std::shared_ptr<CableDriver> driver, Clock& clock, const QString& logPath,
             bool reading);
    void run() final;
    virtual void execute() = 0;
    // Ends the job as stopped when the operator has asked; true then.
    bool stoppedHere();

    std::shared_ptr<CableDriver> driver_;
    std::unique_ptr<FTDI_Controller> controller_;
    JobOutcome outcome_;

private:
    void handOver();
    // Runs on the job object's own (the window's) thread.
    Q_INVOKABLE void deliverCompletion();

    bool reading_;
    QPointer<QObject> context_;
    Completion completion_;
    std::mutex mutex_;
    std::condition_variable handedOver_;
    bool posted_ = false;
    bool completed_ = false;
    bool ran_ = false;
    std::atomic<bool> abandoned_{false};
};

// Writes one card into the device.
class TProgThread final : public CableJob {
    Q_OBJECT
public:
    // The card is copied now; `seed` seeds the frame's random bytes.
    TProgThread(std::shared_ptr<CableDriver> driver, Clock& clock, const QString& logPath,
                const SettingsRecord& card, quint32 seed);

protected:
    void execute() override;

private:
    SettingsRecord card_;
    quint32 seed_;
};

// Reads the device's frame.
class TReadThread final : public CableJob {
    Q_OBJECT
public:
    TReadThread(std::shared_ptr<CableDriver> driver, Clock& clock, const QString& logPath);

protected:
    void execute() override;
};
